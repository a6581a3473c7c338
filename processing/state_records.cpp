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

// A refusal is logged with the given prefix; a lost connection goes on to
// the caller.
void logRefusal(const PostgresqlException& error, const std::string& prefix)
{
  if (error.connectionLost())
    throw error;
  write_log("ERR", prefix + error.what());
}

} // namespace

void updateService(const service& svc, int state, const std::string& output, pgConnectionPool& pool)
{
  std::vector<std::string> values { intToString(state), output, svc.service_id_text };
  Trace("#UPDATE " + svc.service_name + "#" + svc.service_id_text + "#");
  pool.executePrepareRequest(statements::UpdateStateName, values);
}

bool InsertError(const service& svc, int state, const std::string& output, pgConnectionPool& pool)
{
  std::vector<std::string> values { getErrorId(state), deviceIdText(svc), svc.service_id_text, output };
  try {
    pool.executePrepareRequest(statements::InsertErrorHappenName, values);
    return true;
  } catch (const PostgresqlException& error) {
    logRefusal(error, "insert error failed:  ");
  }
  return false;
}

bool AcquitteError(const service& svc, int previousState, pgConnectionPool& pool)
{
  Trace("#" + svc.service_name + " FCT AQUITTE");
  if (previousState == 0)
    return true;
  Trace("#" + svc.service_name + " prepare SQL");
  std::vector<std::string> values { svc.service_id_text };
  Trace("#" + svc.service_name + " SERVICE ID" + svc.service_id_text);
  try {
    pool.executePrepareRequest(statements::AcquitteErrorHappenName, values);
    Trace("#" + svc.service_name + " ACQUITTE SUCCESS ID");
    return true;
  } catch (const PostgresqlException& error) {
    logRefusal(error, "EXEC AcquitteErrorHappen failed in function AcquitteError: ");
  }
  return false;
}

std::optional<std::uint64_t> getHappenError(const service& svc, pgConnectionPool& pool)
{
  std::vector<std::string> values { deviceIdText(svc), svc.service_id_text };
  try {
    PgResult result = pool.executePrepareRequest(statements::CheckErrorHappenName, values);
    if (PQntuples(result.get()) == 0)
      return std::nullopt;
    return static_cast<std::uint64_t>(stringToLongLongInt(pgValue(result, 0, 0)));
  } catch (const PostgresqlException& error) {
    logRefusal(error, "EXEC CheckErrorHappen failed in function getHappenError: ");
  }
  return std::nullopt;
}

bool hasOpenOccurrence(const service& svc, const std::string& errorId, pgConnectionPool& pool)
{
  PgResult result = pool.executePrepareRequest(statements::CheckErrorHappenName, { deviceIdText(svc), svc.service_id_text });
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    if (pgValue(result, row, 1) == errorId)
      return true;
  }
  return false;
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
