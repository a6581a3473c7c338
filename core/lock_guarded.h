#pragma once

#include "core/mutex.h"

#include <utility>

// A value and the mutex that guards it, in one object: the value can only
// be reached through a handle that holds the lock for its whole lifetime.
// A handle cannot unlock early; waiting on a condition is a method of the
// handle, which gives the lock up only inside the wait.
// The handle is not a scoped capability to clang: clang 14 cannot follow
// one returned by lock() and would report every release as unbalanced. The
// value needs no annotation outside this class, being unreachable without a
// handle; inside it, value_ is checked as guarded by mutex_.
template <typename T> class LockGuarded {
public:
  template <typename... Args>
  explicit LockGuarded(Args&&... args)
      : value_(std::forward<Args>(args)...)
  {
  }
  LockGuarded(const LockGuarded&) = delete;
  LockGuarded& operator=(const LockGuarded&) = delete;

  class Handle {
  public:
    explicit Handle(LockGuarded& owner) QUELM_NO_THREAD_SAFETY_ANALYSIS : owner_(owner) { owner_.mutex_.lock(); }
    ~Handle() QUELM_NO_THREAD_SAFETY_ANALYSIS { owner_.mutex_.unlock(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;

    T* operator->() const QUELM_NO_THREAD_SAFETY_ANALYSIS { return &owner_.value_; }
    T& operator*() const QUELM_NO_THREAD_SAFETY_ANALYSIS { return owner_.value_; }

    // Waits on `condition` until `ready(value)` holds.
    template <typename Ready> void wait(std::condition_variable& condition, Ready ready)
    {
      waitOn(condition, [&] { return ready(**this); });
    }
    // As wait, giving up at `deadline`; returns whether `ready(value)` holds.
    template <typename Clock, typename Duration, typename Ready>
    bool waitUntil(
        std::condition_variable& condition, const std::chrono::time_point<Clock, Duration>& deadline, Ready ready)
    {
      return waitUntilOn(condition, deadline, [&] { return ready(**this); });
    }
    template <typename Rep, typename Period, typename Ready>
    bool waitFor(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout, Ready ready)
    {
      return waitUntil(condition, std::chrono::steady_clock::now() + timeout, ready);
    }

  private:
    // The handle holds the mutex for its whole life; the waits re-take it
    // before returning.
    template <typename Ready>
    void waitOn(std::condition_variable& condition, Ready ready) QUELM_NO_THREAD_SAFETY_ANALYSIS
    {
      owner_.mutex_.wait(condition, ready);
    }
    template <typename Clock, typename Duration, typename Ready>
    bool waitUntilOn(std::condition_variable& condition, const std::chrono::time_point<Clock, Duration>& deadline,
        Ready ready) QUELM_NO_THREAD_SAFETY_ANALYSIS
    {
      return owner_.mutex_.waitUntil(condition, deadline, ready);
    }

    LockGuarded& owner_;
  };

  Handle lock() { return Handle(*this); }
  // A copy of the value, taken under the lock.
  T copy() const
  {
    MutexLock guard(mutex_);
    return value_;
  }

private:
  mutable Mutex mutex_;
  T value_ QUELM_GUARDED_BY(mutex_);
};
