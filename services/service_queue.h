#pragma once

#include "services/service.h"

#include "core/errors.h"
#include "core/lock_guarded.h"

#include <map>
#include <string>
#include <vector>

// front/pop on an empty WaitServiceQueue, getService of an id that
// UpdateServiceMap does not hold.
class ContainerError : public ReceiverError {
public:
  using ReceiverError::ReceiverError;
};

// Heap order for the service queue: the earliest next execution second at
// the front. Microseconds are not compared.
struct CompareService {
  bool operator()(const Service& first, const Service& second) const
  {
    return first.nextExecTime.tv_sec > second.nextExecTime.tv_sec;
  }
};

// Services waiting for their next run, the one due first at the front.
// Holds copies; every result is a copy.
class WaitServiceQueue {
public:
  WaitServiceQueue() = default;
  WaitServiceQueue(const WaitServiceQueue&) = delete;
  WaitServiceQueue& operator=(const WaitServiceQueue&) = delete;
  virtual ~WaitServiceQueue() = default;

  void push(const Service& item);
  // Throw ContainerError when the queue is empty.
  Service front();
  Service pop();
  bool empty();
  int size();

private:
  // A heap in CompareService order.
  LockGuarded<std::vector<Service>> services_;
};

// One copy of each service by id; fetching a service takes it out.
class UpdateServiceMap {
public:
  UpdateServiceMap() = default;
  UpdateServiceMap(const UpdateServiceMap&) = delete;
  UpdateServiceMap& operator=(const UpdateServiceMap&) = delete;
  virtual ~UpdateServiceMap() = default;

  // A later service with the same id replaces the earlier copy.
  void addService(Service item);
  bool find(unsigned long long id);
  // Throws ContainerError when the id is not held.
  Service getService(unsigned long long id);
  bool empty();
  int size();

private:
  LockGuarded<std::map<unsigned long long, Service>> services_;
};
