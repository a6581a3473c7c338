#pragma once

#include "core/errors.h"
#include "core/lock_guarded.h"
#include "intake/notification.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// pop on a queue that another consumer emptied first.
class EmptyQueueError : public ReceiverError {
public:
  using ReceiverError::ReceiverError;
};

// Unbounded blocking FIFO with any number of producers and consumers. A
// consumer calls waitNotEmpty, then pop; pop never blocks and throws when
// another consumer was faster. The items and the closed mark live under one
// lock, which the condition's waits give up.
template <typename T> class BlockingQueue {
public:
  BlockingQueue() = default;
  BlockingQueue(const BlockingQueue&) = delete;
  BlockingQueue& operator=(const BlockingQueue&) = delete;

  void push(T item)
  {
    state_.lock()->items.push_back(std::move(item));
    cond_.notify_one();
  }

  enum class Offer { queued, full, closed };

  // The listener's push: refused when limit items are already waiting (0:
  // no limit) or once the queue is closed.
  Offer offer(T&& item, std::size_t limit)
  {
    {
      auto state = state_.lock();
      if (state->closed)
        return Offer::closed;
      if (limit != 0 && state->items.size() >= limit)
        return Offer::full;
      state->items.push_back(std::move(item));
    }
    cond_.notify_one();
    return Offer::queued;
  }

  // Refuses every later offer and hands back what was still waiting, so that
  // a stopping daemon can account for each notification it will not handle.
  std::deque<T> close()
  {
    auto state = state_.lock();
    state->closed = true;
    std::deque<T> left;
    left.swap(state->items);
    return left;
  }

  // Returns once an item is there or the stop flag is raised; the item may
  // be gone again by the time the caller pops.
  void waitNotEmpty(const std::atomic<bool>& stopFlag)
  {
    state_.lock().wait(cond_, [&](const State& state) { return !state.items.empty() || stopFlag.load(); });
  }

  // The same with a time limit; false when it ran out with the queue empty
  // and the flag clear.
  bool waitNotEmptyFor(const std::atomic<bool>& stopFlag, std::chrono::milliseconds timeout)
  {
    return state_.lock().waitFor(
        cond_, timeout, [&](const State& state) { return !state.items.empty() || stopFlag.load(); });
  }

  T pop()
  {
    return popWith([](const T&) {});
  }

  // pop, calling whilePopping(item) before the mutex is released, so that
  // whatever it records follows the order of the queue.
  template <typename F> T popWith(F&& whilePopping)
  {
    auto state = state_.lock();
    if (state->items.empty())
      throw EmptyQueueError("queue is empty");
    T item = std::move(state->items.front());
    state->items.pop_front();
    whilePopping(item);
    return item;
  }

  // The stop path: raises the flag and wakes every consumer in one critical
  // section, so that a consumer between its flag check and its wait cannot
  // miss it. Must not be called from a signal handler (it takes the mutex).
  void stopAndWakeAll(std::atomic<bool>& stopFlag)
  {
    auto state = state_.lock();
    stopFlag = true;
    cond_.notify_all();
  }

  std::size_t size() const { return state_.lock()->items.size(); }

private:
  struct State {
    std::deque<T> items;
    bool closed = false;
  };
  // Mutable so that size() const can take the lock.
  mutable LockGuarded<State> state_;
  std::condition_variable cond_;
};

// The queue from the listener to the workers, fair between hosts. Each
// host's notifications wait in a line of their own, in the order received,
// and are handled one at a time: a host whose notification is in a worker's
// hands is not offered again until that worker is done with it. Hosts with
// work take turns in a ring, so that a busy (or hung) host occupies one
// worker at most while every other host is served. Under a limit, a full
// queue costs the host with the most waiting. A notification with an id is
// queued once: a copy of it (the same id from the same host) that comes
// while it waits or is handled is attached to it and gets its answer, and
// one that comes after it was applied is answered at once. Everything lives
// under one lock.
class NotificationQueue {
public:
  enum class Offer {
    queued,
    full,
    closed,
    // A copy of a notification still waiting or handled: it gets that one's
    // answer.
    attached,
    // A copy of a notification applied within the resend window: nothing is
    // left to do.
    applied,
  };
  struct Offered {
    Offer result = Offer::queued;
    // Queued in place of the newest notification of the host with the most
    // waiting, which is handed back to be answered "dropped".
    std::optional<Notification> dropped;
  };

  // How long an applied id is remembered here, at most: a copy within it is
  // recognised without a worker (older ones are left to the database).
  void setResendWindow(std::chrono::seconds window);
  // Ids remembered as applied, at most.
  static constexpr std::size_t appliedLimit = 50000;

