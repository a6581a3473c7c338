#include "processing/workers.h"

#include "core/log.h"
#include "database/database_error.h"
#include "database/database_wait.h"
#include "database/pg_pool.h"
#include "execution/persistent_plugin.h"
#include "execution/plugin_runner.h"
#include "processing/service_transition.h"
#include "processing/state_policy.h"
#include "processing/state_records.h"
#include "services/service_registry.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <future>
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
      ++*running_.lock();
    }
    try {
      threads_.emplace_back([this] { run(); });
    } catch (...) {
      --*running_.lock();
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
  // The writes the workers handed over are told too, so that every
  // notification taken has had its answer.
  if (context_.stateBatches != nullptr)
    context_.stateBatches->drain();
}

int Workers::running() { return running_.copy(); }

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
    // "LOCK" follows a run that reached its end, then its verdict's line:
    // both in one write of the log.
    const std::string locked = result.reachedEnd() ? "LOCK\n" : "";
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
      writeRaw(locked + "UNLOCK");
      output = std::move(verdict.output);
      return verdict.state;
    }
    if (result.reachedEnd())
      writeRaw(locked + "Exception service unlock");
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

// One notification from its take to its end, shared by the worker that
// takes it and the state writer that may end it.
struct Workers::Handling {
  // One taken from the queue, whose host is held until it ends.
  Handling(NotificationQueue::Lease taken, std::int32_t threadNumber, const std::atomic<bool>& stopRequested)
      : lease(std::move(taken))
      , item(lease->item())
      , number(std::to_string(threadNumber))
      , wait([&stopRequested] { return stopRequested.load(); })
  {
  }
  // One handed over directly.
  Handling(Notification notification, std::int32_t threadNumber, const std::atomic<bool>& stopRequested)
      : own(std::move(notification))
      , item(*own)
      , number(std::to_string(threadNumber))
      , wait([&stopRequested] { return stopRequested.load(); })
  {
  }

  // Tells the sender once, whatever comes after.
  void tell(Outcome outcome)
  {
    if (answered)
      return;
    answered = outcome;
    answer(outcome);
  }

  std::optional<NotificationQueue::Lease> lease;
  std::optional<Notification> own;
  Notification& item;
  const std::string number;
  std::function<void(Outcome)> answer;
  std::optional<Outcome> answered;
  // "<service id> <name> " and "<number>#notification from <host>", the
  // parts of its log lines.
  std::string what, stopping;
  std::string newState;
  DatabaseWait wait;
  // Holds the service's locks until the handling ends.
  std::optional<ServiceTransition> transition;
};

Outcome Workers::stored(Handling& h, const std::function<Outcome()>& step)
{
  try {
    return step();
  } catch (const DatabaseUnavailable& error) {
    writeLog("ERR",
        h.stopping + " not stored, the Receiver is stopping: " + h.what + "state " + h.newState + ": " + error.what());
    return Outcome::shutdown;
  } catch (const DatabaseError& error) {
    writeLog("ERR", h.number + "#Update service state failed: " + h.what + error.what());
    return Outcome::rejected;
  }
}

std::optional<Outcome> Workers::startHandling(const std::shared_ptr<Handling>& h, const Ended& ended)
{
  const Notification& item = h->item;
  if (!context_.registry.find(item.host))
    return Outcome::ignored;
  std::shared_ptr<SyslogService> svc = context_.registry.getService(item.host);
  if (!svc)
    return Outcome::ignored;
  // The trace lines are only made when tracing: this is every notification's
  // path.
  if (traceEnabled()) {
    trace(h->number + "# prise du reussi");
    trace("service from host find:" + svc->pluginPath);
  }

  h->what = svc->serviceIdText + " " + svc->serviceName + " ";
  h->stopping = h->number + "#notification from " + logSafe(item.host);
  try {
    h->transition.emplace(context_, svc, h->wait);
  } catch (const DatabaseUnavailable& error) {
    writeLog("ERR", h->stopping + " not handled, the Receiver is stopping: " + h->what + error.what());
    return Outcome::shutdown;
  } catch (const DatabaseError& error) {
    writeLog("ERR", h->number + "#" + h->what + "previous state: " + error.what());
    return Outcome::rejected;
  }
  // No plugin starts once the stop has begun: its grace is already running.
  if (context_.stopRequested) {
    writeLog("ERR", h->stopping + " not handled, the Receiver is stopping: " + h->what + "plugin not started");
    return Outcome::shutdown;
  }
  std::string output;
  std::optional<ServiceState> result = runWithRetries(*svc, item.message, output);
  if (!result) {
    writeLog("ERR", h->stopping + " not handled, the Receiver is stopping: " + h->what + "plugin stopped");
    return Outcome::shutdown;
  }
  h->newState = std::to_string(stateNumber(*result));
  if (traceEnabled()) {
    trace("exec return: " + h->newState + "=" + std::to_string(stateNumber(h->transition->previousState())));
    trace("exec stdout: " + output);
  }

  // The result in hand is kept while the database is away: the record is
  // written once it is back, and only a stop gives it up.
  const WriteToken token = tokenFor(item.id);
  if (!h->transition->batchable(*result))
    return stored(*h, [&] {
      return h->transition->record(*result, output, h->number, token, [&h](Outcome outcome) { h->tell(outcome); });
    });
  handOver(h, ended, *svc, *result, output, token);
  return std::nullopt;
}

