#pragma once

#include "core/lock_guarded.h"

#include <boost/asio/io_service.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

// Counts events under a key and logs at most one line a second per key, so a
// flood cannot flood the log too. A line tells how many events came since the
// previous one; the events that follow the last line of a burst are reported
// by a timer a second after it.
class ThrottledReport {
public:
  // Makes the line for a key from the last event's detail and the count.
  using Format = std::function<std::string(const std::string& key, const std::string& detail, std::size_t count)>;
  // What time it is; the steady clock unless a test steers it.
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  ThrottledReport(boost::asio::io_service& io, Format format, Clock clock = &std::chrono::steady_clock::now);
  ThrottledReport(const ThrottledReport&) = delete;
  ThrottledReport& operator=(const ThrottledReport&) = delete;

  void count(const std::string& key, const std::string& detail);
  // Cancels the pending reports; for a stop. Later events are still counted.
  void cancel();

private:
  struct Entry {
    std::size_t since = 0;
    std::chrono::steady_clock::time_point lastLine {};
    std::string detail;
    std::unique_ptr<boost::asio::steady_timer> timer;
    bool armed = false;
  };
  struct Entries {
    std::map<std::string, Entry> byKey;
    bool cancelled = false;
  };
  // Logs the events counted since the last line; called under the entries' lock.
  void report(Entry& entry, const std::string& key);

  boost::asio::io_service& io_;
  const Format format_;
  const Clock clock_;
  LockGuarded<Entries> entries_;
};
