#pragma once

#include "services/service.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

// The loaded syslog services, one per host. A service replaced under its
// host stays alive for whoever still holds it and is freed with its last
// holder.
class HashMapService {
public:
  HashMapService() = default;
  HashMapService(const HashMapService&) = delete;
  HashMapService& operator=(const HashMapService&) = delete;
  virtual ~HashMapService() = default;

  // Registers the service under the host, replacing the one held there.
  void addService(std::string host, std::shared_ptr<serviceSyslog> service);
  // Writes "search <host>" to the log stream, then says whether the host
  // has a service.
  bool find(std::string host);
  // The service registered under the host; null when there is none.
  std::shared_ptr<serviceSyslog> getService(std::string host);
  // Drops every registered service; each is destroyed unless someone else
  // still holds it.
  void clear();
  bool empty();
  int size();

private:
  std::map<std::string, std::shared_ptr<serviceSyslog>> services;
  std::mutex servicesLock;
};

// The daemon's registry. Never destroyed: threads that are not joined at
// exit may still look services up.
extern HashMapService& ListTrapService;
