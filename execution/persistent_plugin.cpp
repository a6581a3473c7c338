#include "execution/persistent_plugin.h"

#include "core/log.h"
#include "core/metrics.h"
#include "core/text.h"
#include "execution/child_watch.h"
#include "execution/run_cancel.h"
#include "execution/sigpipe_shield.h"

#include <json/value.h>
#include <json/writer.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

// A JSON string, on one line, of text that is valid UTF-8 or made so.
std::string quoted(const std::string& text)
{
  static const Json::StreamWriterBuilder builder = [] {
    Json::StreamWriterBuilder made;
    made["indentation"] = "";
    made["emitUTF8"] = true;
    return made;
  }();
  return Json::writeString(builder, Json::Value(validUtf8(text)));
}

std::string requestLine(std::uint64_t seq, const PluginRun& run)
{
  std::string line = "{\"seq\":" + std::to_string(seq) + ",\"args\":[";
  for (std::size_t i = 0; i < run.arguments.size(); ++i)
    line += (i ? "," : "") + quoted(run.arguments[i]);
  std::string input = run.input.value_or("");
  if (!input.empty() && input.back() == '\n')
    input.pop_back();
  return line + "],\"input\":" + quoted(input) + "}\n";
}

// The start of a line that is not a reply, fit for a log line.
std::string excerpt(const std::string& line)
{
  std::string shown = validUtf8(line.substr(0, 80));
  return line.size() > 80 ? shown + "..." : shown;
}

// How a process that closed its output ended, if it does within a tenth of
// a second.
std::string endingOf(ChildProcess& child)
{
  int status = 0;
  try {
    int tries = 0;
    while (!child.wait(WNOHANG, status)) {
      if (++tries == 20)
        return "";
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  } catch (const std::system_error&) {
    return "";
  }
  if (WIFEXITED(status))
    return " (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
  if (WIFSIGNALED(status))
    return " (signal " + std::to_string(WTERMSIG(status)) + ")";
  return "";
}

} // namespace

PersistentProcess::PersistentProcess(const std::string& path)
{
  UniqueFd inputRead, outputWrite;
  makePipe(inputRead, input_);
  makePipe(output_, outputWrite);
  static char protocol[] = "QUELM_PLUGIN_PROTOCOL=1";
  static char* const environment[] = { protocol, nullptr };
  child_ = spawnPlugin(path, {}, environment, inputRead.get(), outputWrite.get());
  pidfd_ = openPidfd(child_.pid());
  if (!setNonBlocking(input_.get()) || !setNonBlocking(output_.get()))
    throw std::system_error(errno, std::generic_category(), "fcntl");
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  reader_.reset(builder.newCharReader());
}

PersistentProcess::~PersistentProcess() { stop(Clock::now()); }

RunResult PersistentProcess::fail(RunResult::Ending ending, std::string why, bool protocol)
{
  broken_ = true;
  protocolError_ = protocol;
  failure_ = std::move(why);
  RunResult result;
  result.ending = ending;
  if (ending == RunResult::Ending::failed) {
    result.failedStep = RunStep::reply;
    result.detail = " " + failure_;
  }
  return result;
}

bool PersistentProcess::ended() const { return child_.hasExited(); }

bool PersistentProcess::drain()
{
  char buffer[65536];
  while (pending_.size() <= replyLineLimit) {
    ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
    if (got > 0)
      pending_.append(buffer, static_cast<std::size_t>(got));
    else if (got == 0 || errno != EINTR)
      return got != 0;
  }
  return true;
}

bool PersistentProcess::transfer(const std::string& request, std::size_t& sent, ChildWatch& watch)
{
  std::vector<pollfd> watched { { output_.get(), POLLIN, 0 } };
  if (sent < request.size() && input_.valid())
    watched.push_back({ input_.get(), POLLOUT, 0 });
  const std::size_t own = watched.size();
  watch.addTo(watched);
  if (::poll(watched.data(), watched.size(), watch.pollTimeout()) <= 0)
    return true;
  for (std::size_t i = 0; i < own; ++i) {
    if (watched[i].revents == 0)
      continue;
    if (watched[i].fd == output_.get()) {
      char buffer[65536];
      ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
      if (got > 0)
        pending_.append(buffer, static_cast<std::size_t>(got));
      else if (got == 0 || (errno != EINTR && errno != EAGAIN))
        return false;
    } else {
      writeSome(request, sent);
    }
  }
  watch.update(watched);
  return true;
}

void PersistentProcess::writeSome(const std::string& request, std::size_t& sent)
{
  if (sent >= request.size() || !input_.valid())
    return;
  ssize_t wrote = ::write(input_.get(), request.data() + sent, request.size() - sent);
  if (wrote > 0)
    sent += static_cast<std::size_t>(wrote);
  else if (errno != EINTR && errno != EAGAIN)
    // It ended or closed its input: what it still writes is read, then its
    // end is seen.
    input_.reset();
}

