#include "core/backoff.h"

#include <algorithm>
#include <thread>

WaitClock WaitClock::real()
{
  return { [] { return Clock::now(); }, [](Clock::duration pause) { std::this_thread::sleep_for(pause); } };
}

Backoff::Backoff(std::chrono::milliseconds base, std::chrono::milliseconds cap, int growth, WaitClock clock)
    : base_(base)
    , cap_(cap)
    , current_(base)
    , growth_(growth)
    , clock_(std::move(clock))
{
}

std::chrono::milliseconds Backoff::next()
{
  const std::chrono::milliseconds pause = current_;
  current_ = std::min(current_ * growth_, cap_);
  return pause;
}

Backoff::Clock::time_point Backoff::earliest() const { return last_ ? *last_ + current_ : Clock::time_point::min(); }

void Backoff::attempted(Clock::time_point at)
{
  if (last_)
    next();
  last_ = at;
}
