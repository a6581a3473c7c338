#include "processing/state_records.h"

#include "core/conversions.h"
#include "core/log.h"
#include "core/process_state.h"
#include "database/pg_connection_pool.h"
#include "database/postgresql_exception.h"
#include "database/statements.h"
#include "services/service.h"

namespace {

std::string deviceIdText(const service& svc) { return unsignedLongLongIntToString(static_cast<std::uint64_t>(svc.device_id)); }

} // namespace

void updateService(service& svc, pgConnectionPool& pool)
{
  std::vector<std::string> values { intToString(svc.return_code), svc.last_stdout, svc.service_id_text };
  Trace("#UPDATE " + svc.service_name + "#" + svc.service_id_text + "#");
  pool.executePrepareRequest(statements::UpdateStateName, values);
}

void InsertError(service& svc, int state, pgConnectionPool& pool)
{
  std::vector<std::string> values { getErrorId(state), deviceIdText(svc), svc.service_id_text, svc.last_stdout };
  try {
    pool.executePrepareRequest(statements::InsertErrorHappenName, values);
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("insert error failed:  ") + error.what());
  }
}

void AcquitteError(service& svc, int previousState, pgConnectionPool& pool)
{
  Trace("#" + svc.service_name + " FCT AQUITTE");
  if (previousState == 0)
    return;
  Trace("#" + svc.service_name + " prepare SQL");
  std::vector<std::string> values { svc.service_id_text };
  Trace("#" + svc.service_name + " SERVICE ID" + svc.service_id_text);
  try {
    pool.executePrepareRequest(statements::AcquitteErrorHappenName, values);
    Trace("#" + svc.service_name + " ACQUITTE SUCCESS ID");
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("EXEC AcquitteErrorHappen failed in function AcquitteError: ") + error.what());
  }
}

std::uint64_t getHappenError(service& svc, pgConnectionPool& pool)
{
  std::vector<std::string> values { deviceIdText(svc), svc.service_id_text };
  try {
    PgResult result = pool.executePrepareRequest(statements::CheckErrorHappenName, values);
    if (PQntuples(result.get()) == 0)
      return static_cast<std::uint64_t>(-1);
    return stringToLongLongInt(pgValue(result, 0, 0));
  } catch (const PostgresqlException& error) {
    write_log("ERR", std::string("EXEC CheckErrorHappen failed in function getHappenError: ") + error.what());
  }
  return static_cast<std::uint64_t>(-1);
}

std::string getErrorId(int state)
{
  const char* name = nullptr;
  switch (state) {
  case 1:
    name = "default_warning_error";
    break;
  case 2:
    name = "default_critical_error";
    break;
  case 3:
    name = "default_unknow_error";
    break;
  case 5:
    name = "default_maintenance";
    break;
  default:
    return "";
  }
  auto found = map_error.find(name);
  return found == map_error.end() ? "" : found->second;
}
