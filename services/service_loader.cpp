#include "services/service_loader.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/statements.h"

#include <json/json.h>
#include <sys/time.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <memory>

namespace {

// Positions of the service query's columns.
enum Column {
  PluginId = 0,
  ServiceName = 1,
  PluginPath = 2,
  IntervalTime = 3,
  Parameter = 4,
  DeviceId = 5,
  DeviceIp = 6,
  SnmpVersion = 7,
  SnmpCommunity = 8,
  ServiceId = 9,
  ProgramPath = 10,
  ResponseUnknown = 11,
  ResponseWarning = 12,
  ResponseCritical = 13,
  ResponseParameter = 14,
  DeviceName = 15,
  TolvSn = 16,
  Snmp3User = 17,
  Snmp3SecLvl = 18,
  Snmp3AuthProtocol = 19,
  Snmp3AuthKey = 20,
  Snmp3PrivProtocol = 21,
  Snmp3PrivPassphrase = 22,
  SnmpTimer = 23,
  ResponseOk = 24,
  AdvKeywordValue = 25,
  ConfigTypeName = 26,
  PreviousState = 27,
  LastStdout = 28,
  AdvParam = 29,
};

// A field as text (NULL reads as empty). A result that lacks the row or the
// column fails the row rather than reading outside the result.
std::string columnText(const PgResult& result, int row, int column)
{
  // libpq answers a null pointer for a missing result, row or column.
  const char* value = PQgetvalue(result.get(), row, column);
  if (value == nullptr)
    throw DatabaseError("no column " + std::to_string(column) + " in row " + std::to_string(row));
  return std::string(value, static_cast<std::size_t>(PQgetlength(result.get(), row, column)));
}

std::string snmpVersionText(int version)
{
  if (version == 2)
    return "v2c";
  if (version == 3)
    return "v3";
  return "v1";
}

// Replaces the first occurrence of the macro; span characters go, or the
// rest of the text when fewer are left. The value is only computed when
// the macro occurs, so an unused macro never reads its column.
template <typename Value> void expandFirst(std::string& text, const std::string& macro, std::size_t span, Value value)
{
  std::size_t at = text.find(macro);
  if (at != std::string::npos)
    text.replace(at, span, value());
}

bool isTrue(const std::string& text) { return text == "t"; }

} // namespace

std::string replaceServiceParameter(std::string parameter, const PgResult& result, int row)
{
  auto column = [&](int position) { return columnText(result, row, position); };
  std::string& text = parameter;

  // "$IP" goes first, so a leading "$IP_VERSION" loses its first three
  // characters to the address; stored parameters are written for that.
  expandFirst(text, "$IP", 3, [&] { return ipFromNumber(stringToLongInt(column(DeviceIp)) & 0xFFFFFFFFul); });
  expandFirst(text, "$IP_VERSION", 11, [&] { return column(AdvParam); });
  expandFirst(text, "$NODEID", 7, [&] { return column(DeviceId); });
  expandFirst(text, "$NODENAME", 9, [&] { return column(DeviceName); });
  // These two also swallow the character after the macro and bring their
  // own trailing space instead.
  expandFirst(text, "$SNMP_VERSION", 14, [&] { return snmpVersionText(stringToInt(column(SnmpVersion))) + " "; });
  expandFirst(text, "$SNMP_COM", 10, [&] { return column(SnmpCommunity) + " "; });
  expandFirst(text, "$SNMP_TIMER", 11, [&] { return column(SnmpTimer); });

  if (text.find("$SNMP3") != std::string::npos) {
    expandFirst(text, "$SNMP3_SECLVL", 13, [&] { return column(Snmp3SecLvl); });
    expandFirst(text, "$SNMP3_USER", 11, [&] { return column(Snmp3User); });
    expandFirst(text, "$SNMP3_AUTH_PROT", 16, [&] { return column(Snmp3AuthProtocol); });
    expandFirst(text, "$SNMP3_AUTH_KEY", 15, [&] { return column(Snmp3AuthKey); });
    expandFirst(text, "$SNMP3_PRIV_PROT", 16, [&] { return column(Snmp3PrivProtocol); });
    expandFirst(text, "$SNMP3_PRIV_KEY", 15, [&] { return column(Snmp3PrivPassphrase); });
  }

  if (text.find("$AUTH_FILE") != std::string::npos) {
    std::string macro = "$AUTH_FILE_" + column(ConfigTypeName);
    expandFirst(text, macro, macro.size(), [&] { return column(AdvKeywordValue); });
  }

  expandFirst(text, "$SERID", 6, [&] { return column(ServiceId); });
  expandFirst(text, "$TOLVSN", 7, [&] { return column(TolvSn); });
  return parameter;
}

