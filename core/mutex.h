#pragma once

#include "core/thread_annotations.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

// std::mutex as a capability clang's thread-safety analysis knows. Data it
// guards is declared QUELM_GUARDED_BY(it); MutexLock holds it for a scope.
class QUELM_CAPABILITY("mutex") Mutex {
public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() QUELM_ACQUIRE() { mutex_.lock(); }
  void unlock() QUELM_RELEASE() { mutex_.unlock(); }
  bool try_lock() QUELM_TRY_ACQUIRE(true)
  {
    return mutex_.try_lock();
  } // NOLINT(readability-identifier-naming): BasicLockable

  // Waits on `condition` until `ready()` holds; the caller holds the mutex
  // before and after, as with std::condition_variable.
  template <typename Ready> void wait(std::condition_variable& condition, Ready ready) QUELM_REQUIRES(this)
  {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    condition.wait(held, ready);
    held.release();
  }
  // As wait, giving up at `deadline`; returns what `ready()` says then.
  template <typename Clock, typename Duration, typename Ready>
  bool waitUntil(std::condition_variable& condition, const std::chrono::time_point<Clock, Duration>& deadline,
      Ready ready) QUELM_REQUIRES(this)
  {
    std::unique_lock<std::mutex> held(mutex_, std::adopt_lock);
    bool result = condition.wait_until(held, deadline, ready);
    held.release();
    return result;
  }
  template <typename Rep, typename Period, typename Ready>
  bool waitFor(std::condition_variable& condition, const std::chrono::duration<Rep, Period>& timeout, Ready ready)
      QUELM_REQUIRES(this)
  {
    return waitUntil(condition, std::chrono::steady_clock::now() + timeout, ready);
  }

private:
  std::mutex mutex_;
};

// Holds a Mutex from construction to the end of the scope; it cannot be
// released early or moved, so every exit path unlocks exactly once.
class QUELM_SCOPED_CAPABILITY MutexLock {
public:
  explicit MutexLock(Mutex& mutex) QUELM_ACQUIRE(mutex)
      : mutex_(mutex)
  {
    mutex_.lock();
  }
  ~MutexLock() QUELM_RELEASE() { mutex_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

private:
  Mutex& mutex_;
};
