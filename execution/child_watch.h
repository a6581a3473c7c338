#pragma once

#include "execution/child_process.h"
#include "execution/run_result.h"
#include "execution/unique_fd.h"

#include <poll.h>

#include <chrono>
#include <optional>
#include <vector>

class RunCancel;

// What a run waits for besides its pipes: the child's exit (a pidfd, or a
// look every tenth of a second where the kernel has none), its time limit,
// and the daemon's stop, after which it gets RunCancel::grace.
class ChildWatch {
public:
  using Clock = std::chrono::steady_clock;

  // pidfd: the child's, kept by the caller for the child's life; -1: the
  // watch opens its own.
  ChildWatch(const ChildProcess& child, int timeoutSeconds, const RunCancel* cancel, int pidfd = -1);

  // Adds the watched descriptors to a poll set; call update with the set
  // once poll returned.
  void addTo(std::vector<pollfd>& watched) const;
  void update(const std::vector<pollfd>& watched);
  // Milliseconds for poll: until the nearest limit, `also` included (-1:
  // none).
  int pollTimeout(std::optional<Clock::time_point> also = std::nullopt) const;

  // The child has exited (it is not reaped yet).
  bool exited() const { return exited_; }
  // A limit that has passed: timedOut at the time limit, cancelled a grace
  // after the stop; exited otherwise (nothing passed).
  RunResult::Ending limitPassed() const;

private:
  void checkExit();

  const ChildProcess& child_;
  UniqueFd ownPidfd_;
  // The pidfd watched: the caller's or ownPidfd_; -1 where the kernel has
  // none.
  int pidfd_;
  const RunCancel* cancel_;
  std::optional<Clock::time_point> deadline_;
  std::optional<Clock::time_point> cancelDeadline_;
  bool exited_ = false;
};

// A pidfd of the process (close-on-exec); invalid where the kernel has none.
UniqueFd openPidfd(pid_t pid);

// Waits for the child to end, watching the limits; at a limit its group is
// stopped (SIGTERM, a short grace, SIGKILL). The ending and the wait status
// of an exit or a death; failed (with the error) when waiting fails.
RunResult::Ending awaitChild(ChildProcess& child, ChildWatch& watch, int& status, std::error_code& error);

// Stops the child's group at a limit: SIGTERM, then SIGKILL after this.
constexpr std::chrono::milliseconds terminationGrace { 1000 };
