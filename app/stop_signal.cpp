#include "app/stop_signal.h"

#include "core/daemon_signals.h"
#include "core/log.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

// Process-wide: the signal handler can reach nothing else.
int wakeFds[2] = { -1, -1 };

void handleSignal(int number)
{
  int saved = errno;
  char byte = number == SIGHUP ? 'H' : 'T';
  // Nothing can be done about a failed write inside a signal handler.
  ssize_t ignored = ::write(wakeFds[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

void stopThreadBody(const std::function<void()>& onStop, const std::function<void()>& onHangup)
{
  for (;;) {
    char byte = 0;
    ssize_t got = ::read(wakeFds[0], &byte, 1);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return;
    if (byte == 'H') {
      onHangup();
      continue;
    }
    writeLog("INFO", "stop Receiver... SIGTERM");
    onStop();
  }
}

} // namespace

bool startStopThread(std::function<void()> onStop, std::function<void()> onHangup)
{
  if (::pipe2(wakeFds, O_CLOEXEC) != 0)
    return false;
  try {
    // Left running for the life of the process: it only ever waits on the
    // pipe, and a SIGTERM may come at any moment until the end.
    std::thread(stopThreadBody, std::move(onStop), std::move(onHangup)).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool installSigtermHandler() { return setDaemonSignal(SIGTERM, handleSignal); }

bool installSighupHandler() { return setDaemonSignal(SIGHUP, handleSignal); }
