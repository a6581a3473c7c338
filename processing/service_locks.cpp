#include "processing/service_locks.h"

std::mutex& ServiceLocks::lockFor(std::int64_t serviceId)
{
  std::lock_guard<std::mutex> guard(mapLock_);
  std::unique_ptr<std::mutex>& slot = locks_[serviceId];
  if (!slot)
    slot = std::make_unique<std::mutex>();
  return *slot;
}
