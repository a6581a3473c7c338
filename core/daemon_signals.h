#pragma once

#include <array>
#include <csignal>

// Every signal whose action the daemon changes: SIGTERM (stop), SIGPIPE
// (ignored, so that a plugin that exits early cannot end the daemon) and
// SIGHUP (reopen the log). A child reset them all to their defaults before
// it runs its program, so a handler never runs in a child between vfork and
// exec; the set-up refuses any signal that is not here.
inline constexpr std::array<int, 3> daemonSignals = { SIGTERM, SIGPIPE, SIGHUP };

// sigaction for one of daemonSignals, with an empty mask and no flags; false
// for another signal or when the action cannot be set.
inline bool setDaemonSignal(int number, void (*handler)(int))
{
  bool listed = false;
  for (int signal : daemonSignals)
    listed = listed || signal == number;
  if (!listed)
    return false;
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return ::sigaction(number, &action, nullptr) == 0;
}
