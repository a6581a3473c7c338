#include "services/service_registry.h"

#include "core/log.h"

void ServiceRegistry::addService(const std::string& host, std::shared_ptr<SyslogService> service)
{
  std::shared_ptr<SyslogService> replaced;
  {
    auto services = services_.lock();
    std::shared_ptr<SyslogService>& slot = (*services)[host];
    replaced = std::move(slot);
    if (replaced && service && replaced->serviceId == service->serviceId)
      service->takeStoredStateOf(*replaced);
    slot = std::move(service);
  }
  // The replaced service, if this was its last holder, is freed here,
  // outside the lock.
}

bool ServiceRegistry::find(const std::string& host)
{
  // Written before the registry lock is taken: the two are never held
  // together.
  writeRaw("search " + logSafe(host));
  auto services = services_.lock();
  return services->count(host) != 0;
}

std::shared_ptr<SyslogService> ServiceRegistry::getService(const std::string& host)
{
  auto services = services_.lock();
  auto found = services->find(host);
  return found == services->end() ? nullptr : found->second;
}

bool ServiceRegistry::removeService(std::int64_t serviceId)
{
  std::vector<std::shared_ptr<SyslogService>> removed;
  auto services = services_.lock();
  for (auto entry = services->begin(); entry != services->end();) {
    if (entry->second && entry->second->serviceId == serviceId) {
      removed.push_back(std::move(entry->second));
      entry = services->erase(entry);
    } else {
      ++entry;
    }
  }
  return !removed.empty();
}

std::shared_ptr<SyslogService> ServiceRegistry::serviceById(std::int64_t serviceId)
{
  auto services = services_.lock();
  for (const auto& entry : *services)
    if (entry.second->serviceId == serviceId)
      return entry.second;
  return nullptr;
}

std::vector<std::int64_t> ServiceRegistry::serviceIds()
{
  std::vector<std::int64_t> ids;
  for (const std::shared_ptr<SyslogService>& service : services())
    ids.push_back(service->serviceId);
  return ids;
}

std::vector<std::shared_ptr<SyslogService>> ServiceRegistry::services()
{
  std::vector<std::shared_ptr<SyslogService>> registered;
  auto services = services_.lock();
  for (const auto& entry : *services) {
    if (entry.second)
      registered.push_back(entry.second);
  }
  return registered;
}

void ServiceRegistry::clear()
{
  Services dropped;
  dropped.swap(*services_.lock());
  // Released outside the lock.
}

bool ServiceRegistry::empty() { return services_.lock()->empty(); }

int ServiceRegistry::size() { return static_cast<int>(services_.lock()->size()); }
