#include "processing/cleaning.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/statements.h"
#include "processing/alerts.h"
#include "processing/cluster_locks.h"
#include "processing/database_wait.h"
#include "processing/service_locks.h"
#include "processing/state_records.h"
#include "services/service_registry.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

namespace {

// The count as a decimal int; false when the text holds no number or one
// outside the int range.
bool parseCount(const std::string& text, int& count)
{
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX)
    return false;
  count = static_cast<int>(value);
  return true;
}

void acknowledgeByTime(SyslogService& svc, ProcessingContext& context, DatabaseWait& wait)
{
  PgPool& pool = context.pool;
  std::lock_guard<std::mutex> serialised(context.serviceLocks.lockFor(svc.serviceId));
  std::optional<ServiceClusterLock> clusterLock;
  if (context.cluster)
    clusterLock.emplace(pool, svc, wait);
  const std::string output = "OK: syslog daemon has acquit this error";
  int previousState = context.cluster ? storedState(pool, svc, wait) : svc.getReturnCode();
  std::optional<std::uint64_t> id = wait.run([&] { return openOccurrenceId(svc, pool); });
  wait.run([&] { updateService(svc, 0, output, pool); });
  // The memory follows the row only once the row is written.
  svc.setStored(0, output);
  trace("th_clean#" + svc.serviceName + " acquitte l'erreur");
  wait.run([&] { return closeOccurrences(svc, previousState, pool); });
  count(context.metrics, &Metrics::cleaningClosed);
  trace("th_clean#" + svc.serviceName + " acquitte l'erreur==>OK ");
  if (svc.responseOk && responseFlagOf(svc, previousState)) {
    if (!id) {
      writeLog("ERR", "th_clean#no open occurrence of service " + svc.serviceIdText + ": alerting program not started");
      return;
    }
    trace("th_clean#" + svc.serviceName + " SEND ALERT ");
    startAlert(svc, *id, context);
  }
}

} // namespace

Cleaner::Cleaner(ProcessingContext& context, AutoAcknowledgements& acknowledgements, std::chrono::seconds cycle)
    : context_(context)
    , cycle_(cycle)
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
  PgPool& pool = context_.pool;
  // A lost connection is waited out, entry by entry, and the pass goes on.
  DatabaseWait& wait = wait_;
  for (const auto& item : acknowledgements_) {
    const AutoAcknowledgement& entry = item.second;
    try {
      trace("th_clean#FOR service" + entry.serviceId + " ");
      trace("EXEC SQL " + entry.serviceId + " " + entry.interval);
      PgResult result = wait.run([&] {
        return pool.executePrepared(statements::checkAutoacquitteName, { entry.serviceId, entry.interval });
      });
      trace("EXEC SQL " + entry.serviceId + " " + entry.interval);
      std::string text = PQntuples(result.get()) > 0 ? pgValue(result, 0, 0) : "";
      result.reset();
      int count = 0;
      if (!parseCount(text, count)) {
        writeLog("ERR", "th_clean#count is not a number for service " + entry.serviceId + ": " + text);
        continue;
      }
      trace("COUNT" + intToString(count));
      if (count <= 0)
        continue;
      trace("th_clean#recherche du service" + entry.host);
      std::shared_ptr<SyslogService> svc = context_.registry.getService(entry.host);
      if (!svc)
        continue;
      acknowledgeByTime(*svc, context_, wait);
    } catch (const std::exception& error) {
      // A failed statement or alert costs this entry only.
      writeLog("ERR", "th_clean#service " + entry.serviceId + ": " + error.what());
    }
  }
}

void Cleaner::refreshServices()
{
  PgPool& pool = context_.pool;
  DatabaseWait& wait = wait_;
  try {
    wait.run([&] { pool.executePrepared(statements::deleteServiceName); });
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
  for (;;) {
    // A preparation that failed is tried again on the next cycle.
    if (!prepared)
      prepared = prepareStatements();
    if (prepared && holdsCleaningRole()) {
      closeStaleErrors();
      count(context_.metrics, &Metrics::cleaningPasses);
    }
    {
      std::unique_lock<std::mutex> lock(stopLock_);
      if (stopChanged_.wait_for(lock, cycle_, [this] { return stopping_; }))
        return;
    }
    if (prepared)
      refreshServices();
  }
}

void Cleaner::stop()
{
  {
    std::lock_guard<std::mutex> guard(stopLock_);
    stopping_ = true;
  }
  stopChanged_.notify_all();
}
