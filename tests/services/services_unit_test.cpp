#include "services/service.h"
#include "services/service_registry.h"

#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

namespace {

TEST(TokenizerTest, SplitsAsStoredParametersExpect)
{
  struct Case {
    std::string text;
    std::vector<std::string> tokens;
  } cases[] = {
    { "-H host -p \"two words\" -x 'more words'", { "-H", "host", "-p", "two words", "-x", "more words" } },
    { "   one     two  ", { "one", "two" } },
    { "a '' b", { "a", "b" } },
    { "pre\"mid dle\"post", { "premid dlepost" } },
    { "-m \"abc  def", { "-m", "abc  def" } },
    { "\"it's fine\"", { "its", "fine" } },
    { "a\\ b c\\\"d e\"", { "a\\", "b", "c\\d e" } },
    { "a\tb c", { "a\tb", "c" } },
  };
  for (const Case& c : cases)
    EXPECT_EQ(tokenizeParameter(c.text), c.tokens) << c.text;
}

// A service replaced under its host lives on for whoever holds it.
TEST(RegistryTest, ReplacedAndClearedServicesLiveOnForTheirHolders)
{
  ServiceRegistry registry;
  auto first = std::make_shared<SyslogService>();
  first->serviceName = "first";
  registry.addService("fw01", std::move(first));
  std::shared_ptr<SyslogService> held = registry.getService("fw01");
  registry.addService("fw01", std::make_shared<SyslogService>());
  EXPECT_EQ(held->serviceName, "first");
  LogCapture capture;
  EXPECT_TRUE(registry.find("fw01"));
  EXPECT_FALSE(registry.find("sw01"));
  EXPECT_EQ(capture.text(), "search fw01\nsearch sw01\n");
  // A reload of the same service keeps the state in memory, even what a worker writes afterwards through the object
  // it still holds; another service starts from its own.
  auto handled = std::make_shared<SyslogService>(), reloaded = std::make_shared<SyslogService>();
  handled->serviceId = reloaded->serviceId = 7;
  handled->setStored(ServiceState::critical, "CRITICAL");
  reloaded->setStored(ServiceState::ok, "the row as the loader read it");
  registry.addService("gw01", handled);
  registry.addService("gw01", reloaded);
  EXPECT_EQ(registry.getService("gw01")->state(), ServiceState::critical);
  handled->setStored(ServiceState::warning, "WARNING");
  EXPECT_EQ(registry.getService("gw01")->stored().lastStdout, "WARNING");
  auto other = std::make_shared<SyslogService>();
  other->serviceId = 8;
  registry.addService("gw01", other);
  EXPECT_EQ(registry.getService("gw01")->state(), ServiceState::ok);
  registry.clear();
  EXPECT_TRUE(registry.empty());
  EXPECT_EQ(registry.getService("fw01"), nullptr);
}

} // namespace
