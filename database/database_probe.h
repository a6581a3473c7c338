#pragma once

#include "database/connection_settings.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class PgConnection;

// Tells whether the database takes a statement now, for a health check: on a
// connection and a thread of its own (opened at the first question), each
// try bounded by a few seconds. Questions that come while a try is under way
// get its answer, and an answer less than a second old is given again, so a
// flood of checks costs the database about one statement a second.
class DatabaseProbe {
public:
  // The settings' time-outs are shortened to probeBound.
  explicit DatabaseProbe(ConnectionSettings settings);
  ~DatabaseProbe();
  DatabaseProbe(const DatabaseProbe&) = delete;
  DatabaseProbe& operator=(const DatabaseProbe&) = delete;

  // answer(true) once SELECT 1 has been answered, answer(false) when it was
  // not within the bound; on the probe's thread, or on the caller's for a
  // fresh answer.
  void check(std::function<void(bool)> answer);

  static constexpr std::chrono::seconds probeBound { 3 };

private:
  void run();
  bool tryOnce();

  ConnectionSettings settings_;
  std::unique_ptr<PgConnection> connection_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::vector<std::function<void(bool)>> waiting_;
  bool stopping_ = false;
  bool lastAnswer_ = false;
  std::chrono::steady_clock::time_point answeredAt_ {};
  std::thread thread_;
};