RunResult PersistentProcess::exchange(const PluginRun& run)
{
  if (!pending_.empty())
    return fail(
        RunResult::Ending::failed, "wrote " + std::to_string(pending_.size()) + " bytes after its last reply", true);
  const std::uint64_t seq = ++seq_;
  if (traceEnabled())
    trace("persistent plugin " + run.path + " request " + std::to_string(seq));
  const std::string request = requestLine(seq, run);
  std::size_t sent = 0;
  std::size_t scanned = 0;
  bool open = true;
  SigpipeShield shield;
  ChildWatch watch(child_, run.timeoutSeconds, run.cancel, pidfd_.get());
  // The request usually fits the pipe: written at once, the first poll
  // already waits for the reply.
  writeSome(request, sent);
  std::size_t newline = std::string::npos;
  while ((newline = pending_.find('\n', scanned)) == std::string::npos) {
    scanned = pending_.size();
    if (pending_.size() > replyLineLimit)
      return lineTooLong();
    RunResult::Ending limit = watch.limitPassed();
    if (limit == RunResult::Ending::timedOut)
      return fail(limit, "no reply within " + std::to_string(run.timeoutSeconds) + " s");
    if (limit == RunResult::Ending::cancelled)
      return fail(limit, "stopped: the Receiver is stopping");
    if (open && watch.exited()) {
      // What it wrote before it ended is still taken.
      open = drain();
      if (pending_.find('\n', scanned) != std::string::npos)
        continue;
    }
    if (!open || watch.exited())
      return fail(RunResult::Ending::failed, "ended without a reply" + endingOf(child_));
    open = transfer(request, sent, watch);
  }

  // A reply is a line within the limit, to a request written whole.
  if (newline > replyLineLimit)
    return lineTooLong();
  if (sent < request.size())
    return fail(RunResult::Ending::failed, "answered before its request was written whole", true);
  return readReply(newline, seq);
}

RunResult PersistentProcess::lineTooLong()
{
  return fail(RunResult::Ending::failed, "reply line longer than " + std::to_string(replyLineLimit) + " bytes", true);
}

RunResult PersistentProcess::readReply(std::size_t newline, std::uint64_t seq)
{
  std::string line = pending_.substr(0, newline);
  pending_.erase(0, newline + 1);
  Json::Value reply;
  std::string errors;
  if (!reader_->parse(line.data(), line.data() + line.size(), &reply, &errors) || !reply.isObject()
      || !reply["seq"].isUInt64() || !reply["status"].isInt() || !reply["output"].isString()
      || reply["status"].asInt() < 0 || reply["status"].asInt() > 255)
    return fail(RunResult::Ending::failed, "not a reply: " + excerpt(line), true);
  if (reply["seq"].asUInt64() != seq)
    return fail(RunResult::Ending::failed,
        "answered seq " + std::to_string(reply["seq"].asUInt64()) + " to request " + std::to_string(seq), true);
  RunResult result;
  result.ending = RunResult::Ending::exited;
  result.exitStatus = reply["status"].asInt();
  result.output = reply["output"].asString();
  if (result.output.size() > outputLimit) {
    result.output.resize(outputLimit);
    result.outputCut = true;
  }
  return result;
}

void PersistentProcess::stop(Clock::time_point until) { stopTogether({ this }, until); }

void PersistentProcess::stopTogether(const std::vector<PersistentProcess*>& processes, Clock::time_point until)
{
  std::vector<ChildProcess*> children;
  for (PersistentProcess* process : processes) {
    process->input_.reset();
    children.push_back(&process->child_);
  }
  while (Clock::now() < until
      && std::any_of(processes.begin(), processes.end(), [](const PersistentProcess* each) { return !each->ended(); }))
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // Their groups go too, whatever they left running; one grace for all.
  ChildProcess::terminateAll(children, terminationGrace);
}

PersistentPlugins::PersistentPlugins(const std::set<std::string>& paths, int perProgram, Metrics* metrics)
    : perProgram_(std::max(perProgram, 1))
    , metrics_(metrics)
{
  for (const std::string& path : paths)
    programs_.emplace(path, std::make_unique<Program>());
}

PersistentPlugins::~PersistentPlugins() { stopAll(); }

int PersistentPlugins::liveProcesses() const
{
  int live = 0;
  for (const auto& entry : programs_)
    live += entry.second->pool.lock()->live;
  return live;
}

Clock::time_point PersistentPlugins::bookStart(Pool& pool, bool& restart)
{
  restart = pool.owed > 0;
  if (!restart)
    return Clock::now();
  // A program whose processes keep failing is started again at most once a
  // second: the start is booked under the lock and waited for outside it.
  --pool.owed;
  const Clock::time_point at = std::max(pool.restarts.now(), pool.restarts.earliest());
  pool.restarts.attempted(at);
  return at;
}

