#include "processing/service_transition.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/database_wait.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "processing/alerts.h"
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
    , serialised_(context.serviceLocks.take(svc_->serviceId))
    , previous_(svc_->state())
{
  // In cluster mode another Receiver may have written the row since: the
  // fenced transaction reads it again, and decides from what it reads.
  if (context_.cluster)
    clusterLock_.emplace(context_.pool, *svc_, wait_);
  const bool pending = clusterLock_ ? clusterLock_->alertsPending()
                                    : context_.pendingAlerts != nullptr && context_.pendingAlerts->has(svc_->serviceId);
  if (pending)
    runPendingAlerts();
}

ServiceTransition::~ServiceTransition() = default;

ServiceTransition::Plan ServiceTransition::attempt(
    PgConnection& connection, const WriteToken& token, const Body& body, Plan& decided, bool& inDoubt)
{
  return connection.exclusive([&](PgConnection::Exclusive& use) {
    Plan plan;
    plan.previous = previous_;
    PgPipeline opening;
    std::optional<PgPipeline::Handle> stored;
    if (context_.cluster) {
      opening.add({ statements::transitionLockName, { svc_->serviceIdText } });
      stored = opening.add({ statements::transitionStateName, { svc_->serviceIdText } });
    }
    const PgPipeline::Handle applied
        = opening.add({ statements::receiverAppliedName, { svc_->serviceIdText, token.value } });
    PgTransaction transaction(use, opening, lockWait_);
    if (stored) {
      const PgResult& locked = opening.result(*stored);
      if (PQntuples(locked.get()) != 1) {
        plan.deleted = true;
        return plan;
      }
      plan.previous = stateFromNumber(stringToInt(pgValue(locked, 0, 0)));
    }
    if (PQntuples(opening.result(applied).get()) == 0) {
      // Rolled back: a copy's write, or the lost commit's own.
      plan.duplicate = true;
      return plan;
    }
    body(use, plan);
    if (plan.deleted || plan.skipped)
      return plan;
    if (plan.alert && plan.alertId)
      plan.pendingAlert = pgValue(
          use.executePrepared(statements::receiverAlertAddName, { svc_->serviceIdText, std::to_string(*plan.alertId) }),
          0, 0);
    try {
      transaction.commit();
    } catch (const CommitInDoubt&) {
      decided = plan;
      inDoubt = true;
      throw;
    } catch (...) {
      // The server answered: nothing was committed.
      inDoubt = false;
      throw;
    }
    inDoubt = false;
    return plan;
  });
}

ServiceTransition::Plan ServiceTransition::fenced(const Body& body, const WriteToken& token, bool& inDoubt)
{
  // What the attempt whose commit answer was lost decided; for a write
  // handed over from a batch, the state it kept.
  Plan decided;
  decided.previous = previous_;
  return wait_.run([&]() -> Plan {
    // A session lost (during the plugin run, or by the attempt before): the
    // lock is taken again, so that what another Receiver does with the
    // service meanwhile ends first.
    if (clusterLock_ && !clusterLock_->held())
      clusterLock_->retake(wait_);
    // In cluster mode the transaction runs on the session that holds the
    // service's lock, for which the transaction lock is its own.
    Plan plan = attempt(
        clusterLock_ ? clusterLock_->connection() : *context_.pool.getIdleConnection(), token, body, decided, inDoubt);
    if (plan.duplicate && inDoubt) {
      decided.committedInDoubt = true;
      return decided;
    }
    return plan;
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

bool ServiceTransition::closeAll(PgConnection::Exclusive& use)
{
  return refusable(use, closeRefused, [&] { closeOccurrences(use, *svc_); });
}

void ServiceTransition::decideAlert(PgConnection::Exclusive& use, Plan& plan, bool flag)
{
  plan.alert = flag;
  if (flag)
    refusable(use, lookupRefused, [&] { plan.alertId = openOccurrenceId(use, *svc_); });
}

bool ServiceTransition::batchable(ServiceState newState) const
{
  return !context_.cluster && newState == previous_ && context_.stateBatches != nullptr;
}

Outcome ServiceTransition::settle(StateBatches::Written written, ServiceState newState, const std::string& output,
    const std::string& number, const WriteToken& token, const Answer& answer)
{
  if (written == StateBatches::Written::gone) {
    forget();
    return Outcome::ignored;
  }
  if (written == StateBatches::Written::alone) {
    // A write the batch gave way for waits for a held row as briefly as the
    // batch did, and tries again after a pause: the connection it takes is
    // never held long for others.
    lockWait_ = StateBatches::lockWait;
    return record(newState, output, number, token, answer);
  }
  if (traceEnabled())
    trace(number + "#" + svc_->serviceName + " " + svc_->parameter + "Update state OK ");
  svc_->setStored(newState, output);
  answer(Outcome::stored);
  return Outcome::stored;
}

Outcome ServiceTransition::record(ServiceState newState, const std::string& output, const std::string& number,
    const WriteToken& token, const Answer& answer)
{
  SyslogService& svc = *svc_;
  const std::string who = number + "#" + svc.serviceName + " ";
  bool inDoubt = false;
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
          plan.clean &= closeAll(use);
          trace(who + svc.parameter + "insère l'erreur ");
          plan.clean &= refusable(
              use, insertRefused, [&] { openOccurrence(use, svc, errorIdOf(context_.errorIds, newState), output); });
          decideAlert(use, plan, responseFlagOf(svc, newState));
        } else if (newState == ServiceState::ok && svc.responseOk) {
          // The occurrence alerted for is read while it is open, and closed
          // in the same transaction: the row never says OK beside an open
          // occurrence that a Receiver killed meanwhile would leave behind.
          decideAlert(use, plan, responseFlagOf(svc, plan.previous));
          trace(who + "acquitte l'erreur");
          plan.clean &= closeAll(use);
          trace(who + "acquitte l'erreur==>OK ");
        }
      },
      token, inDoubt);
  if (plan.deleted) {
    forget();
    return Outcome::ignored;
  }
  if (plan.duplicate) {
    trace(who + "notification " + logSafe(token.value) + " already applied: nothing done");
    return Outcome::duplicate;
  }
  // The memory follows the row only once the row is written.
  svc.setStored(newState, output);
  previous_ = newState;
  const Outcome outcome = plan.clean ? Outcome::stored : Outcome::rejected;
  // The sender learns the outcome from the commit, not from the alerting
  // program, which runs next while the service's locks are still held.
  answer(outcome);
  if (newState != plan.previous)
    alert(plan, who, who);
  return outcome;
}

