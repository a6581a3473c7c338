#include "intake/throttled_report.h"

#include "core/log.h"

ThrottledReport::ThrottledReport(boost::asio::io_service& io, Format format)
    : io_(io)
    , format_(std::move(format))
{
}

void ThrottledReport::count(const std::string& key, const std::string& detail)
{
  std::lock_guard<std::mutex> guard(lock_);
  Entry& entry = entries_[key];
  ++entry.since;
  entry.detail = detail;
  auto now = std::chrono::steady_clock::now();
  // A new entry's last line is the clock's epoch, long past. While a timer
  // is armed, it alone reports: a line now and its own a moment later would
  // make two within a second.
  if (!entry.armed && now - entry.lastLine >= std::chrono::seconds(1)) {
    reportLocked(entry, key);
    return;
  }
  if (entry.armed || cancelled_)
    return;
  if (!entry.timer)
    entry.timer = std::make_unique<boost::asio::steady_timer>(io_);
  entry.armed = true;
  entry.timer->expires_at(entry.lastLine + std::chrono::seconds(1));
  // Entries are never erased, so the entry outlives its timer's handler.
  entry.timer->async_wait([this, &entry, key](const boost::system::error_code& ec) {
    std::lock_guard<std::mutex> guard(lock_);
    entry.armed = false;
    if (!ec && entry.since > 0)
      reportLocked(entry, key);
  });
}

void ThrottledReport::cancel()
{
  std::lock_guard<std::mutex> guard(lock_);
  cancelled_ = true;
  for (auto& [key, entry] : entries_) {
    if (entry.timer)
      entry.timer->cancel();
  }
}

void ThrottledReport::reportLocked(Entry& entry, const std::string& key)
{
  writeLog("ERR", format_(key, entry.detail, entry.since));
  entry.since = 0;
  entry.lastLine = std::chrono::steady_clock::now();
}
