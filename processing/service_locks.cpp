#include "processing/service_locks.h"

ServiceLocks::Lease::Lease(ServiceLocks& locks, std::int64_t serviceId)
    : locks_(locks)
    , serviceId_(serviceId)
{
  auto held = locks_.held_.lock();
  held.wait(locks_.released_, [&](std::set<std::int64_t>& ids) { return ids.insert(serviceId_).second; });
}

ServiceLocks::Lease::~Lease()
{
  locks_.held_.lock()->erase(serviceId_);
  // Waiters are few (a worker and the cleaner at most for one service), but
  // each waits for its own id.
  locks_.released_.notify_all();
}
