#include "processing/workers.h"

#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "execution/plugin_runner.h"
#include "processing/alerts.h"
#include "processing/cluster_locks.h"
#include "processing/database_wait.h"
#include "processing/service_locks.h"
#include "processing/state_policy.h"
#include "processing/state_records.h"
#include "services/service_registry.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>

namespace {

const int runAttempts = 3;

// Counts a worker's outcome; a stored one also gives its time since receipt.
void countOutcome(Metrics* metrics, Outcome outcome, std::chrono::steady_clock::time_point received)
{
  if (metrics == nullptr)
    return;
  switch (outcome) {
  case Outcome::stored:
    metrics->stored->Increment();
    metrics->observeStored(std::chrono::steady_clock::now() - received);
    break;
  case Outcome::ignored:
    metrics->ignored->Increment();
    break;
  case Outcome::rejected:
    metrics->rejected->Increment();
    break;
  default:
    metrics->shutdown->Increment();
    break;
  }
}

// Starts the alerting program for the service's open occurrence. Without an
// occurrence there is no id to give it: the alert is logged, not started.
void alertFor(const SyslogService& svc, const ProcessingContext& context, DatabaseWait& wait, const std::string& who)
{
  std::optional<std::uint64_t> id = wait.run([&] { return openOccurrenceId(svc, context.pool); });
  if (!id) {
    writeLog("ERR", who + "no open occurrence of service " + svc.serviceIdText + ": alerting program not started");
    return;
  }
  trace(who + "SEND ALERT ");
  startAlert(svc, *id, context);
}

// The occurrences and alert of a stored state change; false when the server
// refused one of its statements. Each statement waits out a lost connection
// and runs once: an occurrence whose insert may have been committed just
// before the connection went is looked for before it is inserted again.
// relock is asked before each statement whether the service's lock had to be
// taken again; if so, another Receiver may have recorded a change meanwhile,
// and whatever is open is closed before this change's occurrence opens.
bool actOnStateChange(const SyslogService& svc, int newState, int previousState, const std::function<bool()>& relock,
    const std::string& output, const ProcessingContext& context, DatabaseWait& wait, const std::string& number)
{
  PgPool& pool = context.pool;
  const std::string who = number + "#" + svc.serviceName + " ";
  bool anyOpen = relock();
  auto close = [&] {
    anyOpen |= relock();
    return closeOccurrences(svc, anyOpen ? -1 : previousState, pool);
  };
  bool clean = true;
  if (newState == 1 || newState == 2 || newState == 3) {
    trace(who + svc.parameter + "acquitte l'ancienne erreur ");
    clean &= wait.run(close);
    trace(who + svc.parameter + "insère l'erreur ");
    const std::string errorId = errorIdOf(context.errorIds, newState);
    bool retry = false;
    clean &= wait.run([&] {
      if (relock())
        closeOccurrences(svc, -1, pool);
      else if (retry && hasOpenOccurrence(svc, errorId, pool))
        return true;
      retry = true;
      return openOccurrence(svc, errorId, output, pool);
    });
    if (responseFlagOf(svc, newState))
      alertFor(svc, context, wait, who);
  } else if (newState == 0 && svc.responseOk) {
    if (responseFlagOf(svc, previousState))
      alertFor(svc, context, wait, who);
    trace(who + "acquitte l'erreur");
    clean &= wait.run(close);
    trace(who + "acquitte l'erreur==>OK ");
  }
  return clean;
}

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
std::optional<int> Workers::runWithRetries(SyslogService& svc, const std::string& message, std::string& output)
{
  PluginRun run { svc.pluginPath, svc.arguments, message + "\n", context_.pluginTimeoutSeconds, context_.cancel };
  RunTexts texts { svc.pluginPath, svc.parameter, context_.pluginTimeoutSeconds, nullptr };
  Metrics* metrics = context_.metrics;
  for (int attempt = 1;; ++attempt) {
    const auto started = std::chrono::steady_clock::now();
    RunResult result = runPlugin(run);
    if (result.ending == RunResult::Ending::cancelled)
      return std::nullopt;
    if (metrics != nullptr)
      metrics->observePluginRun(std::chrono::steady_clock::now() - started);
    if (result.reachedEnd())
      writeRaw("LOCK");
    Verdict verdict = judgeRun(result, texts);
    if (metrics != nullptr) {
      if (!verdict.failed)
        metrics->pluginRun(verdict.state).Increment();
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
      return 3;
    }
  }
}

Outcome Workers::handle(const Notification& item, std::int32_t threadNumber)
{
  const std::string number = std::to_string(threadNumber);
  if (!context_.registry.find(item.host))
    return Outcome::ignored;
  std::shared_ptr<SyslogService> svc = context_.registry.getService(item.host);
  if (!svc)
    return Outcome::ignored;
  trace(number + "# prise du reussi");
  trace("service from host find:" + svc->pluginPath);

  // Two notifications of one service never interleave their transitions:
  // in this process, and in cluster mode across the Receivers.
  std::lock_guard<std::mutex> serialised(context_.serviceLocks.lockFor(svc->serviceId));
  DatabaseWait wait([this] { return context_.stopRequested.load(); });
  std::optional<ServiceClusterLock> clusterLock;
  int previousState = 0;
  try {
    if (context_.cluster)
      clusterLock.emplace(context_.pool, *svc, wait);
    previousState = context_.cluster ? storedState(context_.pool, *svc, wait) : svc->getReturnCode();
  } catch (const DatabaseUnavailable& error) {
    writeLog("ERR",
        number + "#notification from " + item.host + " not handled, the Receiver is stopping: " + svc->serviceIdText
            + " " + svc->serviceName + " " + error.what());
    return Outcome::shutdown;
  } catch (const DatabaseError& error) {
    writeLog("ERR", number + "#" + svc->serviceIdText + " " + svc->serviceName + " previous state: " + error.what());
    return Outcome::rejected;
  }
  std::string output;
  std::optional<int> result = runWithRetries(*svc, item.message, output);
  if (!result) {
    writeLog("ERR",
        number + "#notification from " + item.host + " not handled, the Receiver is stopping: " + svc->serviceIdText
            + " " + svc->serviceName + " plugin stopped");
    return Outcome::shutdown;
  }
  const int newState = *result;
  trace("exec return: " + std::to_string(newState) + "=" + std::to_string(previousState));
  trace("exec stdout: " + output);

  // The result in hand is kept while the database is away: the record is
  // written once it is back, and only a stop gives it up. The memory
  // changes only once the row is written.
  const std::string what = svc->serviceIdText + " " + svc->serviceName + " ";
  try {
    // A session lost while the plugin ran took the service's lock with it:
    // taken again, and the previous state read again under it.
    if (clusterLock && !clusterLock->held()) {
      clusterLock->retake(wait);
      previousState = storedState(context_.pool, *svc, wait);
    }
    wait.run([&] { updateService(*svc, newState, output, context_.pool); });
  } catch (const DatabaseError& error) {
    writeLog("ERR", number + "#Update service state failed: " + what + error.what());
    return Outcome::rejected;
  } catch (const DatabaseUnavailable& error) {
    writeLog("ERR",
        number + "#notification from " + item.host + " not stored, the Receiver is stopping: " + what + "state "
            + std::to_string(newState) + ": " + error.what());
    return Outcome::shutdown;
  }
  svc->setStored(newState, output);
  trace(number + "#" + svc->serviceName + " " + svc->parameter + "Update state OK ");
  if (newState == previousState)
    return Outcome::stored;
  try {
    // A session lost while the record is written takes the service's lock
    // with it: the lock is taken again before the next statement.
    auto relock = [&] {
      if (!clusterLock || clusterLock->held())
        return false;
      clusterLock->retake(wait);
      return true;
    };
    return actOnStateChange(*svc, newState, previousState, relock, output, context_, wait, number) ? Outcome::stored
                                                                                                   : Outcome::rejected;
  } catch (const DatabaseUnavailable& error) {
    writeLog("ERR",
        number + "#notification from " + item.host + " stored without its occurrences, the Receiver is stopping: "
            + what + "state " + std::to_string(newState) + ": " + error.what());
    return Outcome::shutdown;
  } catch (const RunError& error) {
    // The alerting program could not be waited for: this notification ends
    // here, the worker goes on.
    writeLog("ERR", number + "#" + svc->serviceName + " " + error.what());
  }
  return Outcome::stored;
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

  while (!context_.stopRequested) {
    queue_.waitNotEmpty(context_.stopRequested);
    trace(prefix + "# Réveille ");
    if (context_.stopRequested)
      break;
    trace(prefix + "# prise du service");
    try {
      std::uint64_t ticket = 0;
      Notification item = queue_.popWith([&](const Notification& popped) { ticket = hostOrder_.take(popped.host); });
      // Notifications of one host are handled in the order received.
      HostTurn turn(hostOrder_, item.host, ticket);
      handled_.fetch_add(1, std::memory_order_relaxed);
      Outcome outcome = handle(item, number);
      countOutcome(context_.metrics, outcome, item.received);
      item.answer(outcome);
    } catch (const EmptyQueueError&) {
      // Another worker took the last notification.
    } catch (const std::exception& error) {
      writeLog("ERR", prefix + "#notification handling failed: " + error.what());
    }
  }
  std::lock_guard<std::mutex> guard(runningLock_);
  --running_;
  writeRaw(
      "\tfin thread: " + std::to_string(number) + " nbr:" + std::to_string(running_) + " " + std::to_string(threadId));
}

void answerUnhandled(const std::deque<Notification>& left, Metrics* metrics)
{
  for (const Notification& item : left) {
    writeLog("ERR", "notification from " + item.host + " not handled, the Receiver is stopping");
    count(metrics, &Metrics::shutdown);
    item.answer(Outcome::shutdown);
  }
}
