#include "processing/cleaning.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/pg_connection_pool.h"
#include "database/postgresql_exception.h"
#include "database/statements.h"
#include "execution/service_exception.h"
#include "processing/service_locks.h"
#include "processing/state_records.h"
#include "services/hash_map_service.h"
#include "services/service_loader.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

const unsigned cycleSeconds = 120;

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

bool responseFlagOf(const service& svc, int state)
{
  return (state == 1 && svc.response_warning) || (state == 2 && svc.response_critical)
      || (state == 3 && svc.response_unknown);
}

void acknowledgeByTime(serviceSyslog& svc, pgConnectionPool& pool)
{
  std::lock_guard<std::mutex> serialised(serviceLocks().lockFor(svc.service_id));
  int previousState = svc.GetReturnCode();
  svc.SetReturnCode(0);
  svc.last_stdout = "OK: syslog daemon has acquit this error";
  std::uint64_t id = getHappenError(svc, pool);
  updateService(svc, pool);
  Trace("th_clean#" + svc.service_name + " acquitte l'erreur");
  AcquitteError(svc, previousState, pool);
  Trace("th_clean#" + svc.service_name + " acquitte l'erreur==>OK ");
  if (svc.response_ok && responseFlagOf(svc, previousState)) {
    Trace("th_clean#" + svc.service_name + " SEND ALERT ");
    svc.executeAlertingSoftware(std::to_string(id));
  }
}

void sleepSeconds(unsigned seconds)
{
  while (seconds > 0)
    seconds = ::sleep(seconds);
}

} // namespace

Cleaner::Cleaner(pgConnectionPool& pool)
    : pool_(pool)
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
      pool_.prepareRequest(toPrepare[i].name, toPrepare[i].sql, toPrepare[i].parameters);
      prepared_[i] = true;
    } catch (const PostgresqlException& error) {
      write_log("ERR", std::string("th_clean#") + error.what());
      return false;
    }
  }
  return true;
}

void Cleaner::closeStaleErrors()
{
  pgConnectionPool& pool = pool_;
  for (const auto& [device, entry] : error_during) {
    (void)device;
    try {
      Trace("th_clean#FOR service" + entry.serviceId + " ");
      Trace("EXEC SQL " + entry.serviceId + " " + entry.interval);
      PgResult result = pool.executePrepareRequest(statements::checkAutoacquitteName, { entry.serviceId, entry.interval });
      Trace("EXEC SQL " + entry.serviceId + " " + entry.interval);
      std::string text = PQntuples(result.get()) > 0 ? pgValue(result, 0, 0) : "";
      result.reset();
      int count = 0;
      if (!parseCount(text, count)) {
        write_log("ERR", "th_clean#count is not a number for service " + entry.serviceId + ": " + text);
        continue;
      }
      Trace("COUNT" + intToString(count));
      if (count <= 0)
        continue;
      Trace("th_clean#recherche du service" + entry.host);
      std::shared_ptr<serviceSyslog> svc = ListTrapService.getService(entry.host);
      if (!svc)
        continue;
      acknowledgeByTime(*svc, pool);
    } catch (const std::exception& error) {
      // A failed statement or alert costs this entry only.
      write_log("ERR", "th_clean#service " + entry.serviceId + ": " + error.what());
    }
  }
}

void Cleaner::refreshServices()
{
  pgConnectionPool& pool = pool_;
  try {
    pool.executePrepareRequest(statements::deleteServiceName);
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("th_clean#") + error.what());
  }
  try {
    load_script(&pool, statements::AddnewServiceName, true);
  } catch (const std::exception& error) {
    write_log("ERR", std::string("th_clean#") + error.what());
  }
  try {
    pool.executePrepareRequest(statements::newAutoacquitteName);
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("th_clean#") + error.what());
  }
}

void Cleaner::runForever()
{
  Trace("th_clean#start");
  bool prepared = prepareStatements();
  Trace("th_clean#service" + std::to_string(error_during.size()));
  for (;;) {
    // A preparation that failed is tried again on the next cycle.
    if (!prepared)
      prepared = prepareStatements();
    if (prepared)
      closeStaleErrors();
    sleepSeconds(cycleSeconds);
    if (prepared)
      refreshServices();
  }
}

void* thread_clean_error(void*)
{
  try {
    Cleaner(*pgSQL).runForever();
  } catch (const std::exception& error) {
    write_log("ERR", std::string("th_clean#stopped: ") + error.what());
  }
  return nullptr;
}
