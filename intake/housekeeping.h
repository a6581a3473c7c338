#pragma once

#include "core/lock_guarded.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>

// The listener's timers on its event loop: the idle sweep, and giving freed
// memory back to the system a little after it was freed (one trim for a
// burst of occasions). Once stopped, nothing is armed again, so the loop
// can run out.
class Housekeeping {
public:
  // sweep runs every fraction of idleTimeout (0: never).
  Housekeeping(boost::asio::io_service& io, std::chrono::seconds idleTimeout, std::function<void()> sweep);
  Housekeeping(const Housekeeping&) = delete;
  Housekeeping& operator=(const Housekeeping&) = delete;

  // Once the loop is about to run: makes the timers and arms the sweep.
  void start();
  // Gives freed memory back to the system after delay.
  void scheduleTrim(std::chrono::seconds delay);
  // Cancels both timers; neither is armed after it.
  void stop();

private:
  struct Timers {
    std::unique_ptr<boost::asio::steady_timer> idle;
    std::unique_ptr<boost::asio::steady_timer> trim;
    bool trimPending = false;
    bool stopped = false;
  };
  void armSweep(Timers& timers);

  boost::asio::io_service& io_;
  const std::chrono::seconds idleTimeout_;
  const std::function<void()> sweep_;
  LockGuarded<Timers> timers_;
};
