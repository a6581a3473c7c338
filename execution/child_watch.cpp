#include "execution/child_watch.h"

#include "execution/run_cancel.h"

#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

UniqueFd openPidfd(pid_t pid)
{
#ifdef SYS_pidfd_open
  // A pidfd is opened close-on-exec.
  long fd = ::syscall(SYS_pidfd_open, pid, 0);
  if (fd >= 0)
    return UniqueFd(static_cast<int>(fd));
#endif
  (void)pid;
  return UniqueFd();
}

ChildWatch::ChildWatch(const ChildProcess& child, int timeoutSeconds, const RunCancel* cancel, int pidfd)
    : child_(child)
    , ownPidfd_(pidfd >= 0 ? UniqueFd() : openPidfd(child.pid()))
    , pidfd_(pidfd >= 0 ? pidfd : ownPidfd_.get())
    , cancel_(cancel)
{
  if (timeoutSeconds > 0)
    deadline_ = Clock::now() + std::chrono::seconds(timeoutSeconds);
}

void ChildWatch::addTo(std::vector<pollfd>& watched) const
{
  if (!exited_ && pidfd_ >= 0)
    watched.push_back({ pidfd_, POLLIN, 0 });
  if (cancel_ && !cancelDeadline_)
    watched.push_back({ cancel_->fd(), POLLIN, 0 });
}

void ChildWatch::update(const std::vector<pollfd>& watched)
{
  for (const pollfd& entry : watched) {
    if (entry.revents == 0)
      continue;
    if (entry.fd == pidfd_)
      exited_ = true;
    else if (cancel_ && entry.fd == cancel_->fd() && !cancelDeadline_)
      cancelDeadline_ = cancel_->deadline();
  }
  if (pidfd_ < 0)
    checkExit();
}

void ChildWatch::checkExit()
{
  if (!exited_ && child_.running() && child_.hasExited())
    exited_ = true;
}

int ChildWatch::pollTimeout(std::optional<Clock::time_point> also) const
{
  std::optional<Clock::time_point> nearest = also;
  for (const auto& limit : { deadline_, cancelDeadline_ }) {
    if (limit && (!nearest || *limit < *nearest))
      nearest = limit;
  }
  long long wait = -1;
  if (nearest)
    wait = std::max<long long>(0, std::chrono::ceil<std::chrono::milliseconds>(*nearest - Clock::now()).count());
  // Without a pidfd the exit is looked for now and then.
  if (pidfd_ < 0 && !exited_)
    wait = wait < 0 ? 100 : std::min<long long>(wait, 100);
  return static_cast<int>(std::min<long long>(wait, 60000));
}

RunResult::Ending ChildWatch::limitPassed() const
{
  auto now = Clock::now();
  if (deadline_ && now >= *deadline_)
    return RunResult::Ending::timedOut;
  if (cancelDeadline_ && now >= *cancelDeadline_)
    return RunResult::Ending::cancelled;
  return RunResult::Ending::exited;
}

RunResult::Ending awaitChild(ChildProcess& child, ChildWatch& watch, int& status, std::error_code& error)
{
  // Stopped and continued children report too: a stop is an ending of its
  // own, not something to wait out.
  const int options = WUNTRACED | WCONTINUED | WNOHANG;
  for (;;) {
    try {
      if (child.wait(options, status))
        return WIFEXITED(status) ? RunResult::Ending::exited : RunResult::Ending::signaled;
    } catch (const std::system_error& failure) {
      error = failure.code();
      return RunResult::Ending::failed;
    }
    RunResult::Ending limit = watch.limitPassed();
    if (limit != RunResult::Ending::exited) {
      child.terminate(terminationGrace);
      return limit;
    }
    std::vector<pollfd> watched;
    watch.addTo(watched);
    // A stop is seen only by waitpid: look again at least every tenth of a
    // second.
    int timeout = watch.pollTimeout(ChildWatch::Clock::now() + std::chrono::milliseconds(100));
    if (::poll(watched.data(), watched.size(), timeout) > 0)
      watch.update(watched);
  }
}
