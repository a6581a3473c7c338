#include "bench/arrival_listener.h"

#include <poll.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

ArrivalListener::ArrivalListener(const ClusterSettings& cluster, std::size_t capacity, Clock::time_point epoch)
    : connection_(PQconnectdb(cluster.connectionString().c_str()))
    , capacity_(capacity)
    , epoch_(epoch)
    , arrivals_(new std::atomic<std::int64_t>[capacity])
{
  if (PQstatus(connection_) != CONNECTION_OK) {
    std::string message = PQerrorMessage(connection_);
    PQfinish(connection_);
    throw std::runtime_error("listener cannot connect: " + message);
  }
  for (std::size_t i = 0; i < capacity_; ++i)
    arrivals_[i].store(0, std::memory_order_relaxed);
  PGresult* result = PQexec(connection_, "LISTEN quelm_bench");
  bool ok = PQresultStatus(result) == PGRES_COMMAND_OK;
  PQclear(result);
  if (!ok) {
    std::string message = PQerrorMessage(connection_);
    PQfinish(connection_);
    throw std::runtime_error("LISTEN failed: " + message);
  }
  thread_ = std::thread([this] { run(); });
}

ArrivalListener::~ArrivalListener()
{
  stop_ = true;
  thread_.join();
  PQfinish(connection_);
}

std::uint64_t ArrivalListener::waitForCount(std::uint64_t target, Clock::time_point deadline)
{
  std::unique_lock<std::mutex> lock(countLock_);
  counted_.wait_until(lock, deadline, [&] { return count_.load() >= target; });
  return count_.load();
}

void ArrivalListener::record(const char* payload, std::int64_t now)
{
  const char* mark = std::strstr(payload, "n=");
  if (mark == nullptr) {
    ++strangers_;
    return;
  }
  char* end = nullptr;
  unsigned long long sequence = std::strtoull(mark + 2, &end, 10);
  if (end == mark + 2 || sequence >= capacity_) {
    ++strangers_;
    return;
  }
  std::int64_t expected = 0;
  if (!arrivals_[sequence].compare_exchange_strong(expected, now, std::memory_order_acq_rel))
    ++duplicates_;
  else
    ++count_;
}

void ArrivalListener::run()
{
  const int socket = PQsocket(connection_);
  // Wakes at least every 100 ms to see the stop flag.
  while (!stop_) {
    pollfd watched = { socket, POLLIN, 0 };
    int ready = ::poll(&watched, 1, 100);
    if (ready <= 0)
      continue;
    if (PQconsumeInput(connection_) == 0)
      break;
    std::int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch_).count();
    bool any = false;
    // Bounded per wake-up; what is left is read on the next one.
    for (int i = 0; i < 100000; ++i) {
      PGnotify* note = PQnotifies(connection_);
      if (note == nullptr)
        break;
      record(note->extra, now);
      PQfreemem(note);
      any = true;
    }
    if (any) {
      std::lock_guard<std::mutex> guard(countLock_);
      counted_.notify_all();
    }
  }
}
