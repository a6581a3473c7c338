#pragma once

#include "core/lock_guarded.h"

#include <condition_variable>
#include <cstdint>
#include <set>

// One lock per service id, held by whoever handles a state change of that
// service (a worker from reading the previous state until its write has
// committed, the cleaning thread while it closes a stale error). Keyed by id
// rather than by object, so a service reloaded into a new object still
// shares the lock with runs of the old one. Taken before any other lock.
//
// A lease is not tied to a thread: a worker takes it, and the writer that
// commits the worker's state write gives it back.
class ServiceLocks {
public:
  class Lease {
  public:
    Lease(ServiceLocks& locks, std::int64_t serviceId);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;

  private:
    ServiceLocks& locks_;
    std::int64_t serviceId_;
  };

  // Waits until no one else holds the service's lock, and takes it.
  Lease take(std::int64_t serviceId) { return Lease(*this, serviceId); }

private:
  LockGuarded<std::set<std::int64_t>> held_;
  std::condition_variable released_;
};
