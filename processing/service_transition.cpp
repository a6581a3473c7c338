#include "processing/service_transition.h"

#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "processing/alerts.h"
#include "processing/database_wait.h"
#include "processing/service_locks.h"
#include "processing/state_batches.h"
#include "processing/state_policy.h"
#include "processing/state_records.h"
#include "services/service_registry.h"

namespace {

const char* const closeRefused = "EXEC AcquitteErrorHappen failed in function AcquitteError: ";
const char* const lookupRefused = "EXEC CheckErrorHappen failed in function getHappenError: ";
const char* const insertRefused = "insert error failed:  ";
const char* const acquitText = "OK: syslog daemon has acquit this error";

} // namespace

ServiceTransition::ServiceTransition(ProcessingContext& context, std::shared_ptr<SyslogService> svc, DatabaseWait& wait)
    : context_(context)
    , svc_(std::move(svc))
    , wait_(wait)
    , serialised_(context.serviceLocks.lockFor(svc_->serviceId))
    , previous_(svc_->state())
{
  // In cluster mode another Receiver may have written the row since: the
  // fenced transaction reads it again, and decides from what it reads.
  if (context_.cluster)
    clusterLock_.emplace(context_.pool, *svc_, wait_);
}

ServiceTransition::~ServiceTransition() = default;

ServiceTransition::Plan ServiceTransition::fenced(const Body& body, bool oneStatement)
{
  std::optional<std::string> unknownCommit;
  Plan decided;
  auto attempt = [&](PgConnection& connection) -> Plan {
    if (unknownCommit) {
      // The connection went while COMMIT was on its way: the server says
      // whether it took effect, and only if it did not is it run again.
      const bool committed = committedTransaction(context_.pool, *unknownCommit);
      unknownCommit.reset();
      if (committed)
        return decided;
    }
    return connection.exclusive([&](PgConnection::Exclusive& use) {
      Plan plan;
      plan.previous = previous_;
      if (oneStatement) {
        // One statement that can be run again harmlessly: no transaction.
        body(use, plan);
        return plan;
      }
      PgTransaction transaction(use);
      if (context_.cluster) {
        std::optional<ServiceState> locked = lockedState(use, *svc_);
        if (!locked) {
          plan.deleted = true;
          return plan;
        }
        plan.previous = *locked;
      }
      body(use, plan);
      decided = plan;
      unknownCommit = transaction.id();
      try {
        transaction.commit();
      } catch (const ConnectionLost&) {
        throw;
      } catch (...) {
        unknownCommit.reset();
        throw;
      }
      unknownCommit.reset();
      return plan;
    });
  };
  return retried([&]() -> Plan {
    // A session lost (during the plugin run, or by the attempt before): the
    // lock is taken again, so that what another Receiver does with the
    // service meanwhile ends first.
    if (clusterLock_ && !clusterLock_->held())
      clusterLock_->retake(wait_);
    // In cluster mode the transaction runs on the session that holds the
    // service's lock, for which the transaction lock is its own.
    return attempt(clusterLock_ ? clusterLock_->connection() : *context_.pool.getNextConnection());
  });
}

bool ServiceTransition::refusable(PgConnection::Exclusive& use, const char* prefix, const std::function<void()>& step)
{
  use.execute("SAVEPOINT occurrence");
  try {
    step();
    return true;
  } catch (const StatementRefused& error) {
    use.execute("ROLLBACK TO SAVEPOINT occurrence");
    writeLog("ERR", prefix + std::string(error.what()));
  }
  return false;
}

bool ServiceTransition::closeAll(PgConnection::Exclusive& use, ServiceState previous)
{
  if (previous == ServiceState::ok) {
    closeOccurrences(use, *svc_, previous);
    return true;
  }
  return refusable(use, closeRefused, [&] { closeOccurrences(use, *svc_, previous); });
}

