#pragma once

#include "database/statements.h"

#include <atomic>

class PgPool;
class ServiceLocks;
class ServiceRegistry;

// What the workers and the cleaning thread share. The daemon owns every
// part and outlives both.
struct ProcessingContext {
  PgPool& pool;
  ServiceRegistry& registry;
  const ErrorIds& errorIds;
  ServiceLocks& serviceLocks;
  // Raised once when the daemon stops: workers leave their loop, waits for
  // the database give up.
  const std::atomic<bool>& stopRequested;
  // Longest run of one plugin in seconds; 0: no limit.
  int pluginTimeoutSeconds = 0;
};
