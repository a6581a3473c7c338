#include "core/stop_signal.h"

#include "core/log.h"
#include "core/process_state.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>

namespace {

int wakeFds[2] = { -1, -1 };
std::mutex actionMutex;
std::function<void()> stopAction;

void stopThreadBody()
{
  for (;;) {
    char byte = 0;
    ssize_t got = ::read(wakeFds[0], &byte, 1);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0)
      return;
    write_log("INFO", "stop Receiver... SIGTERM");
    std::function<void()> action;
    {
      std::lock_guard<std::mutex> guard(actionMutex);
      action = stopAction;
    }
    if (action)
      action();
    else
      die_quelm = 1;
  }
}

} // namespace

void HandlerQuit(int)
{
  int saved = errno;
  char byte = 'T';
  // Nothing can be done about a failed write inside a signal handler.
  ssize_t ignored = ::write(wakeFds[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

bool startStopThread()
{
  if (::pipe2(wakeFds, O_CLOEXEC) != 0)
    return false;
  try {
    std::thread(stopThreadBody).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

bool installSigtermHandler()
{
  struct sigaction action {};
  action.sa_handler = HandlerQuit;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  return sigaction(SIGTERM, &action, nullptr) == 0;
}

void setStopAction(std::function<void()> action)
{
  std::lock_guard<std::mutex> guard(actionMutex);
  stopAction = std::move(action);
}