  // The listener's push. With a limit (0: none) and limit notifications
  // already waiting, the new one is refused (full) only when its host has
  // the most waiting; otherwise it takes the place of the newest one of the
  // host that has. Refused once the queue is closed. A copy takes no place.
  Offered offer(Notification&& item, std::size_t limit);
  void push(Notification item) { offer(std::move(item), 0); }
  // A batch's push: every item, or none. Refused whole (every result full)
  // when limit notifications are already waiting (0: no limit), so that a
  // batch sent again finds nothing of its earlier try queued; a batch larger
  // than the limit goes in once fewer are waiting, so the queue holds at
  // most one batch beyond the limit. Copies among the items join their
  // originals or are known applied, as with offer(), and take no place.
  // Refused whole once the queue is closed. The result of each item, in
  // order; the items queued are moved from.
  std::vector<Offer> offerBatch(std::vector<Notification>& items, std::size_t limit);

  // A notification taken: its host is the holder's until the lease ends.
  // finish ends it with the outcome the notification was answered; a lease
  // that ends without one only lets the host go.
  class Lease {
  public:
    Lease(NotificationQueue& queue, Notification item)
        : queue_(&queue)
        , host_(item.host)
        , item_(std::move(item))
    {
    }
    Lease(Lease&& other) noexcept
        : queue_(std::exchange(other.queue_, nullptr))
        , host_(std::move(other.host_))
        , item_(std::move(other.item_))
    {
    }
    Lease& operator=(Lease&& other) noexcept
    {
      if (this != &other) {
        if (queue_ != nullptr)
          queue_->done(host_);
        queue_ = std::exchange(other.queue_, nullptr);
        host_ = std::move(other.host_);
        item_ = std::move(other.item_);
      }
      return *this;
    }
    ~Lease()
    {
      if (queue_ != nullptr)
        queue_->done(host_);
    }

    // The notification; it may be moved out when no finish follows.
    Notification& item() { return item_; }
    // The copies that joined the notification meanwhile get the same answer,
    // a stored (or duplicate) one is remembered as applied, and its host is
    // offered again: one critical section for all three.
    void finish(Outcome outcome)
    {
      if (queue_ != nullptr)
        std::exchange(queue_, nullptr)->finish(item_, outcome);
    }

  private:
    NotificationQueue* queue_;
    // The host held, kept apart from the notification.
    std::string host_;
    Notification item_;
  };

  // A worker's take: the oldest notification of the next host in turn that
  // nobody is handling, once there is one; none once the stop flag is
  // raised (what is still waiting stays for close()).
  std::optional<Lease> take(const std::atomic<bool>& stopFlag);
  // The same with a time limit: none when it ran out.
  std::optional<Lease> takeFor(const std::atomic<bool>& stopFlag, std::chrono::milliseconds timeout);

  // Refuses every later offer and hands back what was still waiting (with
  // its copies), so that a stopping daemon can account for each
  // notification it will not handle.
  std::deque<Notification> close();
  // Raises the flag and wakes every waiting worker in one critical section.
  void stopAndWakeAll(std::atomic<bool>& stopFlag);

  // Notifications waiting, and hosts that have some.
  std::size_t size() const;
  std::size_t hostsWaiting() const;

private:
  using Clock = std::chrono::steady_clock;
  struct Line {
    std::deque<Notification> waiting;
    bool taken = false;
  };
  // Everything the queue knows, reachable only with its lock held.
  struct State {
    std::unordered_map<std::string, Line> lines;
    // Hosts with waiting notifications that nobody is handling, in turn.
    std::deque<std::string> ready;
    std::size_t size = 0;
    bool closed = false;
    // Notifications with an id, from their offer to their answer, by id and
    // host: the copies attached meanwhile.
    std::unordered_map<std::string, std::vector<ReplyAddress>> pending;
    // Ids applied, by id and host, and the same keys oldest first.
    std::unordered_map<std::string, Clock::time_point> applied;
    std::deque<std::pair<std::string, Clock::time_point>> appliedOrder;
    Clock::duration resendWindow = std::chrono::seconds(600);

    // The oldest notification of the next host in turn; its host is taken.
    Notification takeNext();
    // Makes room under a limit at the cost of the host with the most
    // waiting; false when that host is the newcomer's (or none).
    bool dropForLimit(const std::string& host, std::optional<Notification>& dropped);
    void dropLine(const std::string& host);
    // The copies attached to a notification leave with it.
    void releaseCopies(Notification& item);
    bool isApplied(const std::string& key, Clock::time_point now);
    // The host's line offered again; true when a worker should be woken.
    bool releaseHost(const std::string& host);
    // Queues an item that is neither refused nor a copy; true when its host
    // became ready, the only case in which a worker should be woken (a host
    // being handled waits for its handler to finish).
    bool queue(Notification&& item, std::string key);
    std::size_t hostsWaiting() const;
  };
  // Whether a worker may take a notification now.
  static bool takeable(const State& state, const std::atomic<bool>& stopFlag)
  {
    return !state.ready.empty() || stopFlag.load();
  }
  void finish(Notification& item, Outcome outcome);
  void done(const std::string& host);

  // Mutable so that the const counts can take the lock.
  mutable LockGuarded<State> state_;
  std::condition_variable cond_;
};
