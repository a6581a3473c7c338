#include "intake/throttled_report.h"

#include "core/log.h"

ThrottledReport::ThrottledReport(boost::asio::io_service& io, Format format, Clock clock)
    : io_(io)
    , format_(std::move(format))
    , clock_(std::move(clock))
{
}

void ThrottledReport::count(const std::string& key, const std::string& detail)
{
  auto entries = entries_.lock();
  Entry& entry = entries->byKey[key];
  ++entry.since;
  entry.detail = detail;
  auto now = clock_();
  // A new entry's last line is the clock's epoch, long past. While a timer
  // is armed, it alone reports: a line now and its own a moment later would
  // make two within a second.
  if (!entry.armed && now - entry.lastLine >= std::chrono::seconds(1)) {
    report(entry, key);
    return;
  }
  if (entry.armed || entries->cancelled)
    return;
  if (!entry.timer)
    entry.timer = std::make_unique<boost::asio::steady_timer>(io_);
  entry.armed = true;
  entry.timer->expires_after(entry.lastLine + std::chrono::seconds(1) - now);
  // Entries are never erased, so the entry outlives its timer's handler.
  entry.timer->async_wait([this, &entry, key](const boost::system::error_code& ec) {
    auto held = entries_.lock();
    entry.armed = false;
    if (!ec && entry.since > 0)
      report(entry, key);
  });
}

void ThrottledReport::cancel()
{
  auto entries = entries_.lock();
  entries->cancelled = true;
  for (auto& [key, entry] : entries->byKey) {
    if (entry.timer)
      entry.timer->cancel();
  }
}

void ThrottledReport::report(Entry& entry, const std::string& key)
{
  writeLog("ERR", format_(key, entry.detail, entry.since));
  entry.since = 0;
  entry.lastLine = clock_();
}
