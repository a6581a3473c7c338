#pragma once

#include <mutex>
#include <utility>

// A value and the mutex that guards it, in one object: the value can only
// be reached through a handle that holds the lock for its lifetime.
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
    Handle(std::mutex& mutex, T& value)
        : lock_(mutex)
        , value_(&value)
    {
    }
    T* operator->() const { return value_; }
    T& operator*() const { return *value_; }
    // For a condition variable's wait.
    std::unique_lock<std::mutex>& lock() { return lock_; }

  private:
    std::unique_lock<std::mutex> lock_;
    T* value_;
  };

  Handle lock() { return Handle(mutex_, value_); }
  // A copy of the value, taken under the lock.
  T copy() const
  {
    std::lock_guard<std::mutex> guard(mutex_);
    return value_;
  }

private:
  mutable std::mutex mutex_;
  T value_;
};
