#pragma once

#include "core/lock_guarded.h"
#include "services/service.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// The loaded syslog services, one per host. A service replaced under its
// host stays alive for whoever still holds it and is freed with its last
// holder.
class ServiceRegistry {
public:
  // Registers the service under the host, replacing the one held there; a
  // replacement for the same service id keeps sharing its stored state.
  void addService(const std::string& host, std::shared_ptr<SyslogService> service);
  // Writes "search <host>" to the log stream, then says whether the host
  // has a service.
  bool find(const std::string& host);
  // The service registered under the host; null when there is none.
  std::shared_ptr<SyslogService> getService(const std::string& host);
  // Removes the service of that id from every host it is registered under;
  // false when it was nowhere.
  bool removeService(std::int64_t serviceId);
  // The service of that id under any host; null when none is registered.
  std::shared_ptr<SyslogService> serviceById(std::int64_t serviceId);
  // The ids of the registered services.
  std::vector<std::int64_t> serviceIds();
  // The registered services, one per host, by host.
  std::vector<std::shared_ptr<SyslogService>> services();
  // Drops every registered service; each is destroyed unless someone else
  // still holds it.
  void clear();
  bool empty();
  int size();

  // The plugin programs served by persistent processes, set before the
  // first load: the loader then logs the mode of each service it loads.
  void setPersistentPlugins(std::set<std::string> paths) { persistentPlugins_ = std::move(paths); }
  const std::set<std::string>& persistentPlugins() const { return persistentPlugins_; }

private:
  using Services = std::map<std::string, std::shared_ptr<SyslogService>>;
  LockGuarded<Services> services_;
  std::set<std::string> persistentPlugins_;
};
