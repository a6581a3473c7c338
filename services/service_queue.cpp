#include "services/service_queue.h"

#include <algorithm>

void WaitServiceQueue::push(const Service& item)
{
  std::lock_guard<std::mutex> guard(mutex);
  services.push_back(item);
  std::push_heap(services.begin(), services.end(), CompareService());
}

Service WaitServiceQueue::front()
{
  std::lock_guard<std::mutex> guard(mutex);
  if (services.empty())
    throw ContainerError("service queue is empty");
  return services.front();
}

Service WaitServiceQueue::pop()
{
  std::lock_guard<std::mutex> guard(mutex);
  if (services.empty())
    throw ContainerError("service queue is empty");
  Service first = services.front();
  std::pop_heap(services.begin(), services.end(), CompareService());
  services.pop_back();
  return first;
}

bool WaitServiceQueue::empty()
{
  std::lock_guard<std::mutex> guard(mutex);
  return services.empty();
}

int WaitServiceQueue::size()
{
  std::lock_guard<std::mutex> guard(mutex);
  return static_cast<int>(services.size());
}

void UpdateServiceMap::addService(Service item)
{
  std::lock_guard<std::mutex> guard(mutex);
  auto id = static_cast<unsigned long long>(item.serviceId);
  services[id] = std::move(item);
}

bool UpdateServiceMap::find(unsigned long long id)
{
  std::lock_guard<std::mutex> guard(mutex);
  return services.count(id) != 0;
}

Service UpdateServiceMap::getService(unsigned long long id)
{
  std::lock_guard<std::mutex> guard(mutex);
  auto found = services.find(id);
  if (found == services.end())
    throw ContainerError("no service with id " + std::to_string(id));
  Service taken = std::move(found->second);
  services.erase(found);
  return taken;
}

bool UpdateServiceMap::empty()
{
  std::lock_guard<std::mutex> guard(mutex);
  return services.empty();
}

int UpdateServiceMap::size()
{
  std::lock_guard<std::mutex> guard(mutex);
  return static_cast<int>(services.size());
}