namespace {

// One row of the load as a service, its first run spread over the seconds
// to come.
std::shared_ptr<SyslogService> serviceOfRow(const PgResult& result, int row)
{
  auto column = [&](int position) { return columnText(result, row, position); };
  auto loaded = std::make_shared<SyslogService>();
  loaded->pluginId = stringToInt(column(PluginId));
  loaded->serviceName = column(ServiceName);
  loaded->pluginPath = column(PluginPath);
  loaded->deviceId = static_cast<std::int64_t>(stringToLongInt(column(DeviceId)));
  loaded->serviceId = static_cast<std::int64_t>(stringToLongInt(column(ServiceId)));
  loaded->serviceIdText = unsignedLongLongIntToString(static_cast<unsigned long long>(loaded->serviceId));
  trace("#LAOD ID " + loaded->serviceName + "#" + loaded->serviceIdText + "#");

  loaded->programPath = column(ProgramPath);
  loaded->setStored(stateFromNumber(stringToInt(column(PreviousState))), column(LastStdout));

  // Only the database's own "t" counts as true.
  loaded->responseUnknown = isTrue(column(ResponseUnknown));
  loaded->responseWarning = isTrue(column(ResponseWarning));
  loaded->responseCritical = isTrue(column(ResponseCritical));
  loaded->responseOk = isTrue(column(ResponseOk));

  loaded->setAlertingParameter(column(ResponseParameter));
  loaded->setParameter(replaceServiceParameter(column(Parameter), result, row));
  loaded->setIntervalExecTime(stringToInt(column(IntervalTime)));

  // Spread the first runs: now plus a random number of seconds.
  timeval now = {};
  gettimeofday(&now, nullptr);
  // Only the start-up thread and then the cleaning thread load services,
  // never both at once.
  now.tv_sec += std::rand(); // NOLINT(concurrency-mt-unsafe)
  loaded->nextExecTime = now;
  return loaded;
}

} // namespace

void loadServices(
    PgPool& pool, const std::string& name, ServiceRegistry& registry, AutoAcknowledgements& acknowledgements)
{
  // Every service of a large product database may take long to read: the
  // load has a bound of its own.
  PgResult result = pool.executePrepared(name, {}, serviceLoadTimeout);
  std::srand(static_cast<unsigned>(std::time(nullptr)));

  int rows = result ? PQntuples(result.get()) : 0;
  for (int row = 0; row < rows; ++row) {
    std::string id;
    try {
      auto column = [&](int position) { return columnText(result, row, position); };
      id = column(ServiceId);
      trace("Chargement dans la queue " + id);
      std::shared_ptr<SyslogService> loaded = serviceOfRow(result, row);

      std::string deviceName = column(DeviceName);
      trace("Chargement host prepared" + deviceName);
      // A failed parse is not an error: the keys then take their defaults.
      // A document that is not an object makes get() throw, which skips the
      // row below.
      Json::Value advanced;
      Json::Reader reader;
      reader.parse(column(AdvParam), advanced, true);
      std::string host = advanced.get("host", "daemonbadhost").asString();
      if (host == "daemonbadhost")
        host = deviceName;
      trace("Chargement host " + host);
      std::string during = advanced.get("during_alert", "5").asString();

      int deviceKey = static_cast<int>(static_cast<std::uint32_t>(loaded->deviceId));
      acknowledgements[deviceKey] = AutoAcknowledgement { host, during + " minute", id };
      const std::set<std::string>& persistent = registry.persistentPlugins();
      if (!persistent.empty())
        writeLog("INFO",
            "service " + id + " " + loaded->serviceName + ": plugin " + loaded->pluginPath
                + (persistent.count(loaded->pluginPath) ? " served by persistent processes"
                                                        : " run once per notification"));
      registry.addService(host, std::move(loaded));
      trace("Chargement success");
    } catch (const std::exception& error) {
      writeLog("ERR", "Failed to initial load service: " + id + error.what());
    }
  }
  result.reset();
  writeLog("INFO", "script reload successful");
}

void prepareAndLoadServices(PgPool& pool, ServiceRegistry& registry, AutoAcknowledgements& acknowledgements)
{
  std::string query = statements::serviceQuery();
  trace(query);
  pool.prepareRequest(statements::reloadServiceName, query);
  pool.prepareRequest(statements::addNewServiceName, statements::newServiceQuery());
  writeLog("INFO", "LOAD SERVICE");
  loadServices(pool, statements::reloadServiceName, registry, acknowledgements);
}
