#pragma once

#include "core/backoff.h"

#include <atomic>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

// What a connection is opened with: libpq keywords and their values, each
// value exactly as configured (no quoting or escaping is needed, so a
// password may hold spaces and quotes). An empty value leaves the keyword
// at libpq's default.
struct ConnectionSettings {
  std::vector<std::pair<std::string, std::string>> parameters;
  // Longest wait for the answer to one statement: a server that is
  // connected but silent (a frozen disk, a stuck pooler) is then taken for a
  // lost connection. 0: no bound.
  std::chrono::milliseconds answerTimeout { 0 };
  // Raised when the daemon stops: an answer still awaited then gets a short
  // grace, not the whole bound. None: never.
  const std::atomic<bool>* stopping = nullptr;
  // The time the pauses between reconnects are measured in.
  WaitClock clock = WaitClock::real();

  static ConnectionSettings of(const std::string& host, const std::string& port, const std::string& database,
      const std::string& user, const std::string& password)
  {
    return { { { "host", host }, { "port", port }, { "dbname", database }, { "user", user },
        { "password", password } } };
  }
};