void Workers::handOver(const std::shared_ptr<Handling>& h, const Ended& ended, const SyslogService& svc,
    ServiceState state, const std::string& output, const WriteToken& token)
{
  // The unchanged state most notifications bring is handed to the shared
  // writer, and this worker goes on with another host; this one stays taken,
  // and its service locked, until the write has committed.
  context_.stateBatches->submit(svc, state, output, token,
      [h, ended, state, output, token](StateBatches::Written written, std::exception_ptr error) {
        conclude(*h, ended, [&]() -> std::optional<Outcome> {
          return stored(*h, [&] {
            if (error)
              std::rethrow_exception(error);
            return h->transition->settle(
                written, state, output, h->number, token, [&h](Outcome outcome) { h->tell(outcome); });
          });
        });
      });
}

void Workers::conclude(Handling& h, const Ended& ended, const std::function<std::optional<Outcome>()>& step)
{
  std::optional<Outcome> outcome = Outcome::rejected;
  try {
    outcome = step();
  } catch (const std::exception& error) {
    writeLog("ERR", h.number + "#notification handling failed: " + error.what());
  }
  if (!outcome)
    return;
  h.transition.reset();
  ended(*outcome);
}

void Workers::begin(const std::shared_ptr<Handling>& h, Ended ended)
{
  conclude(*h, ended, [&] { return startHandling(h, ended); });
}

Outcome Workers::handle(const Notification& item, std::int32_t threadNumber, const std::function<void(Outcome)>& answer)
{
  auto h = std::make_shared<Handling>(item, threadNumber, context_.stopRequested);
  h->answer = answer;
  std::promise<Outcome> ended;
  begin(h, [&ended](Outcome outcome) { ended.set_value(outcome); });
  return ended.get_future().get();
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
    std::optional<NotificationQueue::Lease> taken = queue_.take(context_.stopRequested);
    if (traceEnabled())
      trace(prefix + "# Réveille ");
    if (!taken)
      break;
    if (traceEnabled())
      trace(prefix + "# prise du service");
    handled_.fetch_add(1, std::memory_order_relaxed);
    auto h = std::make_shared<Handling>(std::move(*taken), number, context_.stopRequested);
    // Every notification taken gets exactly one answer, whatever fails, as
    // soon as it is known; the copies that joined it get the same, and its
    // host is released, once it has ended.
    Handling& mine = *h;
    h->answer = [this, &mine](Outcome outcome) {
      mine.item.answer(outcome);
      countAnswered(context_.metrics, mine.item, outcome);
      if (outcome == Outcome::stored && context_.metrics != nullptr)
        context_.metrics->observeStored(std::chrono::steady_clock::now() - mine.item.received);
    };
    begin(h, [this, &mine](Outcome outcome) {
      mine.tell(outcome);
      mine.lease->finish(*mine.answered);
      countCopies(context_.metrics, mine.item, *mine.answered);
    });
  }
  // The count and its line together, so that the lines count down in order.
  auto running = running_.lock();
  --*running;
  writeRaw(
      "\tfin thread: " + std::to_string(number) + " nbr:" + std::to_string(*running) + " " + std::to_string(threadId));
}

void answerUnhandled(const std::deque<Notification>& left, Metrics* metrics)
{
  for (const Notification& item : left) {
    writeLog("ERR", "notification from " + logSafe(item.host) + " not handled, the Receiver is stopping");
    countAnswered(metrics, item, Outcome::shutdown);
    item.answer(Outcome::shutdown);
  }
}
