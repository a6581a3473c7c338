#pragma once

#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"

#include <map>
#include <string>

// Writes a receiver.conf for a daemon under test into dir, pointing at db. Extra entries are "SECTION.key" -> value and
// replace the defaults (an empty value removes the key).
inline std::string writeReceiverConfig(
    const TempDir& dir, const TestDatabase& db, const std::map<std::string, std::string>& extra = {})
{
  std::map<std::string, std::string> values = {
    { "LOG.log_file", dir.path() + "/receiver.log" },
    { "POSTGRESQL.connection_number", "2" },
    { "POSTGRESQL.PGSQL_host", db.host },
    { "POSTGRESQL.PGSQL_port", db.port },
    { "POSTGRESQL.PGSQL_db", db.name },
    { "POSTGRESQL.PGSQL_username", db.user },
    { "POSTGRESQL.PGSQL_pwd", db.password },
    { "SYSLOG.port", "0" },
    { "SYSLOG.thread", "0" },
  };
  for (const auto& [key, value] : extra)
    values[key] = value;
  std::string text;
  for (const char* section : { "LOG", "POSTGRESQL", "SYSLOG", "SENDERS", "METRICS", "PLUGINS" }) {
    text += std::string("[") + section + "]\n";
    const std::string prefix = std::string(section) + ".";
    for (const auto& [key, value] : values)
      if (key.rfind(prefix, 0) == 0 && !value.empty())
        text += key.substr(prefix.size()) + "=" + value + "\n";
  }
  return dir.write("receiver.conf", text);
}
