#include "services/hash_map_service.h"

#include "core/log.h"

#include <iostream>

HashMapService& ListTrapService = *new HashMapService;

void HashMapService::addService(std::string host, std::shared_ptr<serviceSyslog> service)
{
  std::shared_ptr<serviceSyslog> replaced;
  {
    std::lock_guard<std::mutex> guard(servicesLock);
    std::shared_ptr<serviceSyslog>& slot = services[host];
    replaced = std::move(slot);
    slot = std::move(service);
  }
  // The replaced service, if this was its last holder, is freed here,
  // outside the lock.
}

bool HashMapService::find(std::string host)
{
  {
    // The log stream is shared with write_log, so the raw line goes out
    // under the log lock; the registry lock is never held at the same time.
    std::lock_guard<std::mutex> logGuard(mutex_log_system);
    std::cout << "search " << host << std::endl;
  }
  std::lock_guard<std::mutex> guard(servicesLock);
  return !services.empty() && services.count(host) != 0;
}

std::shared_ptr<serviceSyslog> HashMapService::getService(std::string host)
{
  std::lock_guard<std::mutex> guard(servicesLock);
  auto found = services.find(host);
  if (found == services.end())
    return nullptr;
  return found->second;
}

void HashMapService::clear()
{
  std::map<std::string, std::shared_ptr<serviceSyslog>> dropped;
  {
    std::lock_guard<std::mutex> guard(servicesLock);
    dropped.swap(services);
  }
  // Released in key order, outside the lock.
  for (auto& entry : dropped)
    entry.second.reset();
}

bool HashMapService::empty()
{
  std::lock_guard<std::mutex> guard(servicesLock);
  return services.empty();
}

int HashMapService::size()
{
  std::lock_guard<std::mutex> guard(servicesLock);
  return static_cast<int>(services.size());
}
