#pragma once

#include <chrono>
#include <functional>
#include <optional>

// The time a back-off reads and waits with: the real clock and sleep, or a
// test's own, which lets time pass without waiting for it.
struct WaitClock {
  using Clock = std::chrono::steady_clock;
  std::function<Clock::time_point()> now;
  std::function<void(Clock::duration)> sleep;

  static WaitClock real();
};

// The pauses between attempts at something that keeps failing: base at
// first, each one growth times the one before, never above cap, and base
// again after reset(). Used either by sleeping next() between attempts, or
// by attempting only once earliest() has come and noting each attempt.
class Backoff {
public:
  using Clock = WaitClock::Clock;

  Backoff(std::chrono::milliseconds base, std::chrono::milliseconds cap, int growth = 2,
      WaitClock clock = WaitClock::real());

  // The pause to make now; the one after is longer, up to the cap.
  std::chrono::milliseconds next();
  // The pause next() would give, leaving it as it is.
  std::chrono::milliseconds current() const { return current_; }
  // The pauses start again from base (after a success).
  void reset() { current_ = base_; }

  // When the next attempt may be made: a pause after the last one noted,
  // at once before the first.
  Clock::time_point earliest() const;
  // Notes an attempt made at `at`; the pause after it grows, but for the
  // first attempt ever.
  void attempted(Clock::time_point at);

  Clock::time_point now() const { return clock_.now(); }
  void sleep(Clock::duration pause) const { clock_.sleep(pause); }

private:
  std::chrono::milliseconds base_, cap_, current_;
  int growth_;
  std::optional<Clock::time_point> last_;
  WaitClock clock_;
};
