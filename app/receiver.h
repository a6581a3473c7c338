#pragma once

#include "app/stop_signal.h"
#include "app/systemd_notifier.h"
#include "core/metrics.h"
#include "database/connection_settings.h"
#include "database/statements.h"
#include "execution/run_cancel.h"
#include "intake/listener_settings.h"
#include "intake/notification_queue.h"
#include "processing/alerts.h"
#include "processing/service_locks.h"
#include "services/service_loader.h"
#include "services/service_registry.h"

#include <atomic>
#include <future>
#include <memory>
#include <string>
#include <thread>

class Cleaner;
class DatabaseProbe;
struct ReceiverSettings;
class MetricsEndpoint;
class NotificationServer;
class PersistentPlugins;
class PgPool;
class StateBatches;
class Workers;
struct ProcessingContext;

// The daemon: owns the configuration values, the database pool, the
// notification queue, the service registry, the listener, the workers and
// the cleaning thread, starts them in order and stops them.
//
// Lock order: the one table is ServiceTransition's (processing/service_transition.h).
class Receiver {
public:
  struct Options {
    std::string configPath = "/etc/quelm/receiver.conf";
    bool debug = false;
  };

  explicit Receiver(Options options);
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Runs the daemon from the first start-up step to the end of the stop;
  // returns the process's exit status.
  int run();

  // The stop: raises the flag, wakes every idle worker and answers what is
  // still queued. Safe from any thread, any number of times.
  void requestStop();

private:
  // The start, in its phases, then the service until the stop; the exit
  // status.
  int startAndServe();
  // The stop and log-reopen signals, and the metrics' registry when asked.
  bool installSignals();
  // The pool, the Receiver's own tables and the statements; false when the
  // tables can be neither found nor made.
  bool connectDatabase();
  ConnectionSettings databaseSettings();
  ListenerSettings listenerSettings();
  void startListener(const ListenerSettings& listen);
  // The listener thread's body: a listener that fails stops the Receiver.
  void runListener();
  // The shared context, the batches, the persistent plugins and the
  // services.
  void buildProcessing();
  // The context the workers and the cleaner share, its parts by name.
  void buildContext();
  void startWorkersAndCleaner();
  // Ready, then the workers until the stop; the exit status.
  int serveUntilStop();
  void startMetrics();
  // SIGHUP: the log file is opened again by its name, for log rotation.
  void reopenLog();
  // What the status line tells systemd, and what keeps the watchdog from
  // being fed (empty: nothing).
  std::string statusLine();
  std::string healthProblem();

  Options options_;
  // The configuration, read once at the start.
  std::unique_ptr<ReceiverSettings> settings_;
  // The log file's name and the descriptor under the log stream (-1: none).
  std::string logPath_;
  int logFd_ = -1;
  // Only with a [METRICS] listen address: what is counted, by every part
  // below, which it outlives.
  std::unique_ptr<Metrics> metrics_;
  int workerCount_ = 0;
  // For the rate in the status line.
  std::uint64_t lastHandled_ = 0;
  std::chrono::steady_clock::time_point lastStatus_ {};
  std::unique_ptr<PgPool> pool_;
  // What GET /v1/health asks; outlives the listener.
  std::unique_ptr<DatabaseProbe> probe_;
  ErrorIds errorIds_;
  // The listener, for the stop thread, once it exists.
  std::atomic<NotificationServer*> acceptingListener_ { nullptr };
  NotificationQueue queue_;
  ServiceRegistry registry_;
  AutoAcknowledgements acknowledgements_;
  ServiceLocks serviceLocks_;
  PendingAlerts pendingAlerts_;
  std::atomic<bool> stopRequested_ { false };
  RunCancel cancel_;
  std::unique_ptr<ProcessingContext> context_;

  std::unique_ptr<NotificationServer> listener_;
  std::thread listenerThread_;
  std::promise<void> listenerFinished_;
  std::future<void> listenerDone_;
  std::atomic<bool> listenerFailed_ { false };
  // Single mode: the workers' shared writes.
  std::unique_ptr<StateBatches> stateBatches_;
  // Only with [PLUGINS] persistent=: outlives the workers that use it.
  std::unique_ptr<PersistentPlugins> persistent_;
  std::unique_ptr<Workers> workers_;
  std::unique_ptr<Cleaner> cleaner_;
  std::thread cleanerThread_;

  // Declared last, so destroyed first: they read the parts above while a
  // scrape or a status line comes.
  std::unique_ptr<MetricsEndpoint> metricsEndpoint_;
  SystemdNotifier systemd_;
  // Its actions use everything above: ended before anything is destroyed.
  SignalThread signals_;
};
