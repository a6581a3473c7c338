#include "execution/plugin_runner.h"

#include "execution/child_process.h"
#include "execution/unique_fd.h"

#include <poll.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

constexpr std::chrono::milliseconds terminationGrace { 1000 };

// Blocks SIGPIPE in this thread while the plugin is fed, and swallows the
// one a write to an ended plugin raises, whatever the process-wide action.
class SigpipeShield {
  public:
  SigpipeShield()
  {
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

int setNonBlocking(int fd)
{
  int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
    return errno;
  return 0;
}

// Milliseconds for poll until the deadline (-1: none); never rounds a
// remaining wait down to a busy 0.
int pollTimeout(const Deadline& deadline)
{
  if (!deadline)
    return -1;
  auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(left, 0, 60000));
}

bool expired(const Deadline& deadline)
{
  return deadline && Clock::now() >= *deadline;
}

// Reads the chunks available now, a bounded number so that a plugin that
// writes without pause still lets the caller feed it and watch the clock.
// Returns 0, or the errno of a failed read; sets eof at end of file. Each
// chunk is taken up to its first NUL byte.
int drainOutput(int fd, std::string& output, bool& eof)
{
  char buffer[1024];
  for (int chunk = 0; chunk < 64; ++chunk) {
    std::memset(buffer, 0, sizeof(buffer));
    ssize_t got = ::read(fd, buffer, sizeof(buffer) - 1);
    if (got > 0) {
      output.append(buffer, ::strnlen(buffer, static_cast<std::size_t>(got)));
      continue;
    }
    if (got == 0) {
      eof = true;
      return 0;
    }
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return 0;
    return errno;
  }
  return 0;
}

// Writes what the pipe takes now. A plugin that has gone or closed its
// input simply gets no more: the result of the writes is not used.
void feedInput(UniqueFd& input, const std::string& data, std::size_t& sent)
{
  while (sent < data.size()) {
    ssize_t wrote = ::write(input.get(), data.data() + sent, data.size() - sent);
    if (wrote > 0) {
      sent += static_cast<std::size_t>(wrote);
      continue;
    }
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return;
    input.reset();
    return;
  }
  input.reset();
}

// Feeds the input and reads the output at the same time, so that neither a
// plugin that never reads nor one that writes much can block the other side.
// Ends at end of output once the input is delivered (or refused). Returns 0,
// the errno of a failed read or poll, or ETIMEDOUT at the deadline.
int pumpPlugin(int output, UniqueFd& input, const std::string& data, std::string& text, const Deadline& deadline)
{
  if (int error = setNonBlocking(output))
    return error;
  if (input.valid() && setNonBlocking(input.get()) != 0)
    input.reset();
  std::size_t sent = 0;
  bool eof = false;
  while (!eof || input.valid()) {
    if (expired(deadline))
      return ETIMEDOUT;
    struct pollfd watched[2] = {};
    nfds_t count = 0;
    if (!eof)
      watched[count++] = { output, POLLIN, 0 };
    if (input.valid())
      watched[count++] = { input.get(), POLLOUT, 0 };
    int ready = ::poll(watched, count, pollTimeout(deadline));
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    for (nfds_t i = 0; i < count; ++i) {
      if (watched[i].revents == 0)
        continue;
      if (watched[i].fd == output) {
        if (int error = drainOutput(output, text, eof))
          return error;
      } else {
        feedInput(input, data, sent);
      }
    }
  }
  return 0;
}

RunResult failedAt(const char* step, int error)
{
  RunResult result;
  result.ending = RunResult::Ending::failed;
  result.failedStep = step;
  result.error = std::error_code(error, std::generic_category());
  return result;
}

RunResult timedOut(ChildProcess& child, std::string output)
{
  child.terminate(terminationGrace);
  RunResult result;
  result.ending = RunResult::Ending::timedOut;
  result.output = std::move(output);
  return result;
}

// waitpid with the runner's options; with a deadline, polled until it.
// False when the deadline passed first.
bool waitForPlugin(ChildProcess& child, int& status, const Deadline& deadline)
{
  const int options = WUNTRACED | WCONTINUED;
  if (!deadline)
    return child.wait(options, status);
  long pauseNs = 100000;
  for (;;) {
    if (child.wait(options | WNOHANG, status))
      return true;
    if (expired(deadline))
      return false;
    struct timespec pause {
      0, pauseNs
    };
    ::nanosleep(&pause, nullptr);
    pauseNs = std::min(pauseNs * 2, 10000000L);
  }
}

Deadline runDeadline(int seconds)
{
  if (seconds <= 0)
    return std::nullopt;
  return Clock::now() + std::chrono::seconds(seconds);
}

} // namespace

bool ignoreSigpipe()
{
  struct sigaction ignore { };
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
}

RunResult runPlugin(const PluginRun& run)
{
  Deadline deadline = runDeadline(run.timeoutSeconds);
  UniqueFd output, outputWrite, inputRead, inputWrite;
  try {
    makePipe(output, outputWrite);
    if (run.input)
      makePipe(inputRead, inputWrite);
  } catch (const std::system_error& error) {
    return failedAt("Error open pipe", error.code().value());
  }

  static char* const emptyEnvironment[] = { nullptr };
  ChildProcess child;
  try {
    ArgumentList argv(run.path, run.arguments);
    ChildPlan plan;
    plan.path = run.path.c_str();
    plan.argv = argv.data();
    plan.envp = emptyEnvironment;
    plan.stdinFd = inputRead.get();
    plan.stdoutFd = outputWrite.get();
    plan.ownProcessGroup = deadline.has_value();
    plan.execFailurePrefix = "DAEMON: plugin is not executable ";
    child = spawnChild(plan);
  } catch (const std::system_error& error) {
    return failedAt("Error create fork", error.code().value());
  }
  // Only the child may keep these, or end of file would never come.
  inputRead.reset();
  outputWrite.reset();

  std::string text;
  int error = 0;
  if (run.input) {
    SigpipeShield shield;
    error = pumpPlugin(output.get(), inputWrite, *run.input, text, deadline);
  } else {
    error = pumpPlugin(output.get(), inputWrite, std::string(), text, deadline);
  }
  if (error == ETIMEDOUT)
    return timedOut(child, std::move(text));
  if (error != 0)
    return failedAt("Error read buffer:", error);

  int status = 0;
  try {
    if (!waitForPlugin(child, status, deadline))
      return timedOut(child, std::move(text));
  } catch (const std::system_error& failure) {
    return failedAt("Error execute", failure.code().value());
  }
  RunResult result;
  result.output = std::move(text);
  if (WIFEXITED(status)) {
    result.ending = RunResult::Ending::exited;
    result.exitStatus = WEXITSTATUS(status);
  } else {
    // Killed, or stopped (the owner then kills it): it did not end on its own.
    result.ending = RunResult::Ending::signaled;
    result.exitStatus = WIFSIGNALED(status) ? WTERMSIG(status) : WIFSTOPPED(status) ? WSTOPSIG(status) : 0;
  }
  return result;
}
