#include "services/service_queue.h"

#include <algorithm>

namespace {

// The service due first; both front() and pop() refuse an empty queue.
const Service& dueFirst(const std::vector<Service>& heap)
{
  if (heap.empty())
    throw ContainerError("service queue is empty");
  return heap.front();
}

} // namespace

void WaitServiceQueue::push(const Service& item)
{
  auto heap = services_.lock();
  heap->push_back(item);
  std::push_heap(heap->begin(), heap->end(), CompareService());
}

Service WaitServiceQueue::front() { return dueFirst(*services_.lock()); }

Service WaitServiceQueue::pop()
{
  auto heap = services_.lock();
  Service first = dueFirst(*heap);
  std::pop_heap(heap->begin(), heap->end(), CompareService());
  heap->pop_back();
  return first;
}

bool WaitServiceQueue::empty() { return services_.lock()->empty(); }

int WaitServiceQueue::size() { return static_cast<int>(services_.lock()->size()); }

void UpdateServiceMap::addService(Service item)
{
  auto id = static_cast<unsigned long long>(item.serviceId);
  (*services_.lock())[id] = std::move(item);
}

bool UpdateServiceMap::find(unsigned long long id) { return services_.lock()->count(id) != 0; }

Service UpdateServiceMap::getService(unsigned long long id)
{
  auto services = services_.lock();
  auto found = services->find(id);
  if (found == services->end())
    throw ContainerError("no service with id " + std::to_string(id));
  Service taken = std::move(found->second);
  services->erase(found);
  return taken;
}

bool UpdateServiceMap::empty() { return services_.lock()->empty(); }

int UpdateServiceMap::size() { return static_cast<int>(services_.lock()->size()); }
