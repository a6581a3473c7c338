#include "execution/plugin_runner.h"

#include "core/log.h"
#include "execution/child_process.h"
#include "execution/unique_fd.h"

#include <poll.h>
#include <sys/wait.h>

#include <utf8.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <iterator>
#include <mutex>
#include <optional>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

std::atomic<int> timeoutSeconds { 0 };
constexpr std::chrono::milliseconds terminationGrace { 1000 };

// How the failure texts of a runner name the run: the notification runner
// names the plugin only, the polled runner also the service.
struct RunTexts {
  const std::string* serviceName;
  const std::string& path;
  const std::string& parameter;
  int timeout;

  std::string header(const std::string& cause) const
  {
    std::string text = cause;
    if (serviceName)
      text += " " + *serviceName;
    return text + "\npath:" + path + " " + parameter;
  }
  std::string badReturnCode() const
  {
    std::string text = "Error execute: Bad return code\n";
    if (serviceName)
      text += *serviceName + "\n";
    return text + "path:" + path + " " + parameter + " ";
  }
  std::string timedOut() const
  {
    return header("Error plugin timeout (" + std::to_string(timeout) + " s)");
  }
};

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

struct CollectedRun {
  ChildProcess child;
  UniqueFd output;
  std::string text;
};

[[noreturn]] void failTimedOut(ChildProcess& child, const RunTexts& texts)
{
  child.terminate(terminationGrace);
  throw serviceException(texts.timedOut());
}

// The unlocked phase: pipes, process, input fed and output read to its end.
CollectedRun startAndCollect(const std::vector<std::string>& tokens, const std::string* input, const RunTexts& texts, const Deadline& deadline)
{
  CollectedRun run;
  UniqueFd outputWrite, inputRead, inputWrite;
  if (int error = makePipe(run.output, outputWrite))
    throw serviceException(texts.header("Error open pipe") + systemErrorText(error));
  if (input) {
    if (int error = makePipe(inputRead, inputWrite))
      throw serviceException(texts.header("Error open pipe") + systemErrorText(error));
  }

  static char* const emptyEnvironment[] = { nullptr };
  {
    ArgumentList argv(texts.path, tokens);
    ChildPlan plan;
    plan.path = texts.path.c_str();
    plan.argv = argv.data();
    plan.envp = emptyEnvironment;
    plan.stdinFd = inputRead.get();
    plan.stdoutFd = outputWrite.get();
    plan.ownProcessGroup = deadline.has_value();
    plan.execFailurePrefix = "DAEMON: plugin is not executable ";
    int error = 0;
    run.child = spawnChild(plan, error);
    if (!run.child.running())
      throw serviceException(texts.header("Error create fork") + systemErrorText(error));
  }
  // Only the child may keep these, or end of file would never come.
  inputRead.reset();
  outputWrite.reset();

  int error = 0;
  if (input) {
    SigpipeShield shield;
    error = pumpPlugin(run.output.get(), inputWrite, *input, run.text, deadline);
  } else {
    error = pumpPlugin(run.output.get(), inputWrite, std::string(), run.text, deadline);
  }
  if (error == ETIMEDOUT)
    failTimedOut(run.child, texts);
  if (error != 0) {
    run.output.reset();
    throw serviceException(texts.header("Error read buffer:") + systemErrorText(error));
  }
  return run;
}

// waitpid with the runner's options; with a deadline, polled until it.
int waitForPlugin(CollectedRun& run, int& status, const Deadline& deadline, const RunTexts& texts)
{
  const int options = WUNTRACED | WCONTINUED;
  if (!deadline)
    return run.child.wait(options, status);
  long pauseNs = 100000;
  for (;;) {
    int got = run.child.wait(options | WNOHANG, status);
    if (got != 0)
      return got;
    if (expired(deadline))
      failTimedOut(run.child, texts);
    struct timespec pause {
      0, pauseNs
    };
    ::nanosleep(&pause, nullptr);
    pauseNs = std::min(pauseNs * 2, 10000000L);
  }
}

std::string validUtf8(const std::string& text)
{
  std::string clean;
  clean.reserve(text.size());
  utf8::replace_invalid(text.begin(), text.end(), std::back_inserter(clean), 0x20);
  return clean;
}

// The final phase: reaps the plugin and turns its status and output into the
// service's state. The caller holds the service's lock when there is one.
int finishRun(service& target, CollectedRun& run, const RunTexts& texts, const Deadline& deadline)
{
  // Everything stored must be valid UTF-8, or the database refuses the
  // update; the bad-return-code text included.
  std::string clean = validUtf8(run.text);
  target.last_stdout = clean;

  int status = 0;
  int waited = waitForPlugin(run, status, deadline, texts);
  run.output.reset();
  if (waited < 0)
    throw serviceException(texts.header("Error execute") + systemErrorText(-waited));

  if (!WIFEXITED(status)) {
    target.last_stdout = "Error: quelm can't execute " + texts.path;
    target.return_code = 3;
    throw serviceException(texts.header("Error: quelm can't execute") + run.text);
  }

  int exitStatus = WEXITSTATUS(status);
  int state = 3;
  if (exitStatus <= 5) {
    state = exitStatus;
    target.last_stdout = clean;
  } else if (exitStatus == 255) {
    target.last_stdout = "UNKNOWN: QuelmDaemon could not connect to host";
  } else {
    target.last_stdout = texts.badReturnCode() + clean;
  }
  target.return_code = state;

  if (clean.empty() || clean == "''") {
    target.return_code = 3;
    throw serviceException("DAEMON: the plugin does not return anything on the stdout");
  }
  return state;
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

void setPluginTimeout(int seconds)
{
  timeoutSeconds = seconds > 0 ? seconds : 0;
}

int pluginTimeout()
{
  return timeoutSeconds;
}

int serviceSyslog::execute(std::string syslog_message)
{
  int timeout = pluginTimeout();
  RunTexts texts { nullptr, plugin_path, parameter, timeout };
  Deadline deadline = runDeadline(timeout);
  syslog_message.push_back('\n');
  CollectedRun run = startAndCollect(tokenizeParameter(parameter), &syslog_message, texts, deadline);

  write_raw("LOCK");
  std::unique_lock<std::mutex> lock(return_code_lock);
  int state = 0;
  try {
    state = finishRun(*this, run, texts, deadline);
  } catch (const serviceException& failure) {
    write_raw("Exception service unlock");
    lock.unlock();
    throw serviceException(failure.what());
  }
  write_raw("UNLOCK");
  lock.unlock();
  return state;
}

int service::execute()
{
  last_stdout.clear();
  int timeout = pluginTimeout();
  RunTexts texts { &service_name, plugin_path, parameter, timeout };
  Deadline deadline = runDeadline(timeout);
  CollectedRun run = startAndCollect(arguments, nullptr, texts, deadline);
  return finishRun(*this, run, texts, deadline);
}
