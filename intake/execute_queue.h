#pragma once

#include "intake/notification.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <string>
#include <utility>

class EmptyQueueException : public std::exception {
public:
  explicit EmptyQueueException(std::string message)
      : message_(std::move(message))
  {
  }
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};

// Unbounded blocking FIFO with any number of producers and consumers. A
// consumer calls waitNotEmpty, then pop; pop never blocks and throws when
// another consumer was faster.
template <typename T>
class ExecuteQueue {
public:
  ExecuteQueue() = default;
  virtual ~ExecuteQueue() = default;
  ExecuteQueue(const ExecuteQueue&) = delete;
  ExecuteQueue& operator=(const ExecuteQueue&) = delete;

  void push(const T& item)
  {
    {
      std::lock_guard<std::mutex> guard(mutex);
      items.push_back(item);
    }
    cond.notify_one();
  }

  void push(T&& item)
  {
    {
      std::lock_guard<std::mutex> guard(mutex);
      items.push_back(std::move(item));
    }
    cond.notify_one();
  }

  // Pushes unless limit items are already waiting; false when full.
  bool pushBounded(T&& item, std::size_t limit)
  {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (items.size() >= limit)
        return false;
      items.push_back(std::move(item));
    }
    cond.notify_one();
    return true;
  }

  enum class Offer { queued, full, closed };

  // The listener's push: refused when limit items are already waiting (0:
  // no limit) or once the queue is closed.
  Offer offer(T&& item, std::size_t limit)
  {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (closed)
        return Offer::closed;
      if (limit != 0 && items.size() >= limit)
        return Offer::full;
      items.push_back(std::move(item));
    }
    cond.notify_one();
    return Offer::queued;
  }

  // Refuses every later offer and hands back what was still waiting, so that
  // a stopping daemon can account for each notification it will not handle.
  std::deque<T> close()
  {
    std::lock_guard<std::mutex> guard(mutex);
    closed = true;
    std::deque<T> left;
    left.swap(items);
    return left;
  }

  // Returns once an item is there or stopFlag is non-zero; the item may be
  // gone again by the time the caller pops.
  void waitNotEmpty(const std::atomic<int>& stopFlag)
  {
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [&] { return !items.empty() || stopFlag.load() != 0; });
  }

  // The same with a time limit; false when it ran out with the queue empty
  // and the flag clear.
  bool waitNotEmptyFor(const std::atomic<int>& stopFlag, std::chrono::milliseconds timeout)
  {
    std::unique_lock<std::mutex> lock(mutex);
    return cond.wait_for(lock, timeout, [&] { return !items.empty() || stopFlag.load() != 0; });
  }

  T pop()
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (items.empty())
      throw EmptyQueueException("queue is empty");
    T item = std::move(items.front());
    items.pop_front();
    return item;
  }

  // pop, calling whilePopping(item) before the mutex is released, so that
  // whatever it records follows the order of the queue.
  template <typename F>
  T popWith(F&& whilePopping)
  {
    std::lock_guard<std::mutex> guard(mutex);
    if (items.empty())
      throw EmptyQueueException("queue is empty");
    T item = std::move(items.front());
    items.pop_front();
    whilePopping(item);
    return item;
  }

  // Taking the mutex first means a consumer between its flag check and its
  // wait cannot miss the broadcast.
  void wakeAll()
  {
    std::lock_guard<std::mutex> guard(mutex);
    cond.notify_all();
  }

  // The stop path: raises the flag and wakes every consumer in one critical
  // section. Must not be called from a signal handler (it takes the mutex).
  void stopAndWakeAll(std::atomic<int>& stopFlag)
  {
    std::lock_guard<std::mutex> guard(mutex);
    stopFlag = 1;
    cond.notify_all();
  }

  std::size_t size() const
  {
    std::lock_guard<std::mutex> guard(mutex);
    return items.size();
  }

private:
  mutable std::mutex mutex;
  std::condition_variable cond;
  std::deque<T> items;
  bool closed = false;
};

// The daemon's one notification queue: created by start-up before the
// network thread, never freed.
extern ExecuteQueue<notification>* executeService;
