#pragma once

#include "services/service.h"

#include <exception>
#include <map>
#include <mutex>
#include <string>
#include <vector>

// front/pop on an empty WaitServiceQueue, getService of an id that
// UpdateServiceMap does not hold.
class ServiceContainerException : public std::exception {
public:
  explicit ServiceContainerException(std::string message)
      : message_(std::move(message))
  {
  }
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// Heap order for the service queue: the earliest next execution second at
// the front. Microseconds are not compared.
struct CompareService {
  bool operator()(const service& first, const service& second) const
  {
    return first.next_exec_time.tv_sec > second.next_exec_time.tv_sec;
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

  void push(const service& item);
  // Throw ServiceContainerException when the queue is empty.
  service front();
  service pop();
  bool empty();
  int size();

private:
  std::mutex mutex;
  std::vector<service> services;
};

// One copy of each service by id; fetching a service takes it out.
class UpdateServiceMap {
public:
  UpdateServiceMap() = default;
  UpdateServiceMap(const UpdateServiceMap&) = delete;
  UpdateServiceMap& operator=(const UpdateServiceMap&) = delete;
  virtual ~UpdateServiceMap() = default;

  // A later service with the same id replaces the earlier copy.
  void addService(service item);
  bool find(unsigned long long id);
  // Throws ServiceContainerException when the id is not held.
  service getService(unsigned long long id);
  bool empty();
  int size();

private:
  std::map<unsigned long long, service> services;
  std::mutex mutex;
};
