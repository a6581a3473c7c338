#include "intake/execute_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The consumer loop the workers run: wait, leave on the flag, pop, and take
// an empty queue as another consumer having been faster.
std::vector<notification> consume(ExecuteQueue<notification>& queue, std::atomic<int>& stop)
{
  std::vector<notification> taken;
  for (;;) {
    queue.waitNotEmpty(stop);
    if (stop.load() != 0)
      return taken;
    try {
      taken.push_back(queue.pop());
    } catch (const EmptyQueueException&) {
    }
  }
}

TEST(ExecuteQueueTest, PopOnEmptyThrowsAndLeavesQueueUsable)
{
  ExecuteQueue<notification> queue;
  try {
    queue.pop();
    FAIL() << "pop on an empty queue returned";
  } catch (const EmptyQueueException& error) {
    EXPECT_STREQ(error.what(), "queue is empty");
  }
  queue.push(notification { "router-1", "{\"fromhost\":\"router-1\"}" });
  notification got = queue.pop();
  EXPECT_EQ(got.host, "router-1");
  EXPECT_EQ(got.message, "{\"fromhost\":\"router-1\"}");
  EXPECT_THROW(queue.pop(), EmptyQueueException);
}

TEST(ExecuteQueueTest, ItemsLeaveInPushOrder)
{
  ExecuteQueue<notification> queue;
  const notification sent[] = { { "a", "1" }, { "b", "2" }, { "c", "3" } };
  for (const notification& item : sent)
    queue.push(item);
  for (const notification& item : sent) {
    notification got = queue.pop();
    EXPECT_EQ(got.host, item.host);
    EXPECT_EQ(got.message, item.message);
  }
}

TEST(ExecuteQueueTest, FifoAcrossConcurrentProducers)
{
  ExecuteQueue<notification> queue;
  const int producers = 4;
  const int perProducer = 3000;
  std::vector<std::thread> threads;
  for (int p = 0; p < producers; ++p)
    threads.emplace_back([&, p] {
      for (int i = 0; i < perProducer; ++i)
        queue.push(notification { std::to_string(p), std::to_string(i) });
    });
  for (auto& thread : threads)
    thread.join();

  std::vector<int> next(producers, 0);
  for (int n = 0; n < producers * perProducer; ++n) {
    notification got = queue.pop();
    int p = std::stoi(got.host);
    ASSERT_EQ(std::stoi(got.message), next[p]) << "producer " << p << " out of order";
    ++next[p];
  }
  EXPECT_THROW(queue.pop(), EmptyQueueException);
}

TEST(ExecuteQueueTest, EveryItemGoesToExactlyOneConsumer)
{
  ExecuteQueue<notification> queue;
  std::atomic<int> stop { 0 };
  std::vector<std::future<std::vector<notification>>> consumers;
  for (int c = 0; c < 4; ++c)
    consumers.push_back(std::async(std::launch::async, [&] { return consume(queue, stop); }));

  const int items = 20000;
  std::thread producerA([&] {
    for (int i = 0; i < items; i += 2)
      queue.push(notification { "h", std::to_string(i) });
  });
  std::thread producerB([&] {
    for (int i = 1; i < items; i += 2)
      queue.push(notification { "h", std::to_string(i) });
  });
  producerA.join();
  producerB.join();
  // Let the consumers drain before stopping them: queued items are dropped.
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (queue.size() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  ASSERT_EQ(queue.size(), 0u);
  queue.stopAndWakeAll(stop);

  std::multiset<int> seen;
  for (auto& consumer : consumers) {
    ASSERT_EQ(consumer.wait_for(10s), std::future_status::ready) << "a consumer stayed blocked";
    for (const notification& item : consumer.get())
      seen.insert(std::stoi(item.message));
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(items));
  for (int i = 0; i < items; ++i)
    ASSERT_EQ(seen.count(i), 1u) << "item " << i;
}

TEST(ExecuteQueueTest, WaitNotEmptyReturnsAtOnceWithAnItemOrTheFlag)
{
  ExecuteQueue<notification> queue;
  std::atomic<int> stop { 0 };
  queue.push(notification { "h", "m" });
  auto withItem = std::async(std::launch::async, [&] { queue.waitNotEmpty(stop); });
  EXPECT_EQ(withItem.wait_for(5s), std::future_status::ready);
  queue.pop();

  stop = 1;
  auto withFlag = std::async(std::launch::async, [&] { queue.waitNotEmpty(stop); });
  EXPECT_EQ(withFlag.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(queue.size(), 0u);
}

TEST(ExecuteQueueTest, TimedWaitRunsOutOnEmptyQueue)
{
  ExecuteQueue<notification> queue;
  std::atomic<int> stop { 0 };
  auto before = std::chrono::steady_clock::now();
  EXPECT_FALSE(queue.waitNotEmptyFor(stop, 50ms));
  EXPECT_GE(std::chrono::steady_clock::now() - before, 50ms);
  queue.push(notification { "h", "m" });
  EXPECT_TRUE(queue.waitNotEmptyFor(stop, 50ms));
}

TEST(ExecuteQueueTest, OnePushWakesOneOfTwoBlockedConsumers)
{
  ExecuteQueue<notification> queue;
  std::atomic<int> stop { 0 };
  auto first = std::async(std::launch::async, [&] { return consume(queue, stop); });
  auto second = std::async(std::launch::async, [&] { return consume(queue, stop); });
  queue.push(notification { "only", "one" });
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (queue.size() > 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::yield();
  queue.stopAndWakeAll(stop);
  ASSERT_EQ(first.wait_for(10s), std::future_status::ready);
  ASSERT_EQ(second.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(first.get().size() + second.get().size(), 1u);
}

// Repeated so that a consumer caught between its flag check and its wait
// would show up as one that never returns.
TEST(ExecuteQueueTest, StopReleasesEveryBlockedConsumer)
{
  for (int round = 0; round < 200; ++round) {
    ExecuteQueue<notification> queue;
    std::atomic<int> stop { 0 };
    std::vector<std::future<std::vector<notification>>> consumers;
    for (int c = 0; c < 4; ++c)
      consumers.push_back(std::async(std::launch::async, [&] { return consume(queue, stop); }));
    queue.stopAndWakeAll(stop);
    EXPECT_EQ(stop.load(), 1);
    for (auto& consumer : consumers)
      ASSERT_EQ(consumer.wait_for(10s), std::future_status::ready) << "round " << round;
  }
}

TEST(ExecuteQueueTest, WakeAllAfterTheFlagReleasesEveryBlockedConsumer)
{
  ExecuteQueue<notification> queue;
  std::atomic<int> stop { 0 };
  std::vector<std::future<void>> waiters;
  for (int c = 0; c < 5; ++c)
    waiters.push_back(std::async(std::launch::async, [&] { queue.waitNotEmpty(stop); }));
  // Waiters must really be blocked: none may return while the flag is clear.
  for (auto& waiter : waiters)
    EXPECT_EQ(waiter.wait_for(20ms), std::future_status::timeout);
  stop = 1;
  queue.wakeAll();
  for (auto& waiter : waiters)
    EXPECT_EQ(waiter.wait_for(10s), std::future_status::ready);
}

TEST(ExecuteQueueTest, DestroyedQueueReleasesItsItems)
{
  auto tracked = std::make_shared<int>(7);
  {
    ExecuteQueue<std::shared_ptr<int>> queue;
    queue.push(tracked);
    queue.push(tracked);
    EXPECT_EQ(tracked.use_count(), 3);
  }
  EXPECT_EQ(tracked.use_count(), 1);
}

} // namespace
