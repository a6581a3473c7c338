#include "processing/state_records.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/statements.h"
#include "services/service.h"

namespace {

std::string deviceIdText(const Service& svc)
{
  return unsignedLongLongIntToString(static_cast<std::uint64_t>(svc.deviceId));
}

// A refusal is logged with the given prefix; a lost connection goes on to
// the caller.
void logRefusal(const DatabaseError& error, const std::string& prefix)
{
  if (error.connectionLost())
    throw error;
  writeLog("ERR", prefix + error.what());
}

} // namespace

void updateService(const Service& svc, int state, const std::string& output, PgPool& pool)
{
  std::vector<std::string> values { intToString(state), output, svc.serviceIdText };
  trace("#UPDATE " + svc.serviceName + "#" + svc.serviceIdText + "#");
  pool.executePrepared(statements::updateStateName, values);
}

bool openOccurrence(const Service& svc, const std::string& errorId, const std::string& output, PgPool& pool)
{
  std::vector<std::string> values { errorId, deviceIdText(svc), svc.serviceIdText, output };
  try {
    pool.executePrepared(statements::insertErrorHappenName, values);
    return true;
  } catch (const DatabaseError& error) {
    logRefusal(error, "insert error failed:  ");
  }
  return false;
}

bool closeOccurrences(const Service& svc, int previousState, PgPool& pool)
{
  trace("#" + svc.serviceName + " FCT AQUITTE");
  if (previousState == 0)
    return true;
  trace("#" + svc.serviceName + " prepare SQL");
  std::vector<std::string> values { svc.serviceIdText };
  trace("#" + svc.serviceName + " SERVICE ID" + svc.serviceIdText);
  try {
    pool.executePrepared(statements::acquitteErrorHappenName, values);
    trace("#" + svc.serviceName + " ACQUITTE SUCCESS ID");
    return true;
  } catch (const DatabaseError& error) {
    logRefusal(error, "EXEC AcquitteErrorHappen failed in function AcquitteError: ");
  }
  return false;
}

std::optional<std::uint64_t> openOccurrenceId(const Service& svc, PgPool& pool)
{
  std::vector<std::string> values { deviceIdText(svc), svc.serviceIdText };
  try {
    PgResult result = pool.executePrepared(statements::checkErrorHappenName, values);
    if (PQntuples(result.get()) == 0)
      return std::nullopt;
    return static_cast<std::uint64_t>(stringToLongLongInt(pgValue(result, 0, 0)));
  } catch (const DatabaseError& error) {
    logRefusal(error, "EXEC CheckErrorHappen failed in function getHappenError: ");
  }
  return std::nullopt;
}

bool hasOpenOccurrence(const Service& svc, const std::string& errorId, PgPool& pool)
{
  PgResult result = pool.executePrepared(statements::checkErrorHappenName, { deviceIdText(svc), svc.serviceIdText });
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    if (pgValue(result, row, 1) == errorId)
      return true;
  }
  return false;
}

std::string errorIdOf(const ErrorIds& errorIds, int state)
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
  auto found = errorIds.find(name);
  return found == errorIds.end() ? "" : found->second;
}
