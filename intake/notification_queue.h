#pragma once

#include "core/errors.h"
#include "intake/notification.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

// pop on a queue that another consumer emptied first.
class EmptyQueueError : public ReceiverError {
public:
  using ReceiverError::ReceiverError;
};

// Unbounded blocking FIFO with any number of producers and consumers. A
// consumer calls waitNotEmpty, then pop; pop never blocks and throws when
// another consumer was faster. The items, the closed mark and the condition
// live under one mutex.
template <typename T> class BlockingQueue {
public:
  BlockingQueue() = default;
  BlockingQueue(const BlockingQueue&) = delete;
  BlockingQueue& operator=(const BlockingQueue&) = delete;

  void push(T item)
  {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      items_.push_back(std::move(item));
    }
    cond_.notify_one();
  }

  enum class Offer { queued, full, closed };

  // The listener's push: refused when limit items are already waiting (0:
  // no limit) or once the queue is closed.
  Offer offer(T&& item, std::size_t limit)
  {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (closed_)
        return Offer::closed;
      if (limit != 0 && items_.size() >= limit)
        return Offer::full;
      items_.push_back(std::move(item));
    }
    cond_.notify_one();
    return Offer::queued;
  }

  // Refuses every later offer and hands back what was still waiting, so that
  // a stopping daemon can account for each notification it will not handle.
  std::deque<T> close()
  {
    std::lock_guard<std::mutex> guard(mutex_);
    closed_ = true;
    std::deque<T> left;
    left.swap(items_);
    return left;
  }

  // Returns once an item is there or the stop flag is raised; the item may
  // be gone again by the time the caller pops.
  void waitNotEmpty(const std::atomic<bool>& stopFlag)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait(lock, [&] { return !items_.empty() || stopFlag.load(); });
  }

  // The same with a time limit; false when it ran out with the queue empty
  // and the flag clear.
  bool waitNotEmptyFor(const std::atomic<bool>& stopFlag, std::chrono::milliseconds timeout)
  {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, timeout, [&] { return !items_.empty() || stopFlag.load(); });
  }

  T pop()
  {
    return popWith([](const T&) {});
  }

  // pop, calling whilePopping(item) before the mutex is released, so that
  // whatever it records follows the order of the queue.
  template <typename F> T popWith(F&& whilePopping)
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (items_.empty())
      throw EmptyQueueError("queue is empty");
    T item = std::move(items_.front());
    items_.pop_front();
    whilePopping(item);
    return item;
  }

  // The stop path: raises the flag and wakes every consumer in one critical
  // section, so that a consumer between its flag check and its wait cannot
  // miss it. Must not be called from a signal handler (it takes the mutex).
  void stopAndWakeAll(std::atomic<bool>& stopFlag)
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopFlag = true;
    cond_.notify_all();
  }

  std::size_t size() const
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return items_.size();
  }

private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<T> items_;
  bool closed_ = false;
};

// The queue from the listener to the workers.
using NotificationQueue = BlockingQueue<Notification>;