Outcome ServiceTransition::record(ServiceState newState, const std::string& output, const std::string& number)
{
  SyslogService& svc = *svc_;
  const std::string who = number + "#" + svc.serviceName + " ";
  const bool sameState = !context_.cluster && newState == previous_;
  if (sameState && context_.stateBatches) {
    // The write most notifications make: shared with the other workers'.
    std::string unknownCommit;
    if (!retried([&] { return context_.stateBatches->updateState(svc, newState, output, unknownCommit); })) {
      forget();
      return Outcome::ignored;
    }
    trace(who + svc.parameter + "Update state OK ");
    svc.setStored(newState, output);
    return Outcome::stored;
  }
  Plan plan = fenced(
      [&](PgConnection::Exclusive& use, Plan& plan) {
        if (!updateState(use, svc, newState, output)) {
          plan.deleted = true;
          return;
        }
        trace(who + svc.parameter + "Update state OK ");
        if (newState == plan.previous)
          return;
        if (isErrorState(newState)) {
          trace(who + svc.parameter + "acquitte l'ancienne erreur ");
          plan.clean &= closeAll(use, plan.previous);
          trace(who + svc.parameter + "insère l'erreur ");
          plan.clean &= refusable(
              use, insertRefused, [&] { openOccurrence(use, svc, errorIdOf(context_.errorIds, newState), output); });
          plan.alert = responseFlagOf(svc, newState);
          if (plan.alert)
            refusable(use, lookupRefused, [&] { plan.alertId = openOccurrenceId(use, svc); });
        } else if (newState == ServiceState::ok && svc.responseOk) {
          // The occurrence alerted for is read while it is open, and closed
          // in the same transaction: the row never says OK beside an open
          // occurrence that a Receiver killed meanwhile would leave behind.
          plan.alert = responseFlagOf(svc, plan.previous);
          if (plan.alert)
            refusable(use, lookupRefused, [&] { plan.alertId = openOccurrenceId(use, svc); });
          trace(who + "acquitte l'erreur");
          plan.clean &= closeAll(use, plan.previous);
          trace(who + "acquitte l'erreur==>OK ");
        }
      },
      sameState);
  if (plan.deleted) {
    forget();
    return Outcome::ignored;
  }
  // The memory follows the row only once the row is written.
  svc.setStored(newState, output);
  previous_ = newState;
  if (newState == plan.previous)
    return Outcome::stored;
  try {
    alert(plan, who, who);
  } catch (const RunError& error) {
    // The alerting program could not be waited for: logged, and the
    // notification ends here.
    writeLog("ERR", who + error.what());
  }
  return plan.clean ? Outcome::stored : Outcome::rejected;
}

bool ServiceTransition::acknowledgeStale(ServiceState judged, const std::string& interval)
{
  SyslogService& svc = *svc_;
  const std::string who = "th_clean#" + svc.serviceName + " ";
  Plan plan = fenced(
      [&](PgConnection::Exclusive& use, Plan& plan) {
        // What was judged before the locks must still hold under them: a
        // worker may have stored a new state, and closed the stale error,
        // while the cleaner waited.
        if (plan.previous != judged || staleOccurrences(use, svc.serviceIdText, interval) <= 0) {
          plan.skipped = true;
          return;
        }
        refusable(use, lookupRefused, [&] { plan.alertId = openOccurrenceId(use, svc); });
        if (!updateState(use, svc, ServiceState::ok, acquitText)) {
          plan.deleted = true;
          return;
        }
        trace(who + "acquitte l'erreur");
        plan.clean = closeAll(use, plan.previous);
        trace(who + "acquitte l'erreur==>OK ");
        plan.alert = svc.responseOk && responseFlagOf(svc, plan.previous);
      },
      false);
  if (plan.deleted) {
    forget();
    return false;
  }
  if (plan.skipped) {
    trace(who + "changed since it was judged: left for the next pass");
    return false;
  }
  svc.setStored(ServiceState::ok, acquitText);
  previous_ = ServiceState::ok;
  count(context_.metrics, &Metrics::cleaningClosed);
  alert(plan, who, "th_clean#");
  return true;
}

void ServiceTransition::alert(const Plan& plan, const std::string& who, const std::string& logPrefix)
{
  if (!plan.alert)
    return;
  if (!plan.alertId) {
    writeLog(
        "ERR", logPrefix + "no open occurrence of service " + svc_->serviceIdText + ": alerting program not started");
    return;
  }
  trace(who + "SEND ALERT ");
  startAlert(*svc_, *plan.alertId, context_);
}

void ServiceTransition::forget()
{
  if (context_.registry.removeService(svc_->serviceId))
    writeLog("INFO",
        "service " + svc_->serviceIdText + " " + svc_->serviceName
            + " no longer exists in the database: its notifications are ignored");
}
