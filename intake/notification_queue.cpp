#include "intake/notification_queue.h"

#include <algorithm>

NotificationQueue::Offered NotificationQueue::offer(Notification&& item, std::size_t limit)
{
  Offered offered;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) {
      offered.result = Offer::closed;
      return offered;
    }
    if (limit != 0 && size_ >= limit) {
      // The host with the most waiting pays; on a tie, the newcomer's.
      auto own = lines_.find(item.host);
      const std::size_t mine = own == lines_.end() ? 0 : own->second.waiting.size();
      auto most = std::max_element(lines_.begin(), lines_.end(),
          [](const auto& a, const auto& b) { return a.second.waiting.size() < b.second.waiting.size(); });
      if (most == lines_.end() || most->second.waiting.size() <= mine) {
        offered.result = Offer::full;
        return offered;
      }
      offered.dropped = std::move(most->second.waiting.back());
      most->second.waiting.pop_back();
      --size_;
      if (most->second.waiting.empty() && !most->second.taken)
        dropLine(most->first);
    }
    Line& line = lines_[item.host];
    if (line.waiting.empty() && !line.taken)
      ready_.push_back(item.host);
    line.waiting.push_back(std::move(item));
    ++size_;
  }
  cond_.notify_one();
  return offered;
}

void NotificationQueue::dropLine(const std::string& host)
{
  ready_.erase(std::find(ready_.begin(), ready_.end(), host));
  lines_.erase(host);
}

std::optional<Notification> NotificationQueue::takeLocked()
{
  std::string host = std::move(ready_.front());
  ready_.pop_front();
  Line& line = lines_[host];
  std::optional<Notification> item = std::move(line.waiting.front());
  line.waiting.pop_front();
  line.taken = true;
  --size_;
  return item;
}

std::optional<Notification> NotificationQueue::take(const std::atomic<bool>& stopFlag)
{
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [&] { return !ready_.empty() || stopFlag.load(); });
  if (stopFlag)
    return std::nullopt;
  return takeLocked();
}

std::optional<Notification> NotificationQueue::takeFor(
    const std::atomic<bool>& stopFlag, std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cond_.wait_for(lock, timeout, [&] { return !ready_.empty() || stopFlag.load(); }) || stopFlag)
    return std::nullopt;
  return takeLocked();
}

void NotificationQueue::done(const std::string& host)
{
  {
    std::lock_guard<std::mutex> guard(mutex_);
    auto line = lines_.find(host);
    if (line == lines_.end())
      return;
    line->second.taken = false;
    if (line->second.waiting.empty()) {
      lines_.erase(line);
      return;
    }
    ready_.push_back(host);
  }
  cond_.notify_one();
}

std::deque<Notification> NotificationQueue::close()
{
  std::lock_guard<std::mutex> guard(mutex_);
  closed_ = true;
  std::deque<Notification> left;
  for (auto& [host, line] : lines_) {
    for (Notification& item : line.waiting)
      left.push_back(std::move(item));
    line.waiting.clear();
  }
  ready_.clear();
  size_ = 0;
  return left;
}

void NotificationQueue::stopAndWakeAll(std::atomic<bool>& stopFlag)
{
  std::lock_guard<std::mutex> guard(mutex_);
  stopFlag = true;
  cond_.notify_all();
}

std::size_t NotificationQueue::size() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return size_;
}

std::size_t NotificationQueue::hostsWaiting() const
{
  std::lock_guard<std::mutex> guard(mutex_);
  return ready_.size() + static_cast<std::size_t>(std::count_if(lines_.begin(), lines_.end(),
                             [](const auto& line) { return line.second.taken && !line.second.waiting.empty(); }));
}
