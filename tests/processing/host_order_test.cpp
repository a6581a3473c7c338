#include "processing/host_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

TEST(HostOrderTest, EachHostIsServedInTicketOrderWhateverTheThreadsDo)
{
  HostOrder order;
  const int perHost = 40;
  const std::vector<std::string> hosts { "fw01", "sw01", "ap01" };
  struct Job {
    std::string host;
    std::uint64_t ticket;
    int sequence;
  };
  std::vector<Job> jobs;
  std::vector<int> counters(hosts.size(), 0);
  // Tickets taken in arrival order, interleaving the hosts.
  for (int i = 0; i < perHost * static_cast<int>(hosts.size()); ++i) {
    size_t h = static_cast<size_t>(i) % hosts.size();
    jobs.push_back({ hosts[h], order.take(hosts[h]), counters[h]++ });
  }
  // Handed to threads in a shuffled order, each sleeping a little.
  std::shuffle(jobs.begin(), jobs.end(), std::mt19937(7));
  std::mutex seenLock;
  std::vector<std::vector<int>> seen(hosts.size());
  std::vector<std::thread> threads;
  for (const Job& job : jobs)
    threads.emplace_back([&, job] {
      HostTurn turn(order, job.host, job.ticket);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      std::lock_guard<std::mutex> guard(seenLock);
      size_t h = static_cast<size_t>(std::find(hosts.begin(), hosts.end(), job.host) - hosts.begin());
      seen[h].push_back(job.sequence);
    });
  for (auto& thread : threads)
    thread.join();
  for (size_t h = 0; h < hosts.size(); ++h) {
    ASSERT_EQ(seen[h].size(), static_cast<size_t>(perHost));
    EXPECT_TRUE(std::is_sorted(seen[h].begin(), seen[h].end())) << hosts[h];
  }
  // Nothing pending: a new ticket for a host starts a fresh line at once.
  std::uint64_t fresh = order.take("fw01");
  EXPECT_EQ(fresh, 0u);
  HostTurn immediate(order, "fw01", fresh);
}

} // namespace
