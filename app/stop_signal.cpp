#include "app/stop_signal.h"

#include "core/daemon_signals.h"
#include "core/log.h"

#include <cerrno>
#include <chrono>
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
    if (got <= 0 || byte == 'Q')
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

bool SignalThread::start(std::function<void()> onStop, std::function<void()> onHangup)
{
  // The handler's end never blocks: a storm of signals that fills the pipe
  // loses bytes (the thread has as many still to read), not the process.
  if (::pipe2(wakeFds, O_CLOEXEC) != 0 || ::fcntl(wakeFds[1], F_SETFL, O_NONBLOCK) != 0)
    return false;
  try {
    thread_ = std::thread(stopThreadBody, std::move(onStop), std::move(onHangup));
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void SignalThread::stop()
{
  if (!thread_.joinable())
    return;
  const char quit = 'Q';
  while (::write(wakeFds[1], &quit, 1) < 0 && (errno == EINTR || errno == EAGAIN))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  thread_.join();
}

bool installSigtermHandler() { return setDaemonSignal(SIGTERM, handleSignal); }

bool installSighupHandler() { return setDaemonSignal(SIGHUP, handleSignal); }
