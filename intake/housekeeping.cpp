#include "intake/housekeeping.h"

#include <malloc.h>

Housekeeping::Housekeeping(boost::asio::io_service& io, std::chrono::seconds idleTimeout, std::function<void()> sweep)
    : io_(io)
    , idleTimeout_(idleTimeout)
    , sweep_(std::move(sweep))
{
}

void Housekeeping::start()
{
  auto timers = timers_.lock();
  timers->trim = std::make_unique<boost::asio::steady_timer>(io_);
  if (idleTimeout_.count() > 0) {
    timers->idle = std::make_unique<boost::asio::steady_timer>(io_);
    armSweep(*timers);
  }
}

void Housekeeping::armSweep(Timers& timers)
{
  // A sweep already due when stop cancelled the timer must not arm another.
  if (timers.stopped)
    return;
  // Often enough that a session outlives its limit by a small share of it.
  auto period = std::min<std::chrono::steady_clock::duration>(idleTimeout_ / 4, std::chrono::seconds(1));
  timers.idle->expires_after(std::max<std::chrono::steady_clock::duration>(period, std::chrono::milliseconds(100)));
  timers.idle->async_wait([this](const boost::system::error_code& ec) {
    if (ec || timers_.lock()->stopped)
      return;
    sweep_();
    armSweep(*timers_.lock());
  });
}

void Housekeeping::scheduleTrim(std::chrono::seconds delay)
{
  auto timers = timers_.lock();
  if (!timers->trim || timers->stopped || timers->trimPending)
    return;
  timers->trimPending = true;
  timers->trim->expires_after(delay);
  timers->trim->async_wait([this](const boost::system::error_code& ec) {
    timers_.lock()->trimPending = false;
    if (!ec)
      ::malloc_trim(0);
  });
}

void Housekeeping::stop()
{
  auto timers = timers_.lock();
  timers->stopped = true;
  if (timers->idle)
    timers->idle->cancel();
  if (timers->trim)
    timers->trim->cancel();
}
