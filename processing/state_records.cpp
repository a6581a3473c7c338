#include "processing/state_records.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/statements.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

std::string deviceIdText(const Service& svc)
{
  return unsignedLongLongIntToString(static_cast<std::uint64_t>(svc.deviceId));
}

} // namespace

bool updateState(PgConnection::Exclusive& use, const Service& svc, ServiceState state, const std::string& output)
{
  trace("#UPDATE " + svc.serviceName + "#" + svc.serviceIdText + "#");
  PgResult result = use.executePrepared(
      statements::updateStateName, { intToString(stateNumber(state)), output, svc.serviceIdText });
  return affectedRows(result) != 0;
}

void openOccurrence(
    PgConnection::Exclusive& use, const Service& svc, const std::string& errorId, const std::string& output)
{
  use.executePrepared(statements::insertErrorHappenName, { errorId, deviceIdText(svc), svc.serviceIdText, output });
}

void closeOccurrences(PgConnection::Exclusive& use, const Service& svc)
{
  trace("#" + svc.serviceName + " FCT AQUITTE");
  trace("#" + svc.serviceName + " prepare SQL");
  trace("#" + svc.serviceName + " SERVICE ID" + svc.serviceIdText);
  use.executePrepared(statements::acquitteErrorHappenName, { svc.serviceIdText });
  trace("#" + svc.serviceName + " ACQUITTE SUCCESS ID");
}

std::optional<std::uint64_t> openOccurrenceId(PgConnection::Exclusive& use, const Service& svc)
{
  PgResult result = use.executePrepared(statements::checkErrorHappenName, { deviceIdText(svc), svc.serviceIdText });
  // The statement has no order: of several open occurrences, the newest is
  // the one the change at hand is about.
  std::optional<std::uint64_t> newest;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    auto id = static_cast<std::uint64_t>(stringToLongLongInt(pgValue(result, row, 0)));
    if (!newest || id > *newest)
      newest = id;
  }
  return newest;
}

std::optional<ServiceState> lockedState(PgConnection::Exclusive& use, const Service& svc)
{
  use.executePrepared(statements::transitionLockName, { svc.serviceIdText });
  PgResult result = use.executePrepared(statements::transitionStateName, { svc.serviceIdText });
  if (PQntuples(result.get()) != 1)
    return std::nullopt;
  return stateFromNumber(stringToInt(pgValue(result, 0, 0)));
}

int staleOccurrences(PgConnection::Exclusive& use, const std::string& serviceId, const std::string& interval)
{
  PgResult result = use.executePrepared(statements::checkAutoacquitteName, { serviceId, interval });
  const std::string text = PQntuples(result.get()) > 0 ? pgValue(result, 0, 0) : "";
  const char* begin = text.c_str();
  char* end = nullptr;
  errno = 0;
  long value = std::strtol(begin, &end, 10);
  if (end == begin || errno == ERANGE || value < INT_MIN || value > INT_MAX)
    throw DatabaseError("count is not a number for service " + serviceId + ": " + text);
  return static_cast<int>(value);
}

std::string errorIdOf(const ErrorIds& errorIds, ServiceState state)
{
  const char* name = nullptr;
  switch (state) {
  case ServiceState::warning:
    name = "default_warning_error";
    break;
  case ServiceState::critical:
    name = "default_critical_error";
    break;
  case ServiceState::unknown:
    name = "default_unknow_error";
    break;
  case ServiceState::maintenance:
    name = "default_maintenance";
    break;
  default:
    return "";
  }
  auto found = errorIds.find(name);
  return found == errorIds.end() ? "" : found->second;
}

WriteToken madeToken()
{
  // Seeded once per thread from the system: two Receivers never make the
  // same token.
  thread_local std::mt19937_64 random { [] {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
  }() };
  char text[64];
  std::snprintf(text, sizeof text, "receiver:%016llx%016llx", static_cast<unsigned long long>(random()),
      static_cast<unsigned long long>(random()));
  return { text, false };
}

WriteToken tokenFor(const std::string& notificationId)
{
  return notificationId.empty() ? madeToken() : WriteToken { notificationId, true };
}
