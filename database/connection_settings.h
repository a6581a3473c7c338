#pragma once

#include <string>
#include <utility>
#include <vector>

// What a connection is opened with: libpq keywords and their values, each
// value exactly as configured (no quoting or escaping is needed, so a
// password may hold spaces and quotes). An empty value leaves the keyword
// at libpq's default.
struct ConnectionSettings {
  std::vector<std::pair<std::string, std::string>> parameters;

  static ConnectionSettings of(const std::string& host, const std::string& port, const std::string& database,
      const std::string& user, const std::string& password)
  {
    return { { { "host", host }, { "port", port }, { "dbname", database }, { "user", user },
        { "password", password } } };
  }
};
