#include "processing/cleaning.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/database_wait.h"
#include "database/pg_pool.h"
#include "database/statements.h"
#include "processing/cluster_locks.h"
#include "processing/service_transition.h"
#include "processing/state_records.h"
#include "services/service_registry.h"

#include <optional>
#include <vector>

namespace {

// What the cleaner judged an entry by, before taking the service's locks:
// its state, and whether it has an occurrence older than the interval.
std::optional<ServiceState> judge(
    ProcessingContext& context, const SyslogService& svc, DatabaseWait& wait, const AutoAcknowledgement& entry)
{
  PgPool& pool = context.pool;
  ServiceState state = svc.state();
  if (context.cluster) {
    std::optional<int> stored = storedState(pool, svc, wait);
    if (!stored)
      return std::nullopt;
    state = stateFromNumber(*stored);
  }
  trace("EXEC SQL " + entry.serviceId + " " + entry.interval);
  int count = wait.run([&] {
    return pool.getNextConnection()->exclusive(
        [&](PgConnection::Exclusive& use) { return staleOccurrences(use, entry.serviceId, entry.interval); });
  });
  trace("EXEC SQL " + entry.serviceId + " " + entry.interval);
  trace("COUNT" + intToString(count));
  if (count <= 0)
    return std::nullopt;
  return state;
}

} // namespace

Cleaner::Cleaner(ProcessingContext& context, AutoAcknowledgements& acknowledgements, std::chrono::seconds cycle,
    std::chrono::seconds resendWindow)
    : context_(context)
    , cycle_(cycle)
    , resendWindow_(resendWindow)
    , roleConnection_(context.cluster ? context.pool.getNextConnection() : nullptr)
    , acknowledgements_(acknowledgements)
    , wait_([this] { return context_.stopRequested.load(); })
{
}

bool Cleaner::prepareStatements()
{
  struct Statement {
    const char* name;
    const char* sql;
    int parameters;
  };
  static const Statement toPrepare[3] = {
    { statements::deleteServiceName, statements::deleteService, 0 },
    { statements::newAutoacquitteName, statements::newAutoacquitte, 0 },
    { statements::checkAutoacquitteName, statements::checkAutoacquitte, 2 },
  };
  // A retry prepares only what an earlier call did not get to.
  for (int i = 0; i < 3; ++i) {
    if (prepared_[i])
      continue;
    try {
      context_.pool.prepareRequest(toPrepare[i].name, toPrepare[i].sql, toPrepare[i].parameters);
      prepared_[i] = true;
    } catch (const DatabaseError& error) {
      writeLog("ERR", std::string("th_clean#") + error.what());
      return false;
    }
  }
  return true;
}

void Cleaner::closeStaleErrors()
{
  // A lost connection is waited out, entry by entry, and the pass goes on.
  DatabaseWait& wait = wait_;
  for (const auto& item : acknowledgements_) {
    const AutoAcknowledgement& entry = item.second;
    try {
      trace("th_clean#FOR service" + entry.serviceId + " ");
      std::shared_ptr<SyslogService> svc = context_.registry.getService(entry.host);
      std::optional<ServiceState> judged = svc ? judge(context_, *svc, wait, entry) : std::nullopt;
      if (!judged)
        continue;
      trace("th_clean#recherche du service" + entry.host);
      ServiceTransition(context_, svc, wait).acknowledgeStale(*judged, entry.interval);
    } catch (const std::exception& error) {
      // A failed statement or alert costs this entry only.
      writeLog("ERR", "th_clean#service " + entry.serviceId + ": " + error.what());
    }
  }
}

