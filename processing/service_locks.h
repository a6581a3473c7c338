#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

// One lock per service id, held by whoever handles a state change of that
// service (a worker from reading the previous state to the end of the
// error handling, the cleaning thread while it closes a stale error). Keyed
// by id rather than by object, so a service reloaded into a new object still
// shares the lock with runs of the old one. Taken before any other lock.
class ServiceLocks {
public:
  std::mutex& lockFor(std::int64_t serviceId);

private:
  std::mutex mapLock_;
  std::map<std::int64_t, std::unique_ptr<std::mutex>> locks_;
};