void PersistentPlugins::report(const std::string& path, Program& program, const std::string& why)
{
  std::string line;
  {
    auto pool = program.pool.lock();
    ++pool->unreported;
    const auto now = Clock::now();
    if (now - pool->lastReport < std::chrono::seconds(1))
      return;
    line = "persistent plugin " + path + ": " + why + "; a fresh process serves the next request";
    if (pool->unreported > 1)
      line += " (" + std::to_string(pool->unreported) + " failures since the last line)";
    pool->unreported = 0;
    pool->lastReport = now;
  }
  writeLog("ERR", line);
}

PersistentPlugins::Booking::Booking(PersistentPlugins& plugins, const PluginRun& run, Program& program)
    : plugins_(plugins)
    , path_(run.path)
    , program_(program)
{
  auto pool = program.pool.lock();
  while (pool->idle.empty() && pool->live >= plugins.perProgram_) {
    if (run.cancel && run.cancel->raised())
      return;
    pool.waitFor(program.freed, std::chrono::milliseconds(100),
        [&plugins](const Pool& p) { return !p.idle.empty() || p.live < plugins.perProgram_; });
  }
  if (!pool->idle.empty()) {
    process_ = std::move(pool->idle.back());
    pool->idle.pop_back();
  } else {
    ++pool->live;
  }
  held_ = true;
}

PersistentPlugins::Booking::~Booking()
{
  if (!held_)
    return;
  if (process_ && !process_->broken()) {
    program_.pool.lock()->idle.push_back(std::move(process_));
    program_.freed.notify_one();
    return;
  }
  if (process_) {
    try {
      stopFailed();
    } catch (...) {
      // The place is given up even when its log line could not be written.
      process_.reset();
    }
  }
  {
    auto pool = program_.pool.lock();
    --pool->live;
    ++pool->owed;
  }
  program_.freed.notify_one();
}

void PersistentPlugins::Booking::stopFailed()
{
  if (process_->protocolError())
    count(plugins_.metrics_, &Metrics::persistentProtocolErrors);
  plugins_.report(path_, program_, process_->failure().empty() ? "ended while idle" : process_->failure());
  // Stopped before its place is given up, so that a program never has more
  // than perProgram processes.
  process_->stop(Clock::now());
  process_.reset();
}

void PersistentPlugins::Booking::replaceEnded()
{
  stopFailed();
  ++program_.pool.lock()->owed;
}

bool PersistentPlugins::Booking::start(const PluginRun& run, RunResult& failure)
{
  bool restart = false;
  Clock::time_point startAt = bookStart(*program_.pool.lock(), restart);
  while (Clock::now() < startAt) {
    if (run.cancel && run.cancel->raised()) {
      failure.ending = RunResult::Ending::cancelled;
      return false;
    }
    std::this_thread::sleep_for(std::min<Clock::duration>(startAt - Clock::now(), std::chrono::milliseconds(50)));
  }
  try {
    process_ = std::make_unique<PersistentProcess>(run.path);
    if (restart)
      count(plugins_.metrics_, &Metrics::persistentRestarts);
    return true;
  } catch (const std::system_error& error) {
    plugins_.report(run.path, program_, std::string("cannot be started: ") + error.what());
    failure.failedStep = RunStep::createFork;
    failure.error = error.code();
    return false;
  }
}

RunResult PersistentPlugins::run(const PluginRun& run)
{
  Booking booking(*this, run, *programs_.at(run.path));
  if (!booking.held()) {
    RunResult cancelled;
    cancelled.ending = RunResult::Ending::cancelled;
    return cancelled;
  }
  // One that ended while idle is replaced before it fails a request.
  if (booking.process() && booking.process()->ended())
    booking.replaceEnded();
  RunResult failure;
  if (!booking.process() && !booking.start(run, failure))
    return failure;
  return booking.process()->exchange(run);
}

void PersistentPlugins::stopAll()
{
  std::vector<std::unique_ptr<PersistentProcess>> stopping;
  for (auto& entry : programs_) {
    auto pool = entry.second->pool.lock();
    pool->live -= static_cast<int>(pool->idle.size());
    for (auto& process : pool->idle)
      stopping.push_back(std::move(process));
    pool->idle.clear();
  }
  // Every process sees the end of its input at once, then they share one
  // grace, then the signals come to all at once with one grace more.
  std::vector<PersistentProcess*> processes;
  processes.reserve(stopping.size());
  for (auto& process : stopping)
    processes.push_back(process.get());
  PersistentProcess::stopTogether(processes, Clock::now() + stopGrace);
}
