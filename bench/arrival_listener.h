#pragma once

#include "bench/bench_database.h"

#include <libpq-fe.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

// Listens on the "quelm_bench" channel, which the bench_notify trigger feeds
// with each updated row's last output. The output holds "n=<sequence>", so
// every arrival is stamped with the time its update was seen committed.
class ArrivalListener {
public:
  using Clock = std::chrono::steady_clock;

  ArrivalListener(const ClusterSettings& cluster, std::size_t capacity, Clock::time_point epoch);
  ~ArrivalListener();
  ArrivalListener(const ArrivalListener&) = delete;
  ArrivalListener& operator=(const ArrivalListener&) = delete;

  // Nanoseconds since the epoch at which sequence arrived; 0 if not yet.
  std::int64_t arrival(std::size_t sequence) const { return arrivals_[sequence].load(std::memory_order_acquire); }
  std::uint64_t count() const { return count_.load(); }
  std::uint64_t duplicates() const { return duplicates_.load(); }
  std::uint64_t strangers() const { return strangers_.load(); }
  // The server process of the listening session.
  pid_t backendPid() const { return PQbackendPID(connection_); }
  // Waits until count() >= target or the deadline; returns count().
  std::uint64_t waitForCount(std::uint64_t target, Clock::time_point deadline);

private:
  void run();
  void record(const char* payload, std::int64_t now);

  PGconn* connection_ = nullptr;
  std::size_t capacity_;
  Clock::time_point epoch_;
  std::unique_ptr<std::atomic<std::int64_t>[]> arrivals_;
  std::atomic<std::uint64_t> count_ { 0 };
  std::atomic<std::uint64_t> duplicates_ { 0 };
  std::atomic<std::uint64_t> strangers_ { 0 };
  std::atomic<bool> stop_ { false };
  std::mutex countLock_;
  std::condition_variable counted_;
  std::thread thread_;
};
