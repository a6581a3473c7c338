#include "services/service_queue.h"

#include <gtest/gtest.h>

#include <random>

namespace {

service make(long long id, long seconds, long micros = 0)
{
  service s;
  s.serviceId = id;
  s.serviceName = "s" + std::to_string(id);
  s.nextExecTime = { seconds, micros };
  return s;
}

TEST(ServiceQueueTest, HandsOutTheEarliestFirst)
{
  WaitServiceQueue queue;
  queue.push(make(1, 300));
  queue.push(make(2, 100));
  queue.push(make(3, 200));
  EXPECT_EQ(queue.size(), 3);
  EXPECT_EQ(queue.front().nextExecTime.tv_sec, 100);
  EXPECT_EQ(queue.pop().nextExecTime.tv_sec, 100);
  EXPECT_EQ(queue.pop().nextExecTime.tv_sec, 200);
  EXPECT_EQ(queue.pop().nextExecTime.tv_sec, 300);
  EXPECT_TRUE(queue.empty());
  EXPECT_THROW(queue.front(), ContainerError);
  EXPECT_THROW(queue.pop(), ContainerError);

  // Equal seconds: either order, both come out.
  queue.push(make(4, 100, 900));
  queue.push(make(5, 100, 5));
  long long a = queue.pop().serviceId;
  long long b = queue.pop().serviceId;
  EXPECT_EQ(a + b, 9);
  EXPECT_TRUE(queue.empty());
}

TEST(ServiceQueueTest, RandomTimesComeOutSortedPast2038Too)
{
  WaitServiceQueue queue;
  std::mt19937_64 random(7);
  for (int i = 0; i < 500; ++i)
    queue.push(make(i, static_cast<long>(random() % 8589934592ull)));
  queue.push(make(900, 2147483748l));
  queue.push(make(901, 100));
  long previous = -1;
  while (!queue.empty()) {
    long next = queue.pop().nextExecTime.tv_sec;
    EXPECT_LE(previous, next);
    previous = next;
  }
}

TEST(UpdateServiceMapTest, LaterCopyWinsAndFetchingTakesItOut)
{
  UpdateServiceMap map;
  map.addService(make(42, 10));
  service second = make(42, 20);
  second.parameter = "-x";
  map.addService(second);
  EXPECT_EQ(map.size(), 1);
  EXPECT_TRUE(map.find(42));

  service taken = map.getService(42);
  EXPECT_EQ(taken.nextExecTime.tv_sec, 20);
  EXPECT_EQ(taken.parameter, "-x");
  EXPECT_FALSE(map.find(42));
  EXPECT_TRUE(map.empty());
  EXPECT_THROW(map.getService(42), ContainerError);
}

} // namespace
