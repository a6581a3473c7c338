#pragma once

#include "database/database_error.h"
#include "database/retry_policy.h"

#include "core/backoff.h"

#include <chrono>
#include <functional>
#include <string>

// Runs a database step until it has run, retrying as retryAction() says:
// the pauses start at half a second and double up to five. A statement the
// server refuses is not retried (its StatementRefused goes to the caller);
// a stop while waiting throws DatabaseUnavailable. Each attempt goes through
// the pool, which reconnects and prepares the statements again.
class DatabaseWait {
public:
  // stopping says whether to give up waiting (the daemon is stopping).
  explicit DatabaseWait(std::function<bool()> stopping, WaitClock clock = WaitClock::real())
      : stopping_(std::move(stopping))
      , clock_(std::move(clock))
  {
  }

  template <typename Step> auto run(Step&& step) -> decltype(step())
  {
    Backoff pauses(firstPause, lastPause, 2, clock_);
    for (int failures = 1;; ++failures) {
      try {
        return step();
      } catch (const DatabaseError& error) {
        const RetryAction action = retryAction(error, failures);
        if (action == RetryAction::giveUp)
          throw;
        if (action == RetryAction::afterPause && !sleepUnlessStopping(pauses.next()))
          throw DatabaseUnavailable(error.what());
      }
    }
  }

  bool stopping() const { return stopping_(); }

  static constexpr std::chrono::milliseconds firstPause { 500 };
  static constexpr std::chrono::milliseconds lastPause { 5000 };

private:
  // False as soon as a stop is seen, checked every tenth of a second.
  bool sleepUnlessStopping(std::chrono::milliseconds pause)
  {
    const auto until = clock_.now() + pause;
    for (;;) {
      if (stopping_())
        return false;
      const auto now = clock_.now();
      if (now >= until)
        return true;
      clock_.sleep(std::min<WaitClock::Clock::duration>(until - now, std::chrono::milliseconds(100)));
    }
  }

  std::function<bool()> stopping_;
  WaitClock clock_;
};