bool ServiceTransition::acknowledgeStale(ServiceState judged, const std::string& interval)
{
  SyslogService& svc = *svc_;
  const std::string who = "th_clean#" + svc.serviceName + " ";
  bool inDoubt = false;
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
        plan.alert = svc.responseOk && responseFlagOf(svc, plan.previous);
        if (!updateState(use, svc, ServiceState::ok, acquitText)) {
          plan.deleted = true;
          return;
        }
        trace(who + "acquitte l'erreur");
        plan.clean = closeAll(use);
        trace(who + "acquitte l'erreur==>OK ");
      },
      madeToken(), inDoubt);
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
  if (plan.committedInDoubt) {
    // What the lost commit recorded is read again: it is run from there.
    runPendingAlerts();
    return;
  }
  if (!plan.alert)
    return;
  if (!plan.alertId) {
    writeLog(
        "ERR", logPrefix + "no open occurrence of service " + svc_->serviceIdText + ": alerting program not started");
    return;
  }
  // A Receiver whose lock's session ended may no longer be the only one
  // working on the service: the alert is left to whoever holds it next.
  if (clusterLock_ && !clusterLock_->held())
    return;
  trace(who + "SEND ALERT ");
  runRecordedAlert(plan.pendingAlert, *plan.alertId, logPrefix);
}

PgConnection* ServiceTransition::ownConnection()
{
  if (!clusterLock_)
    return context_.pool.getIdleConnection();
  return clusterLock_->held() ? &clusterLock_->connection() : nullptr;
}

void ServiceTransition::runRecordedAlert(
    const std::string& alertId, std::uint64_t occurrenceId, const std::string& logPrefix)
{
  std::string failure;
  const bool ended = startAlert(*svc_, occurrenceId, context_, failure);
  if (!failure.empty())
    writeLog("ERR", logPrefix + failure);
  if (!ended)
    return;
  try {
    wait_.run([&] {
      PgConnection* connection = ownConnection();
      if (connection != nullptr)
        connection->executePrepared(statements::receiverAlertDoneName, { alertId });
    });
  } catch (const DatabaseError& error) {
    // Left on record, it runs again: the one case where an alert is doubled.
    writeLog("ERR",
        logPrefix + "alert " + alertId + " of service " + svc_->serviceIdText
            + " ran but cannot be marked done: " + error.what());
  }
}

void ServiceTransition::runPendingAlerts()
{
  const std::string who = "#" + svc_->serviceName + " ";
  try {
    PgResult pending = wait_.run([&]() -> PgResult {
      PgConnection* connection = ownConnection();
      return connection != nullptr
          ? connection->executePrepared(statements::receiverAlertsOfName, { svc_->serviceIdText })
          : nullptr;
    });
    for (int row = 0; pending && row < PQntuples(pending.get()); ++row) {
      if (clusterLock_ && !clusterLock_->held())
        return;
      const std::string alertId = pgValue(pending, row, 0);
      writeLog("INFO",
          "service " + svc_->serviceIdText + " " + svc_->serviceName + ": alert " + alertId
              + " left by an earlier change is run now");
      trace(who + "SEND ALERT ");
      runRecordedAlert(alertId, stringToLongLongInt(pgValue(pending, row, 1)), who);
    }
    if (context_.pendingAlerts != nullptr)
      context_.pendingAlerts->forget(svc_->serviceId);
  } catch (const DatabaseUnavailable&) {
    throw;
  } catch (const DatabaseError& error) {
    writeLog("ERR", who + "alerts left to run cannot be read: " + error.what());
  }
}

void ServiceTransition::forget()
{
  if (context_.registry.removeService(svc_->serviceId))
    writeLog("INFO",
        "service " + svc_->serviceIdText + " " + svc_->serviceName
            + " no longer exists in the database: its notifications are ignored");
}
