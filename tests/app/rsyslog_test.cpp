#include "tests/app/rsyslog_forwarding.h"
#include "tests/app/site.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/free_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;
const std::string rsyslogd = "/usr/sbin/rsyslogd";

// Every line forwarded by a real rsyslog with the shipped configuration is stored at least once, although the Receiver
// is stopped and started, killed and started, and its database away for twenty seconds meanwhile.
TEST(RsyslogForwardingTest, EveryLineIsStoredThroughRestartsAKillAndADatabaseOutage)
{
  CommandResult check = runCommand(rsyslogd + " -N1 -f " + shellQuote(binaryDir + "/packaging/rsyslog-quelm.conf"));
  ASSERT_EQ(check.status, 0) << check.out << check.err;
  const int lineCount = 2000;
  PrivateCluster cluster;
  TempDir dir;
  Site site(dir, "site", 20, 0, cluster.envFile());
  const int receiverPort = freeLoopbackPort();
  const std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost"), logPath = dir.path() + "/receiver.log";
  std::string logs;
  std::unique_ptr<TestProcess> receiver;
  auto startReceiver = [&] {
    receiver = site.startReceiver(dir, "receiver", receiverPort, pem);
    return started(logPath);
  };
  ASSERT_TRUE(startReceiver()) << readFile(logPath);

  RsyslogForwarding forwarding(dir, "wss://127.0.0.1:" + std::to_string(receiverPort) + "/", pem);
  ASSERT_EQ(forwarding.missing, "") << "not in the shipped rsyslog configuration";
  TestProcess rsyslog({ rsyslogd, "-n", "-f", forwarding.confPath, "-i", dir.path() + "/rsyslogd.pid" });
  auto diagnostics = [&] {
    return forwarding.diagnostics(rsyslog) + "\nearlier receiver logs: " + logs
        + "\nreceiver log: " + readFile(logPath);
  };
  // Over one TCP connection, once rsyslog listens.
  ASSERT_TRUE(forwarding.send(syslogLines(lineCount, 20))) << diagnostics();
  // A stop and a start, a kill and a start, then the database away for twenty seconds under the running Receiver.
  for (const auto& [stored, stop] : { std::pair { 300, SIGTERM }, std::pair { 800, SIGKILL } }) {
    ASSERT_TRUE(waitFor(120, [&, want = stored] { return site.delivered() >= want; })) << diagnostics();
    receiver->signal(stop);
    ASSERT_EQ(receiver->wait(40), stop == SIGTERM ? 0 : 128 + SIGKILL) << diagnostics();
    logs += readFile(logPath);
    ASSERT_TRUE(startReceiver()) << diagnostics();
  }
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 1300; })) << diagnostics();
  ASSERT_TRUE(cluster.control("halt"));
  std::this_thread::sleep_for(std::chrono::seconds(20));
  ASSERT_TRUE(cluster.control("resume"));

  EXPECT_TRUE(waitFor(240, [&] { return site.delivered() == lineCount; }))
      << site.delivered() << " stored; missing: " << site.missing(lineCount) << "\n"
      << diagnostics();
  EXPECT_EQ(
      site.db.scalar("SELECT count(*) FROM delivered WHERE seq NOT BETWEEN 1 AND " + std::to_string(lineCount)), "0");
  RecordProperty("duplicates", site.db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered"));
  rsyslog.signal(SIGTERM);
  EXPECT_EQ(rsyslog.wait(30), 0) << diagnostics();
  receiver->signal(SIGTERM);
  EXPECT_EQ(receiver->wait(40), 0);
}

} // namespace
