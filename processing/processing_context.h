#pragma once

#include "core/metrics.h"
#include "database/statements.h"

#include <atomic>

class PendingAlerts;
class PersistentPlugins;
class PgPool;
class RunCancel;
class ServiceLocks;
class StateBatches;
class ServiceRegistry;

// The parts a processing context cannot do without, each set by name where
// the context is built.
struct ProcessingParts {
  PgPool* pool = nullptr;
  ServiceRegistry* registry = nullptr;
  const ErrorIds* errorIds = nullptr;
  ServiceLocks* serviceLocks = nullptr;
  const std::atomic<bool>* stopRequested = nullptr;
};

// What the workers and the cleaning thread share. The daemon owns every
// part and outlives both; the optional members are set by name after the
// context is made.
struct ProcessingContext {
  explicit ProcessingContext(const ProcessingParts& parts)
      : pool(*parts.pool)
      , registry(*parts.registry)
      , errorIds(*parts.errorIds)
      , serviceLocks(*parts.serviceLocks)
      , stopRequested(*parts.stopRequested)
  {
  }

  PgPool& pool;
  ServiceRegistry& registry;
  const ErrorIds& errorIds;
  ServiceLocks& serviceLocks;
  // Raised once when the daemon stops: workers leave their loop, waits for
  // the database give up.
  const std::atomic<bool>& stopRequested;
  // Longest run of one plugin, and of one alerting program, in seconds; 0:
  // no limit.
  int pluginTimeoutSeconds = 0;
  int alertTimeoutSeconds = 0;
  // Raised with the stop: programs still running a grace later are stopped.
  const RunCancel* cancel = nullptr;
  // Where outcomes, plugin runs, alerts and cleaning are counted; none:
  // nowhere.
  Metrics* metrics = nullptr;
  // Several Receivers share the database: a service's handling holds its
  // advisory lock and reads the previous state from its row, and only the
  // holder of the cleaning role closes stale errors.
  bool cluster = false;
  // The programs served by long-running processes; none: every plugin
  // runs once per notification.
  PersistentPlugins* persistent = nullptr;
  // Where the workers' writes of an unchanged state share their round trips
  // and commits (single mode); none: each is written alone.
  StateBatches* stateBatches = nullptr;
  // Single mode: the services with an alert left to run at the start (in
  // cluster mode the service's lock tells); none: nothing is left.
  PendingAlerts* pendingAlerts = nullptr;
};
