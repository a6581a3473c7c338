#pragma once

#include "database/connection_settings.h"

#include "core/lock_guarded.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
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

  struct State {
    std::vector<std::function<void(bool)>> waiting;
    bool stopping = false;
    bool lastAnswer = false;
    std::chrono::steady_clock::time_point answeredAt {};
  };

  ConnectionSettings settings_;
  // Used by the probe's thread alone.
  std::unique_ptr<PgConnection> connection_;
  LockGuarded<State> state_;
  std::condition_variable wake_;
  // Started under state_'s lock by the first question.
  std::thread thread_;
};
