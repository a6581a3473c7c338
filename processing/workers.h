#pragma once

#include "core/lock_guarded.h"
#include "intake/notification_queue.h"
#include "processing/processing_context.h"
#include "processing/state_records.h"
#include "services/service.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

// The worker threads: each takes notifications off the queue until the
// stop, handling one host's notifications in the order they were received.
class Workers {
public:
  Workers(ProcessingContext& context, NotificationQueue& queue);
  // Joins whatever still runs.
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Starts count workers (none for 0 or less). Throws std::system_error
  // when a thread cannot be created.
  void start(int count);
  // Waits until every worker has ended; each writes its "fin thread:" line.
  void join();
  // Workers still in their loop, and notifications they have taken.
  int running();
  std::uint64_t handled() const { return handled_.load(std::memory_order_relaxed); }

  // Handles one notification: finds the host's service, runs its plugin (up
  // to three attempts), stores the state and, on a change, closes and opens
  // error occurrences and starts the alerting program. While the database is
  // away it waits with the result in hand; it gives up only when the daemon
  // stops. Returns how the handling ended, for the sender; answer, if any,
  // hears it as soon as it is known (before the alerting program runs).
  Outcome handle(
      const Notification& item, std::int32_t threadNumber, const std::function<void(Outcome)>& answer = [](Outcome) {});

private:
  struct Handling;
  using Ended = std::function<void(Outcome)>;

  void run();
  // Handles h and calls ended once with its outcome: on this thread, or on
  // the state writer's once a shared write has committed. The service's
  // locks are let go before ended.
  void begin(const std::shared_ptr<Handling>& h, Ended ended);
  // The steps up to the write; none when the write was handed over.
  std::optional<Outcome> startHandling(const std::shared_ptr<Handling>& h, const Ended& ended);
  // Hands the write of an unchanged state to the shared writer; the
  // handling ends when the writer tells how it went.
  void handOver(const std::shared_ptr<Handling>& h, const Ended& ended, const SyslogService& svc, ServiceState state,
      const std::string& output, const WriteToken& token);
  // Runs a step of h; once it gives an outcome (none: the write was handed
  // over), lets the service go and calls ended. A step that throws ends it
  // rejected, logged.
  static void conclude(Handling& h, const Ended& ended, const std::function<std::optional<Outcome>()>& step);
  // The outcome of a write step, with the log line of each way it fails.
  static Outcome stored(Handling& h, const std::function<Outcome()>& step);
  std::optional<ServiceState> runWithRetries(SyslogService& svc, const std::string& message, std::string& output);

  ProcessingContext& context_;
  NotificationQueue& queue_;
  std::vector<std::thread> threads_;
  // Workers still in their loop.
  LockGuarded<int> running_ { 0 };
  std::atomic<std::uint64_t> handled_ { 0 };
};

// The stop: logs each notification that no worker will handle and answers
// it, and its copies, "shutdown".
void answerUnhandled(const std::deque<Notification>& left, Metrics* metrics = nullptr);
