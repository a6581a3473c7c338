#include "intake/notification_queue.h"

#include <algorithm>

namespace {

// The key of a notification with an id: an id has no NUL, so the first one
// ends it.
std::string keyOf(const Notification& item) { return item.id + '\0' + item.host; }

} // namespace

void NotificationQueue::setResendWindow(std::chrono::seconds window)
{
  std::lock_guard<std::mutex> guard(mutex_);
  resendWindow_ = window;
}

bool NotificationQueue::appliedLocked(const std::string& key, Clock::time_point now)
{
  while (!appliedOrder_.empty()
      && (appliedOrder_.size() > appliedLimit || now - appliedOrder_.front().second > resendWindow_)) {
    applied_.erase(appliedOrder_.front().first);
    appliedOrder_.pop_front();
  }
  return applied_.count(key) != 0;
}

void NotificationQueue::releaseCopiesLocked(Notification& item)
{
  if (item.id.empty())
    return;
  auto found = pending_.find(keyOf(item));
  if (found == pending_.end())
    return;
  item.copies = std::move(found->second);
  pending_.erase(found);
}

NotificationQueue::Offered NotificationQueue::offer(Notification&& item, std::size_t limit)
{
  Offered offered;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_) {
      offered.result = Offer::closed;
      return offered;
    }
    std::string key;
    if (!item.id.empty()) {
      key = keyOf(item);
      if (appliedLocked(key, Clock::now())) {
        offered.result = Offer::applied;
        return offered;
      }
      auto original = pending_.find(key);
      if (original != pending_.end()) {
        original->second.push_back({ item.replyTo, item.seq });
        offered.result = Offer::attached;
        return offered;
      }
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
      releaseCopiesLocked(*offered.dropped);
      --size_;
      if (most->second.waiting.empty() && !most->second.taken)
        dropLine(most->first);
    }
    queueLocked(std::move(item), std::move(key));
  }
  cond_.notify_one();
  return offered;
}

void NotificationQueue::queueLocked(Notification&& item, std::string key)
{
  if (!key.empty())
    pending_.emplace(std::move(key), std::vector<ReplyAddress>());
  Line& line = lines_[item.host];
  if (line.waiting.empty() && !line.taken)
    ready_.push_back(item.host);
  line.waiting.push_back(std::move(item));
  ++size_;
}

std::vector<NotificationQueue::Offer> NotificationQueue::offerBatch(
    std::vector<Notification>& items, std::size_t limit)
{
  std::vector<Offer> results(items.size(), Offer::queued);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (closed_ || (limit != 0 && size_ >= limit)) {
      std::fill(results.begin(), results.end(), closed_ ? Offer::closed : Offer::full);
      return results;
    }
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < items.size(); ++i) {
      Notification& item = items[i];
      std::string key;
      if (!item.id.empty()) {
        key = keyOf(item);
        auto original = pending_.find(key);
        if (appliedLocked(key, now)) {
          results[i] = Offer::applied;
          continue;
        }
        if (original != pending_.end()) {
          // An earlier item of the same batch is an original too.
          original->second.push_back({ item.replyTo, item.seq });
          results[i] = Offer::attached;
          continue;
        }
      }
      queueLocked(std::move(item), std::move(key));
    }
  }
  cond_.notify_all();
  return results;
}

void NotificationQueue::dropLine(const std::string& host)
{
  ready_.erase(std::find(ready_.begin(), ready_.end(), host));
  lines_.erase(host);
}

NotificationQueue::Lease NotificationQueue::takeLocked()
{
  std::string host = std::move(ready_.front());
  ready_.pop_front();
  Line& line = lines_[host];
  Lease item(*this, std::move(line.waiting.front()));
  line.waiting.pop_front();
  line.taken = true;
  --size_;
  return item;
}

std::optional<NotificationQueue::Lease> NotificationQueue::take(const std::atomic<bool>& stopFlag)
{
  std::unique_lock<std::mutex> lock(mutex_);
  cond_.wait(lock, [&] { return !ready_.empty() || stopFlag.load(); });
  if (stopFlag)
    return std::nullopt;
  return takeLocked();
}

std::optional<NotificationQueue::Lease> NotificationQueue::takeFor(
    const std::atomic<bool>& stopFlag, std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(mutex_);
  if (!cond_.wait_for(lock, timeout, [&] { return !ready_.empty() || stopFlag.load(); }) || stopFlag)
    return std::nullopt;
  return takeLocked();
}

void NotificationQueue::finish(Notification& item, Outcome outcome)
{
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (!item.id.empty()) {
      releaseCopiesLocked(item);
      if (outcome == Outcome::stored || outcome == Outcome::duplicate) {
        const Clock::time_point now = Clock::now();
        std::string key = keyOf(item);
        if (!appliedLocked(key, now)) {
          applied_.emplace(key, now);
          appliedOrder_.emplace_back(std::move(key), now);
        }
      }
    }
    wake = releaseHostLocked(item.host);
  }
  if (wake)
    cond_.notify_one();
  for (const ReplyAddress& copy : item.copies)
    if (copy.replyTo)
      copy.replyTo->send(copy.seq, outcome);
}

void NotificationQueue::done(const std::string& host)
{
  bool wake = false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    wake = releaseHostLocked(host);
  }
  if (wake)
    cond_.notify_one();
}

bool NotificationQueue::releaseHostLocked(const std::string& host)
{
  auto line = lines_.find(host);
  if (line == lines_.end())
    return false;
  line->second.taken = false;
  if (line->second.waiting.empty()) {
    lines_.erase(line);
    return false;
  }
  ready_.push_back(host);
  return true;
}

std::deque<Notification> NotificationQueue::close()
{
  std::lock_guard<std::mutex> guard(mutex_);
  closed_ = true;
  std::deque<Notification> left;
  for (auto& [host, line] : lines_) {
    for (Notification& item : line.waiting) {
      releaseCopiesLocked(item);
      left.push_back(std::move(item));
    }
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
