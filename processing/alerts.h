#pragma once

#include "core/lock_guarded.h"

#include <cstdint>
#include <set>
#include <string>

class Service;
class PgPool;
struct ProcessingContext;

// Starts the service's alerting program for the occurrence and waits for
// it, at most the context's alert time-out when not 0 and a grace after a
// stop. True when the program ran to its end (whatever its status), false
// when it could not be started or the stop cut it short: its alert is
// then still to run. failure says what went wrong, empty when nothing.
bool startAlert(const Service& svc, std::uint64_t occurrenceId, const ProcessingContext& context, std::string& failure);

// The services whose committed changes left an alert to run, as the
// Receiver found them at start-up; each is run before the service's next
// plugin run.
class PendingAlerts {
public:
  // Reads them from the database.
  void load(PgPool& pool);
  bool has(std::int64_t serviceId) { return ids_.lock()->count(serviceId) != 0; }
  void forget(std::int64_t serviceId) { ids_.lock()->erase(serviceId); }

private:
  LockGuarded<std::set<std::int64_t>> ids_;
};
