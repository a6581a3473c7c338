#include "intake/notification_queue.h"

#include <algorithm>

namespace {

// The key of a notification with an id: an id has no NUL, so the first one
// ends it.
std::string keyOf(const Notification& item) { return item.id + '\0' + item.host; }

} // namespace

void NotificationQueue::setResendWindow(std::chrono::seconds window) { state_.lock()->resendWindow = window; }

bool NotificationQueue::State::isApplied(const std::string& key, Clock::time_point now)
{
  while (!appliedOrder.empty()
      && (appliedOrder.size() > appliedLimit || now - appliedOrder.front().second > resendWindow)) {
    applied.erase(appliedOrder.front().first);
    appliedOrder.pop_front();
  }
  return applied.count(key) != 0;
}

void NotificationQueue::State::releaseCopies(Notification& item)
{
  if (item.id.empty())
    return;
  auto found = pending.find(keyOf(item));
  if (found == pending.end())
    return;
  item.copies = std::move(found->second);
  pending.erase(found);
}

bool NotificationQueue::State::dropForLimit(const std::string& host, std::optional<Notification>& dropped)
{
  // The host with the most waiting pays; on a tie, the newcomer's.
  auto own = lines.find(host);
  const std::size_t mine = own == lines.end() ? 0 : own->second.waiting.size();
  auto most = std::max_element(lines.begin(), lines.end(),
      [](const auto& a, const auto& b) { return a.second.waiting.size() < b.second.waiting.size(); });
  if (most == lines.end() || most->second.waiting.size() <= mine)
    return false;
  dropped = std::move(most->second.waiting.back());
  most->second.waiting.pop_back();
  releaseCopies(*dropped);
  --size;
  if (most->second.waiting.empty() && !most->second.taken)
    dropLine(most->first);
  return true;
}

NotificationQueue::Offered NotificationQueue::offer(Notification&& item, std::size_t limit)
{
  Offered offered;
  {
    auto state = state_.lock();
    if (state->closed) {
      offered.result = Offer::closed;
      return offered;
    }
    std::string key;
    if (!item.id.empty()) {
      key = keyOf(item);
      if (state->isApplied(key, Clock::now())) {
        offered.result = Offer::applied;
        return offered;
      }
      auto original = state->pending.find(key);
      if (original != state->pending.end()) {
        original->second.push_back({ item.replyTo, item.seq });
        offered.result = Offer::attached;
        return offered;
      }
    }
    if (limit != 0 && state->size >= limit && !state->dropForLimit(item.host, offered.dropped)) {
      offered.result = Offer::full;
      return offered;
    }
    if (!state->queue(std::move(item), std::move(key)))
      return offered;
  }
  cond_.notify_one();
  return offered;
}

bool NotificationQueue::State::queue(Notification&& item, std::string key)
{
  if (!key.empty())
    pending.emplace(std::move(key), std::vector<ReplyAddress>());
  Line& line = lines[item.host];
  const bool becameReady = line.waiting.empty() && !line.taken;
  if (becameReady)
    ready.push_back(item.host);
  line.waiting.push_back(std::move(item));
  ++size;
  return becameReady;
}

std::vector<NotificationQueue::Offer> NotificationQueue::offerBatch(std::vector<Notification>& items, std::size_t limit)
{
  std::vector<Offer> results(items.size(), Offer::queued);
  std::size_t becameReady = 0;
  {
    auto state = state_.lock();
    if (state->closed || (limit != 0 && state->size >= limit)) {
      std::fill(results.begin(), results.end(), state->closed ? Offer::closed : Offer::full);
      return results;
    }
    const Clock::time_point now = Clock::now();
    for (std::size_t i = 0; i < items.size(); ++i) {
      Notification& item = items[i];
      std::string key;
      if (!item.id.empty()) {
        key = keyOf(item);
        auto original = state->pending.find(key);
        if (state->isApplied(key, now)) {
          results[i] = Offer::applied;
          continue;
        }
        if (original != state->pending.end()) {
          // An earlier item of the same batch is an original too.
          original->second.push_back({ item.replyTo, item.seq });
          results[i] = Offer::attached;
          continue;
        }
      }
      becameReady += state->queue(std::move(item), std::move(key)) ? 1 : 0;
    }
  }
  // As many workers as hosts became ready: the others would find nothing.
  for (std::size_t i = 0; i < becameReady; ++i)
    cond_.notify_one();
  return results;
}

