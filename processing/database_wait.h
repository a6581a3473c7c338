#pragma once

#include "database/database_error.h"

#include <chrono>
#include <functional>
#include <string>
#include <thread>

// Runs a database step until it has run, waiting out a lost connection: the
// pause between attempts starts at half a second and doubles up to five. A
// statement the server refuses is not retried (its StatementRefused goes
// to the caller); a stop while waiting throws DatabaseUnavailable. Each attempt goes through the pool, which reconnects
// and prepares the statements again.
class DatabaseWait {
public:
  // stopping says whether to give up waiting (the daemon is stopping).
  explicit DatabaseWait(std::function<bool()> stopping)
      : stopping_(std::move(stopping))
  {
  }

  template <typename Step> auto run(Step&& step) -> decltype(step())
  {
    std::chrono::milliseconds pause = firstPause;
    for (;;) {
      try {
        return step();
      } catch (const ConnectionLost& error) {
        if (!sleepUnlessStopping(pause))
          throw DatabaseUnavailable(error.what());
        pause = std::min(pause * 2, lastPause);
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
    auto until = std::chrono::steady_clock::now() + pause;
    for (;;) {
      if (stopping_())
        return false;
      auto now = std::chrono::steady_clock::now();
      if (now >= until)
        return true;
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(until - now, std::chrono::milliseconds(100)));
    }
  }

  std::function<bool()> stopping_;
};
