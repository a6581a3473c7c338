#include "processing/workers.h"

#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "execution/persistent_plugin.h"
#include "execution/plugin_runner.h"
#include "processing/database_wait.h"
#include "processing/service_transition.h"
#include "processing/state_policy.h"
#include "processing/state_records.h"
#include "services/service_registry.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <thread>

namespace {

const int runAttempts = 3;

} // namespace

Workers::Workers(ProcessingContext& context, NotificationQueue& queue)
    : context_(context)
    , queue_(queue)
{
}

Workers::~Workers() { join(); }

void Workers::start(int count)
{
  // The count is raised before each thread exists, so a worker that ends at
  // once reports how many are left correctly.
  for (int i = 0; i < count; ++i) {
    {
      std::lock_guard<std::mutex> guard(runningLock_);
      ++running_;
    }
    try {
      threads_.emplace_back([this] { run(); });
    } catch (...) {
      std::lock_guard<std::mutex> guard(runningLock_);
      --running_;
      throw;
    }
  }
}

void Workers::join()
{
  for (std::thread& thread : threads_) {
    if (thread.joinable())
      thread.join();
  }
  threads_.clear();
}

int Workers::running()
{
  std::lock_guard<std::mutex> guard(runningLock_);
  return running_;
}

// Runs the plugin up to three times, one second apart after each failure.
// After the last failure the result is UNKNOWN with a fixed output, so that
// the row, the memory and the UNKNOWN occurrence agree. None when the daemon
// stops meanwhile: a run it stopped, or the wait before another, gives up.
std::optional<ServiceState> Workers::runWithRetries(SyslogService& svc, const std::string& message, std::string& output)
{
  PluginRun run { svc.pluginPath, svc.arguments, message + "\n", context_.pluginTimeoutSeconds, context_.cancel };
  RunTexts texts { svc.pluginPath, svc.parameter, context_.pluginTimeoutSeconds, nullptr };
  Metrics* metrics = context_.metrics;
  PersistentPlugins* persistent
      = context_.persistent && context_.persistent->serves(svc.pluginPath) ? context_.persistent : nullptr;
  for (int attempt = 1;; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    RunResult result = persistent ? persistent->run(run) : runPlugin(run);
    if (result.ending == RunResult::Ending::cancelled)
      return std::nullopt;
    if (metrics != nullptr)
      metrics->observePluginRun(std::chrono::steady_clock::now() - started);
    if (result.reachedEnd())
      writeRaw("LOCK");
    Verdict verdict = judgeRun(result, texts);
    if (metrics != nullptr) {
      if (!verdict.failed)
        metrics->pluginRun(stateNumber(verdict.state)).Increment();
      else
        metrics->pluginFailures->Increment();
      if (result.ending == RunResult::Ending::timedOut)
        metrics->pluginTimeouts->Increment();
    }
    if (!verdict.failed) {
      writeRaw("UNLOCK");
      output = std::move(verdict.output);
      return verdict.state;
    }
    if (result.reachedEnd())
      writeRaw("Exception service unlock");
    writeLog("ERR",
        "Excute failed retry" + svc.serviceName + " " + std::to_string(static_cast<std::uint64_t>(svc.serviceId)) + " "
            + verdict.failure);
    for (int tenth = 0; tenth < 10; ++tenth) {
      if (context_.stopRequested)
        return std::nullopt;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (attempt == runAttempts) {
      output = noOutputText;
      return ServiceState::unknown;
    }
  }
}

Outcome Workers::handle(
    const Notification& item, std::int32_t threadNumber, const std::function<void(Outcome)>& answer)
{
  const std::string number = std::to_string(threadNumber);
  if (!context_.registry.find(item.host))
    return Outcome::ignored;
  std::shared_ptr<SyslogService> svc = context_.registry.getService(item.host);
  if (!svc)
    return Outcome::ignored;
  trace(number + "# prise du reussi");
  trace("service from host find:" + svc->pluginPath);

  const std::string what = svc->serviceIdText + " " + svc->serviceName + " ";
  const std::string stopping = number + "#notification from " + logSafe(item.host);
  DatabaseWait wait([this] { return context_.stopRequested.load(); });
  std::optional<ServiceTransition> transition;
  try {
    transition.emplace(context_, svc, wait);
  } catch (const DatabaseUnavailable& error) {
    writeLog("ERR", stopping + " not handled, the Receiver is stopping: " + what + error.what());
    return Outcome::shutdown;
  } catch (const DatabaseError& error) {
    writeLog("ERR", number + "#" + what + "previous state: " + error.what());
    return Outcome::rejected;
  }
  // No plugin starts once the stop has begun: its grace is already running.
  if (context_.stopRequested) {
    writeLog("ERR", stopping + " not handled, the Receiver is stopping: " + what + "plugin not started");
    return Outcome::shutdown;
  }
  std::string output;
  std::optional<ServiceState> result = runWithRetries(*svc, item.message, output);
  if (!result) {
    writeLog("ERR", stopping + " not handled, the Receiver is stopping: " + what + "plugin stopped");
    return Outcome::shutdown;
  }
  const std::string newState = std::to_string(stateNumber(*result));
  trace("exec return: " + newState + "=" + std::to_string(stateNumber(transition->previousState())));
  trace("exec stdout: " + output);

  // The result in hand is kept while the database is away: the record is
  // written once it is back, and only a stop gives it up.
  try {
    return transition->record(*result, output, number, tokenFor(item.id), answer);
  } catch (const DatabaseUnavailable& error) {
    writeLog(
        "ERR", stopping + " not stored, the Receiver is stopping: " + what + "state " + newState + ": " + error.what());
    return Outcome::shutdown;
  } catch (const DatabaseError& error) {
    writeLog("ERR", number + "#Update service state failed: " + what + error.what());
    return Outcome::rejected;
  }
}

void Workers::run()
{
  // Workers take SIGTERM like any thread; its handler only wakes the stop
  // thread.
  sigset_t empty;
  sigemptyset(&empty);
  pthread_sigmask(SIG_SETMASK, &empty, nullptr);
  const unsigned long threadId = static_cast<unsigned long>(pthread_self());
  const auto number = static_cast<std::int32_t>(threadId);
  const std::string prefix = std::to_string(number);

  // The host of a notification taken is the worker's until it is done: its
  // next notification waits, and the other hosts' go to the other workers.
  for (;;) {
    std::optional<Notification> taken = queue_.take(context_.stopRequested);
    trace(prefix + "# Réveille ");
    if (!taken)
      break;
    trace(prefix + "# prise du service");
    Notification& item = *taken;
    handled_.fetch_add(1, std::memory_order_relaxed);
    // Every notification taken gets exactly one answer, whatever fails, as
    // soon as it is known; the copies that joined it get the same once the
    // worker is done with it.
    std::optional<Outcome> answered;
    auto answer = [&](Outcome outcome) {
      if (answered)
        return;
      answered = outcome;
      item.answer(outcome);
      countAnswered(context_.metrics, item, outcome);
      if (outcome == Outcome::stored && context_.metrics != nullptr)
        context_.metrics->observeStored(std::chrono::steady_clock::now() - item.received);
    };
    Outcome outcome = Outcome::rejected;
    try {
      outcome = handle(item, number, answer);
    } catch (const std::exception& error) {
      writeLog("ERR", prefix + "#notification handling failed: " + error.what());
    }
    answer(outcome);
    queue_.finish(item, *answered);
    countCopies(context_.metrics, item, *answered);
  }
  std::lock_guard<std::mutex> guard(runningLock_);
  --running_;
  writeRaw(
      "\tfin thread: " + std::to_string(number) + " nbr:" + std::to_string(running_) + " " + std::to_string(threadId));
}

void answerUnhandled(const std::deque<Notification>& left, Metrics* metrics)
{
  for (const Notification& item : left) {
    writeLog("ERR", "notification from " + logSafe(item.host) + " not handled, the Receiver is stopping");
    countAnswered(metrics, item, Outcome::shutdown);
    item.answer(Outcome::shutdown);
  }
}