void Cleaner::runLeftAlerts()
{
  PgPool& pool = context_.pool;
  try {
    // Those of services gone from the database have nobody to alert.
    PgResult left = wait_.run([&] {
      pool.executeRequest("DELETE FROM quelm_receiver_alerts a WHERE NOT EXISTS (SELECT 1 FROM quelm_services WHERE "
                          "service_id = a.service_id)");
      return pool.executeRequest(statements::receiverAlertServices);
    });
    for (int row = 0; row < PQntuples(left.get()); ++row) {
      std::shared_ptr<SyslogService> svc = context_.registry.serviceById(stringToLongLongInt(pgValue(left, row, 0)));
      if (svc)
        ServiceTransition(context_, svc, wait_).runPendingAlerts();
    }
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("th_clean#alerts left to run: ") + error.what());
  }
}

void Cleaner::expireApplied()
{
  const std::string keptSeconds = std::to_string((resendWindow_ + cycle_).count());
  try {
    for (;;) {
      PgResult removed
          = wait_.run([&] { return context_.pool.executeParams(statements::receiverAppliedExpiry, { keptSeconds }); });
      if (affectedRows(removed) < 10000 || context_.stopRequested)
        break;
    }
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("th_clean#expired notification ids: ") + error.what());
  }
}

void Cleaner::refreshServices()
{
  PgPool& pool = context_.pool;
  DatabaseWait& wait = wait_;
  try {
    wait.run([&] { pool.executePrepared(statements::deleteServiceName); });
    forgetDeletedServices();
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("th_clean#") + error.what());
  }
  try {
    wait.run([&] { loadServices(pool, statements::addNewServiceName, context_.registry, acknowledgements_); });
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("th_clean#") + error.what());
  }
  try {
    wait.run([&] { pool.executePrepared(statements::newAutoacquitteName); });
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("th_clean#") + error.what());
  }
}

void Cleaner::forgetDeletedServices()
{
  std::vector<std::int64_t> loaded = context_.registry.serviceIds();
  if (loaded.empty())
    return;
  std::string ids = "{";
  for (std::int64_t id : loaded)
    ids += (ids.size() > 1 ? "," : "") + std::to_string(id);
  ids += "}";
  PgResult result = wait_.run([&] {
    return context_.pool.executeParams(
        "SELECT s FROM unnest($1::bigint[]) s WHERE s NOT IN (SELECT service_id FROM quelm_services)", { ids });
  });
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    const std::string id = pgValue(result, row, 0);
    if (context_.registry.removeService(std::stoll(id)))
      writeLog("INFO", "th_clean#service " + id + " deleted: its notifications are ignored");
    for (auto entry = acknowledgements_.begin(); entry != acknowledgements_.end();) {
      if (entry->second.serviceId == id)
        entry = acknowledgements_.erase(entry);
      else
        ++entry;
    }
  }
}

bool Cleaner::holdsCleaningRole()
{
  if (!context_.cluster)
    return true;
  try {
    bool held = wait_.run([this] { return holdCleaningRole(*roleConnection_); });
    if (held != cleaningRole_)
      writeLog("INFO", held ? "th_clean#this Receiver cleans for the cluster" : "th_clean#another Receiver cleans");
    cleaningRole_ = held;
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("th_clean#cleaning role: ") + error.what());
    cleaningRole_ = false;
  }
  return cleaningRole_;
}

void Cleaner::run()
{
  trace("th_clean#start");
  bool prepared = prepareStatements();
  trace("th_clean#service" + std::to_string(acknowledgements_.size()));
  // Once the daemon stops, no pass begins: what it would close or alert is
  // left for the next start.
  for (; !context_.stopRequested;) {
    // A preparation that failed is tried again on the next cycle.
    if (!prepared)
      prepared = prepareStatements();
    if (prepared && holdsCleaningRole()) {
      closeStaleErrors();
      runLeftAlerts();
      expireApplied();
      count(context_.metrics, &Metrics::cleaningPasses);
    }
    if (stopping_.lock().waitFor(stopChanged_, cycle_, [](bool stopping) { return stopping; }))
      return;
    if (prepared && !context_.stopRequested)
      refreshServices();
  }
}

void Cleaner::stop()
{
  *stopping_.lock() = true;
  stopChanged_.notify_all();
}
