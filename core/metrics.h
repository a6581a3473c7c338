#pragma once

#include <prometheus/counter.h>
#include <prometheus/histogram.h>
#include <prometheus/registry.h>

#include <chrono>
#include <memory>

// The daemon's counters and histograms. Every part counts into the one
// instance its owner hands it (a null pointer: nothing is counted); the
// metrics endpoint, when configured, serves the registry. Counting is a
// relaxed atomic add, cheap enough for every notification.
class Metrics {
public:
  Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  const std::shared_ptr<prometheus::Registry>& registry() const { return registry_; }

  // Plugin runs by the state they gave: 0 OK, 1 WARNING, 2 CRITICAL, any
  // other UNKNOWN.
  prometheus::Counter& pluginRun(int state);
  void observePluginRun(std::chrono::steady_clock::duration took) { pluginSeconds->Observe(seconds(took)); }
  void observeStored(std::chrono::steady_clock::duration took) { storedSeconds->Observe(seconds(took)); }

private:
  static double seconds(std::chrono::steady_clock::duration took)
  {
    return std::chrono::duration<double>(took).count();
  }
  // The outcomes, connections, plugin runs and their times.
  void registerHandling(prometheus::Registry& r);
  // The database's losses and refusals, the cleaning, the alerts, the build.
  void registerDatabaseAndCleaning(prometheus::Registry& r);

  std::shared_ptr<prometheus::Registry> registry_;

public:
  // Owned by the registry's families, which live as long as this.

  // Notifications by how their handling ended.
  prometheus::Counter* stored;
  prometheus::Counter* ignored;
  prometheus::Counter* rejected;
  prometheus::Counter* dropped;
  prometheus::Counter* forbidden;
  prometheus::Counter* shutdown;
  // Copies of a notification already applied (answered "stored").
  prometheus::Counter* duplicate;

  prometheus::Counter* handshakeFailures;
  prometheus::Counter* refusedConnections;

  prometheus::Counter* pluginOk;
  prometheus::Counter* pluginWarning;
  prometheus::Counter* pluginCritical;
  prometheus::Counter* pluginUnknown;
  // Runs that gave no state (they are tried again), time-outs among them.
  prometheus::Counter* pluginFailures;
  prometheus::Counter* pluginTimeouts;
  prometheus::Counter* persistentRestarts;
  prometheus::Counter* persistentProtocolErrors;
  prometheus::Histogram* pluginSeconds;
  // From the listener's receipt to the state row written.
  prometheus::Histogram* storedSeconds;

  prometheus::Counter* databaseLosses;
  prometheus::Counter* databaseRestorations;
  prometheus::Counter* statementsRejected;

  prometheus::Counter* cleaningPasses;
  prometheus::Counter* cleaningClosed;

  prometheus::Counter* alertsRun;
  prometheus::Counter* alertFailures;
};

// Adds one to a counter of an optional instance.
inline void count(Metrics* metrics, prometheus::Counter* Metrics::*counter)
{
  if (metrics != nullptr)
    (metrics->*counter)->Increment();
}
