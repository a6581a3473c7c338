#include "app/systemd_notifier.h"

#include "core/log.h"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

SystemdNotifier::SystemdNotifier()
{
  // NOLINTNEXTLINE(concurrency-mt-unsafe): read once at start-up, before the threads that could change it.
  active_ = std::getenv("NOTIFY_SOCKET") != nullptr;
  std::uint64_t usec = 0;
  if (active_ && sd_watchdog_enabled(0, &usec) > 0)
    watchdog_ = std::chrono::microseconds(usec);
}

SystemdNotifier::~SystemdNotifier() { stop(); }

void SystemdNotifier::send(const std::string& state) const
{
  if (active_)
    sd_notify(0, state.c_str());
}

void SystemdNotifier::ready(const std::string& status) { send("READY=1\nSTATUS=" + status); }

void SystemdNotifier::stopping()
{
  phase_.lock()->stopping = true;
  send("STOPPING=1");
}

void SystemdNotifier::start(StatusText status, Problem problem, std::chrono::milliseconds statusPeriod)
{
  if (!active_ || thread_.joinable())
    return;
  std::chrono::microseconds period = statusPeriod;
  if (watchdog_.count() > 0)
    period = std::min<std::chrono::microseconds>(period, watchdog_ / 2);
  thread_ = std::thread(
      [this, status = std::move(status), problem = std::move(problem), period] { run(status, problem, period); });
}

void SystemdNotifier::stop()
{
  phase_.lock()->ended = true;
  changed_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

void SystemdNotifier::run(const StatusText& status, const Problem& problem, std::chrono::microseconds period)
{
  std::string reported;
  for (;;) {
    bool stopping = false;
    {
      auto phase = phase_.lock();
      if (phase.waitFor(changed_, period, [](const Phase& now) { return now.ended; }))
        return;
      stopping = phase->stopping;
    }
    std::string state = "STATUS=" + status();
    if (watchdog_.count() > 0) {
      std::string wrong = stopping ? std::string() : problem();
      if (wrong.empty())
        state += "\nWATCHDOG=1";
      // One line when the watchdog stops being fed, one when it is again.
      if (wrong != reported && !wrong.empty())
        writeLog("ERR", "watchdog not fed, systemd will restart the Receiver: " + wrong);
      else if (wrong != reported)
        writeLog("INFO", "watchdog fed again");
      reported = wrong;
    }
    send(state);
  }
}
