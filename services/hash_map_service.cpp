#include "services/hash_map_service.h"

#include "core/log.h"


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
  // Written before the registry lock is taken: the two are never held
  // together.
  write_raw("search " + host);
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
