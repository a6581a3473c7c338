#include "processing/cleaning.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/pg_connection_pool.h"
#include "database/postgresql_exception.h"
#include "database/statements.h"
#include "execution/service_exception.h"
#include "core/process_state.h"
#include "processing/database_wait.h"
#include "processing/service_locks.h"
#include "processing/state_records.h"
#include "services/hash_map_service.h"
#include "services/service_loader.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>

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

bool stopRequested() { return die_quelm != 0; }

void acknowledgeByTime(serviceSyslog& svc, pgConnectionPool& pool, DatabaseWait& wait)
{
  std::lock_guard<std::mutex> serialised(serviceLocks().lockFor(svc.service_id));
  const std::string output = "OK: syslog daemon has acquit this error";
  int previousState = svc.GetReturnCode();
  std::optional<std::uint64_t> id = wait.run([&] { return getHappenError(svc, pool); });
  wait.run([&] { updateService(svc, 0, output, pool); });
  // The memory follows the row only once the row is written.
  {
    std::lock_guard<std::mutex> guard(svc.return_code_lock);
    svc.return_code = 0;
    svc.last_stdout = output;
  }
  Trace("th_clean#" + svc.service_name + " acquitte l'erreur");
  wait.run([&] { return AcquitteError(svc, previousState, pool); });
  Trace("th_clean#" + svc.service_name + " acquitte l'erreur==>OK ");
  if (svc.response_ok && responseFlagOf(svc, previousState)) {
    if (!id) {
      write_log("ERR", "th_clean#no open occurrence of service " + svc.service_id_text + ": alerting program not started");
      return;
    }
    Trace("th_clean#" + svc.service_name + " SEND ALERT ");
    svc.executeAlertingSoftware(std::to_string(*id));
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
  // A lost connection is waited out, entry by entry, and the pass goes on.
  DatabaseWait wait(stopRequested);
  for (const auto& [device, entry] : error_during) {
    (void)device;
    try {
      Trace("th_clean#FOR service" + entry.serviceId + " ");
      Trace("EXEC SQL " + entry.serviceId + " " + entry.interval);
      PgResult result = wait.run(
          [&] { return pool.executePrepareRequest(statements::checkAutoacquitteName, { entry.serviceId, entry.interval }); });
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
      acknowledgeByTime(*svc, pool, wait);
    } catch (const std::exception& error) {
      // A failed statement or alert costs this entry only.
      write_log("ERR", "th_clean#service " + entry.serviceId + ": " + error.what());
    }
  }
}

void Cleaner::refreshServices()
{
  pgConnectionPool& pool = pool_;
  DatabaseWait wait(stopRequested);
  try {
    wait.run([&] { pool.executePrepareRequest(statements::deleteServiceName); });
  } catch (const std::exception& error) {
    write_log("ERR", std::string("th_clean#") + error.what());
  }
  try {
    wait.run([&] { load_script(&pool, statements::AddnewServiceName, true); });
  } catch (const std::exception& error) {
    write_log("ERR", std::string("th_clean#") + error.what());
  }
  try {
    wait.run([&] { pool.executePrepareRequest(statements::newAutoacquitteName); });
  } catch (const std::exception& error) {
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
