#pragma once

#include <atomic>
#include <csignal>
#include <ctime>
#include <pthread.h>

// Raised once the process ignores SIGPIPE (the daemon does from its start):
// a write to an ended plugin then only fails with EPIPE.
inline std::atomic<bool>& sigpipeIgnored()
{
  static std::atomic<bool> ignored { false };
  return ignored;
}

// Blocks SIGPIPE in this thread while the plugin is fed, and swallows the
// one a write to an ended plugin raises, whatever the process-wide action;
// nothing to do where the process ignores it.
class SigpipeShield {
public:
  SigpipeShield()
  {
    if (sigpipeIgnored().load(std::memory_order_relaxed))
      return;
    sigset_t pipeOnly;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    active_ = ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous_) == 0;
    wasPending_ = pending();
  }
  ~SigpipeShield()
  {
    if (!active_)
      return;
    if (!wasPending_ && pending()) {
      sigset_t pipeOnly;
      sigemptyset(&pipeOnly);
      sigaddset(&pipeOnly, SIGPIPE);
      struct timespec now {
        0, 0
      };
      ::sigtimedwait(&pipeOnly, nullptr, &now);
    }
    ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeShield(const SigpipeShield&) = delete;
  SigpipeShield& operator=(const SigpipeShield&) = delete;

private:
  static bool pending()
  {
    sigset_t set;
    sigemptyset(&set);
    return ::sigpending(&set) == 0 && sigismember(&set, SIGPIPE) == 1;
  }

  sigset_t previous_ {};
  bool active_ = false;
  bool wasPending_ = false;
};
