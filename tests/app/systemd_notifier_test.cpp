#include "app/metrics_endpoint.h"
#include "app/systemd_notifier.h"

#include "tests/support/command.h"
#include "tests/support/datagram_listener.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>

namespace {

// A watchdog of 0.4 s: the notifier writes every 0.2 s and feeds the watchdog only while nothing is wrong, except
// once the stop has begun.
TEST(SystemdNotifierTest, TheWatchdogIsFedOnlyWhileNothingIsWrong)
{
  TempDir dir;
  DatagramListener systemd(dir.path() + "/notify.sock");
  ASSERT_TRUE(systemd.bound());
  std::string seen;
  LogCapture log;
  std::atomic<bool> stuck { false };
  {
    // The variables go with the scope, however it ends.
    std::shared_ptr<void> unset(nullptr, [](void*) { ::unsetenv("NOTIFY_SOCKET"), ::unsetenv("WATCHDOG_USEC"); });
    ::setenv("NOTIFY_SOCKET", (dir.path() + "/notify.sock").c_str(), 1);
    ::setenv("WATCHDOG_USEC", "400000", 1);
    SystemdNotifier notifier;
    EXPECT_EQ(notifier.watchdogPeriod(), std::chrono::milliseconds(400));
    notifier.ready("starting");
    EXPECT_EQ(systemd.next(std::chrono::seconds(2)).value_or(""), "READY=1\nSTATUS=starting");
    notifier.start([] { return "3 sessions"; }, [&] { return stuck ? std::string("the loop is stuck") : ""; });
    EXPECT_EQ(systemd.next(std::chrono::seconds(2)).value_or(""), "STATUS=3 sessions\nWATCHDOG=1");

    stuck = true;
    ASSERT_TRUE(systemd.until("STATUS=3 sessions", 2, seen)) << seen;
    // From the first status after the problem was seen, no datagram feeds the watchdog.
    ASSERT_TRUE(waitFor(2, [&] { return systemd.next(std::chrono::seconds(1)).value_or("") == "STATUS=3 sessions"; }));
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(systemd.next(std::chrono::seconds(1)).value_or(""), "STATUS=3 sessions");

    stuck = false;
    EXPECT_TRUE(systemd.until("WATCHDOG=1", 2, seen)) << seen;
    // The stop has its own time limit: the watchdog is fed whatever the checks say.
    stuck = true;
    notifier.stopping();
    EXPECT_TRUE(systemd.until("STOPPING=1", 2, seen)) << seen;
    EXPECT_TRUE(systemd.until("WATCHDOG=1", 2, seen)) << seen;
  }
  EXPECT_EQ(countOf(log.text(), "#ERR#watchdog not fed, systemd will restart the Receiver: the loop is stuck"), 1u)
      << log.text();
  EXPECT_EQ(countOf(log.text(), "#INFO#watchdog fed again"), 1u) << log.text();
}

// The endpoint serves on its own port; an address already taken is refused.
TEST(MetricsEndpointTest, ServesOnItsAddressAndRefusesOneTaken)
{
  Metrics metrics;
  metrics.observeStored(std::chrono::milliseconds(30));
  MetricsEndpoint endpoint("127.0.0.1:0", metrics, {});
  std::string text = runCommand("curl -sf http://127.0.0.1:" + std::to_string(endpoint.port()) + "/metrics").out;
  const std::string buckets = "quelm_receiver_receipt_to_stored_seconds_bucket{le=\"0.025\"} 0\n"
                              "quelm_receiver_receipt_to_stored_seconds_bucket{le=\"0.05\"} 1\n";
  EXPECT_NE(text.find(buckets), std::string::npos) << text;
  EXPECT_THROW(MetricsEndpoint("127.0.0.1:" + std::to_string(endpoint.port()), metrics, {}), std::exception);
}

} // namespace