void NotificationQueue::State::dropLine(const std::string& host)
{
  ready.erase(std::find(ready.begin(), ready.end(), host));
  lines.erase(host);
}

Notification NotificationQueue::State::takeNext()
{
  std::string host = std::move(ready.front());
  ready.pop_front();
  Line& line = lines[host];
  Notification item = std::move(line.waiting.front());
  line.waiting.pop_front();
  line.taken = true;
  --size;
  return item;
}

std::optional<NotificationQueue::Lease> NotificationQueue::take(const std::atomic<bool>& stopFlag)
{
  auto state = state_.lock();
  state.wait(cond_, [&](const State& now) { return takeable(now, stopFlag); });
  if (stopFlag)
    return std::nullopt;
  return Lease(*this, state->takeNext());
}

std::optional<NotificationQueue::Lease> NotificationQueue::takeFor(
    const std::atomic<bool>& stopFlag, std::chrono::milliseconds timeout)
{
  auto state = state_.lock();
  if (!state.waitFor(cond_, timeout, [&](const State& now) { return takeable(now, stopFlag); }) || stopFlag)
    return std::nullopt;
  return Lease(*this, state->takeNext());
}

void NotificationQueue::finish(Notification& item, Outcome outcome)
{
  bool wake = false;
  {
    auto state = state_.lock();
    if (!item.id.empty()) {
      state->releaseCopies(item);
      if (outcome == Outcome::stored || outcome == Outcome::duplicate) {
        const Clock::time_point now = Clock::now();
        std::string key = keyOf(item);
        if (!state->isApplied(key, now)) {
          state->applied.emplace(key, now);
          state->appliedOrder.emplace_back(std::move(key), now);
        }
      }
    }
    wake = state->releaseHost(item.host);
  }
  if (wake)
    cond_.notify_one();
  for (const ReplyAddress& copy : item.copies)
    if (copy.replyTo)
      copy.replyTo->send(copy.seq, outcome);
}

void NotificationQueue::done(const std::string& host)
{
  if (state_.lock()->releaseHost(host))
    cond_.notify_one();
}

bool NotificationQueue::State::releaseHost(const std::string& host)
{
  auto line = lines.find(host);
  if (line == lines.end())
    return false;
  line->second.taken = false;
  if (line->second.waiting.empty()) {
    lines.erase(line);
    return false;
  }
  ready.push_back(host);
  return true;
}

std::deque<Notification> NotificationQueue::close()
{
  auto state = state_.lock();
  state->closed = true;
  std::deque<Notification> left;
  for (auto& [host, line] : state->lines) {
    for (Notification& item : line.waiting) {
      state->releaseCopies(item);
      left.push_back(std::move(item));
    }
    line.waiting.clear();
  }
  state->ready.clear();
  state->size = 0;
  return left;
}

void NotificationQueue::stopAndWakeAll(std::atomic<bool>& stopFlag)
{
  auto state = state_.lock();
  stopFlag = true;
  cond_.notify_all();
}

std::size_t NotificationQueue::size() const { return state_.lock()->size; }

std::size_t NotificationQueue::State::hostsWaiting() const
{
  return ready.size() + static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [](const auto& line) {
    return line.second.taken && !line.second.waiting.empty();
  }));
}

std::size_t NotificationQueue::hostsWaiting() const { return state_.lock()->hostsWaiting(); }
