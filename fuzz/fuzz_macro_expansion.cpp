// The "$" macro expansion of a service parameter against one row of the service query, built in memory with libpq's
// result-construction calls. Input: newline-separated lines; the first is the parameter, the next 30 are the row's
// columns in the query's order (missing lines are empty, a line of exactly \N is NULL).
#include "services/service_loader.h"

#include "database/pg_result.h"

#include <libpq-fe.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const columnNames[] = { "plugin_id", "service_name", "plugin_path", "service_interval_time",
  "service_parameter", "device_id", "device_ip_addr", "device_snmp_version", "device_snmp_community", "service_id",
  "program_path", "response_unknown", "response_warning", "response_critical", "response_parameter", "device_name",
  "tolv_sn", "device_snmp3_user", "device_snmp3_sec_lvl", "device_snmp3_auth_protocole", "device_snmp3_auth_key",
  "device_snmp3_priv_protocol", "device_snmp3_priv_passphrase", "device_snmp_timer", "response_ok",
  "adv_plugin_keyword_value", "device_config_type_name", "service_previous_state", "service_last_stdout", "adv_param" };
constexpr int columnCount = sizeof(columnNames) / sizeof(columnNames[0]);
static_assert(columnCount == 30, "the service query has 30 columns");

// A one-row result with the service query's columns, all of type text.
PgResult makeRow(const std::vector<std::string>& lines)
{
  PgResult result(PQmakeEmptyPGresult(nullptr, PGRES_TUPLES_OK));
  if (!result)
    std::abort();
  PGresAttDesc attributes[columnCount] = {};
  for (int column = 0; column < columnCount; ++column) {
    attributes[column].name = const_cast<char*>(columnNames[column]);
    attributes[column].typid = 25; // text
    attributes[column].typlen = -1;
    attributes[column].atttypmod = -1;
  }
  if (!PQsetResultAttrs(result.get(), columnCount, attributes))
    std::abort();
  for (int column = 0; column < columnCount; ++column) {
    std::size_t line = static_cast<std::size_t>(column) + 1;
    std::string value = line < lines.size() ? lines[line] : std::string();
    bool ok = value == "\\N"
        ? PQsetvalue(result.get(), 0, column, nullptr, -1)
        : PQsetvalue(result.get(), 0, column, const_cast<char*>(value.data()), static_cast<int>(value.size()));
    if (!ok)
      std::abort();
  }
  return result;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  std::string input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> lines;
  for (std::size_t start = 0;;) {
    std::size_t end = input.find('\n', start);
    lines.push_back(input.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos || lines.size() > static_cast<std::size_t>(columnCount))
      break;
    start = end + 1;
  }

  PgResult result = makeRow(lines);
  // Every column exists, so the expansion must not throw.
  std::string expanded = replaceServiceParameter(lines[0], result, 0);
  if (lines[0].find('$') == std::string::npos && expanded != lines[0])
    std::abort();
  return 0;
}
