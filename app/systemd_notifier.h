#pragma once

#include "core/lock_guarded.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <string>
#include <thread>

// Talks to systemd when it started the daemon with a notification socket
// (Type=notify): readiness, the stop, a one-line status and the watchdog.
// Without NOTIFY_SOCKET in the environment every call does nothing.
class SystemdNotifier {
public:
  // What the status line says, and what is wrong (empty: nothing), asked
  // once a period.
  using StatusText = std::function<std::string()>;
  using Problem = std::function<std::string()>;

  SystemdNotifier();
  ~SystemdNotifier();
  SystemdNotifier(const SystemdNotifier&) = delete;
  SystemdNotifier& operator=(const SystemdNotifier&) = delete;

  bool active() const { return active_; }
  // The watchdog period systemd asks for (WatchdogSec=); 0: none.
  std::chrono::microseconds watchdogPeriod() const { return watchdog_; }

  // READY=1 with a first status line.
  void ready(const std::string& status);
  // STOPPING=1. From then on the watchdog is fed whatever the checks say:
  // the stop has its own time limit.
  void stopping();

  // Starts the thread that sends STATUS= every period and, with a watchdog,
  // WATCHDOG=1 only while problem() answers empty. The period is half the
  // watchdog's, and at most statusPeriod.
  void start(StatusText status, Problem problem, std::chrono::milliseconds statusPeriod = std::chrono::seconds(5));
  void stop();

private:
  void send(const std::string& state) const;
  void run(const StatusText& status, const Problem& problem, std::chrono::microseconds period);

  bool active_ = false;
  std::chrono::microseconds watchdog_ { 0 };
  // STOPPING=1 sent; the thread told to end.
  struct Phase {
    bool stopping = false;
    bool ended = false;
  };
  LockGuarded<Phase> phase_;
  std::condition_variable changed_;
  std::thread thread_;
};
