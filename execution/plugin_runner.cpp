#include "execution/plugin_runner.h"

#include "core/daemon_signals.h"
#include "execution/child_process.h"
#include "execution/child_watch.h"
#include "execution/sigpipe_shield.h"
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

// Reads the chunks available now, a bounded number so that a plugin that
// writes without pause still lets the caller feed it and watch the clock.
// Keeps at most outputLimit bytes and throws the rest away. Returns 0, or
// the errno of a failed read; sets eof at end of file.
int drainOutput(int fd, RunResult& result, bool& eof)
{
  char buffer[16384];
  for (int chunk = 0; chunk < 64; ++chunk) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got > 0) {
      std::size_t room = outputLimit - result.output.size();
      std::size_t kept = std::min(room, static_cast<std::size_t>(got));
      result.output.append(buffer, kept);
      result.outputCut = result.outputCut || kept < static_cast<std::size_t>(got);
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
    // A write of at least one byte never answers 0, so anything else is an
    // error.
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
      return;
    input.reset();
    return;
  }
  input.reset();
}

RunResult failedAt(RunStep step, int error)
{
  RunResult result;
  result.ending = RunResult::Ending::failed;
  result.failedStep = step;
  result.error = std::error_code(error, std::generic_category());
  return result;
}

// Feeds the input and reads the output at the same time, so that neither a
// plugin that never reads nor one that writes much can block the other side,
// until the output ends and the input is delivered (or refused); or, once
// the plugin itself has exited, until outputGrace has passed: a background
// child that keeps the output open does not hold the run. Returns the
// ending (exited when nothing stopped it) and fills the output.
RunResult::Ending pump(ChildWatch& watch, int output, UniqueFd& input, const std::string& data, RunResult& result)
{
  if (!setNonBlocking(output)) {
    result = failedAt(RunStep::readOutput, errno);
    return RunResult::Ending::failed;
  }
  if (input.valid() && !setNonBlocking(input.get()))
    input.reset();
  std::size_t sent = 0;
  bool eof = false;
  std::optional<Clock::time_point> graceEnd;
  while (!eof || input.valid()) {
    RunResult::Ending limit = watch.limitPassed();
    if (limit != RunResult::Ending::exited)
      return limit;
    if (watch.exited()) {
      // Whoever else holds the input does not read it for the plugin.
      input.reset();
      if (!graceEnd)
        graceEnd = Clock::now() + outputGrace;
      if (eof || Clock::now() >= *graceEnd)
        break;
    }
    std::vector<pollfd> watched;
    if (!eof)
      watched.push_back({ output, POLLIN, 0 });
    if (input.valid())
      watched.push_back({ input.get(), POLLOUT, 0 });
    std::size_t own = watched.size();
    watch.addTo(watched);
    int ready = ::poll(watched.data(), watched.size(), watch.pollTimeout(graceEnd));
    if (ready < 0) {
      if (errno == EINTR)
        continue;
      result = failedAt(RunStep::readOutput, errno);
      return RunResult::Ending::failed;
    }
    for (std::size_t i = 0; i < own; ++i) {
      if (watched[i].revents == 0)
        continue;
      if (watched[i].fd == output) {
        if (int error = drainOutput(output, result, eof)) {
          result = failedAt(RunStep::readOutput, error);
          return RunResult::Ending::failed;
        }
      } else {
        feedInput(input, data, sent);
      }
    }
    watch.update(watched);
  }
  return RunResult::Ending::exited;
}

} // namespace

bool ignoreSigpipe()
{
  const bool ignored = setDaemonSignal(SIGPIPE, SIG_IGN);
  if (ignored)
    sigpipeIgnored() = true;
  return ignored;
}

ChildProcess spawnPlugin(const std::string& path, const std::vector<std::string>& arguments, char* const* environment,
    int stdinFd, int stdoutFd)
{
  ArgumentList argv(path, arguments);
  ChildPlan plan;
  plan.path = path.c_str();
  plan.argv = argv.data();
  plan.envp = environment;
  plan.stdinFd = stdinFd;
  plan.stdoutFd = stdoutFd;
  plan.execFailurePrefix = "DAEMON: plugin is not executable ";
  return spawnChild(plan);
}

RunResult runPlugin(const PluginRun& run)
{
  UniqueFd output, outputWrite, inputRead, inputWrite;
  try {
    makePipe(output, outputWrite);
    if (run.input)
      makePipe(inputRead, inputWrite);
  } catch (const std::system_error& error) {
    return failedAt(RunStep::openPipe, error.code().value());
  }

  static char* const emptyEnvironment[] = { nullptr };
  ChildProcess child;
  try {
    child = spawnPlugin(run.path, run.arguments, emptyEnvironment, inputRead.get(), outputWrite.get());
  } catch (const std::system_error& error) {
    return failedAt(RunStep::createFork, error.code().value());
  }
  // Only the child may keep these, or end of file would never come.
  inputRead.reset();
  outputWrite.reset();

  ChildWatch watch(child, run.timeoutSeconds, run.cancel);
  RunResult result;
  RunResult::Ending ending = RunResult::Ending::exited;
  if (run.input) {
    SigpipeShield shield;
    ending = pump(watch, output.get(), inputWrite, *run.input, result);
  } else {
    ending = pump(watch, output.get(), inputWrite, std::string(), result);
  }
  output.reset();
  if (ending == RunResult::Ending::failed)
    return result;
  if (ending != RunResult::Ending::exited) {
    child.terminate(terminationGrace);
    result.ending = ending;
    return result;
  }

  int status = 0;
  result.ending = awaitChild(child, watch, status, result.error);
  // A background child that outlived the plugin is no part of the run.
  child.stopLeftovers(terminationGrace);
  if (result.ending == RunResult::Ending::failed)
    result.failedStep = RunStep::execute;
  else if (result.ending == RunResult::Ending::exited)
    result.exitStatus = WEXITSTATUS(status);
  else if (result.ending == RunResult::Ending::signaled)
    // Killed, or stopped (the owner then kills it): it did not end on its own.
    result.exitStatus = WIFSIGNALED(status) ? WTERMSIG(status) : WIFSTOPPED(status) ? WSTOPSIG(status) : 0;
  return result;
}
