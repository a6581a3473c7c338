#include "services/hash_map_service.h"

#include "core/log.h"

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

std::shared_ptr<SyslogService> named(const std::string& name)
{
  auto s = std::make_shared<SyslogService>();
  s->serviceName = name;
  return s;
}

TEST(RegistryTest, FindWritesItsSearchLineAndComparesExactly)
{
  ServiceRegistry registry;
  LogCapture log;
  EXPECT_FALSE(registry.find("fw01"));
  EXPECT_EQ(log.text(), "search fw01\n");

  registry.addService("fw01", named("a"));
  EXPECT_TRUE(registry.find("fw01"));
  EXPECT_FALSE(registry.find("FW01"));
  EXPECT_FALSE(registry.find("fw01 "));
  EXPECT_FALSE(registry.getService("fw0"));
  EXPECT_EQ(log.text(), "search fw01\nsearch fw01\nsearch FW01\nsearch fw01 \n");
}

TEST(RegistryTest, ReplacedServiceStaysUsableUntilItsLastHolderLetsGo)
{
  ServiceRegistry registry;
  registry.addService("host", named("first"));
  std::shared_ptr<SyslogService> held = registry.getService("host");
  std::weak_ptr<SyslogService> watch = held;

  registry.addService("host", named("second"));
  EXPECT_EQ(registry.size(), 1);
  EXPECT_EQ(registry.getService("host")->serviceName, "second");
  held->setReturnCode(2);
  EXPECT_EQ(held->getReturnCode(), 2);
  EXPECT_EQ(held->serviceName, "first");

  held.reset();
  EXPECT_TRUE(watch.expired());
}

TEST(RegistryTest, ClearDestroysWhatItHolds)
{
  ServiceRegistry registry;
  std::weak_ptr<SyslogService> a = [&] {
    auto s = named("a");
    registry.addService("a", s);
    return std::weak_ptr<SyslogService>(s);
  }();
  registry.addService("b", named("b"));
  std::shared_ptr<SyslogService> stillInUse = registry.getService("b");
  EXPECT_EQ(registry.size(), 2);

  registry.clear();
  EXPECT_TRUE(registry.empty());
  EXPECT_EQ(registry.size(), 0);
  EXPECT_TRUE(a.expired());
  EXPECT_EQ(stillInUse->serviceName, "b");
}

// Loader-like writers and worker-like readers at once, with log lines from
// both sides; meant to be run under ThreadSanitizer too.
TEST(RegistryTest, ConcurrentAddsAndLookups)
{
  ServiceRegistry registry;
  LogCapture log;
  const int hosts = 16;
  const int rounds = 200;
  std::atomic<int> found { 0 };
  std::vector<std::thread> threads;
  for (int writer = 0; writer < 2; ++writer) {
    threads.emplace_back([&, writer] {
      for (int round = 0; round < rounds; ++round) {
        std::string host = "h" + std::to_string(round % hosts);
        registry.addService(host, named(host));
        if (round % 50 == 0)
          writeLog("INFO", "writer " + std::to_string(writer));
      }
    });
  }
  for (int reader = 0; reader < 3; ++reader) {
    threads.emplace_back([&] {
      for (int round = 0; round < rounds; ++round) {
        std::string host = "h" + std::to_string(round % hosts);
        if (registry.find(host)) {
          std::shared_ptr<SyslogService> s = registry.getService(host);
          // Entries are never removed here, so a found host stays found.
          if (s && s->serviceName == host) {
            s->setReturnCode(s->getReturnCode() + 1);
            ++found;
          }
        }
      }
    });
  }
  for (std::thread& t : threads)
    t.join();
  EXPECT_EQ(registry.size(), hosts);
  EXPECT_GT(found.load(), 0);
  int lines = 0;
  std::istringstream text(log.text());
  for (std::string line; std::getline(text, line); ++lines)
    EXPECT_TRUE(line.rfind("search h", 0) == 0 || line.find("#INFO#writer ") != std::string::npos) << line;
  EXPECT_EQ(lines, 3 * rounds + 2 * (rounds / 50));
}

} // namespace
