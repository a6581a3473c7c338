#include "tests/app/rsyslog_forwarding.h"
#include "tests/app/site.h"
#include "tests/support/certificates.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

namespace {

// Two Receivers in cluster mode over a primary with a streaming standby, both servers listed in their configuration
// with target_session_attrs=read-write, fed by a real rsyslog through quelm-notify given both Receivers. Under load the
// primary is stopped (fast shutdown) and two seconds later the standby promoted. The Receivers hold what they could not
// store, reconnect to the promoted standby and store it there; rsyslog sends again whatever was not acknowledged. Every
// line ends up on the new primary: one refused for good while the standby was read-only would be confirmed and lost.
TEST(FailoverTest, ReceiversFollowThePromotedStandbyAndLoseNothingAcknowledged)
{
  const int lineCount = 1600;
  PrivateCluster cluster;
  ASSERT_TRUE(cluster.startStandby());
  TempDir dir;
  const std::string hosts = "127.0.0.1,127.0.0.1";
  const std::string standbyPort = clusterSetting(cluster.standbyEnvFile(), "PGPORT");
  const std::string ports = clusterSetting(cluster.envFile(), "PGPORT") + "," + standbyPort;
  // The test's own connection lists both servers as well: libpq takes the primary first, and its reset after the
  // failover reaches the promoted standby.
  std::string env = "PGHOST=" + hosts + "\nPGPORT=" + ports + "\n";
  for (const char* key : { "PGUSER", "PGPASSWORD", "PGDATABASE" })
    env += std::string(key) + "=" + clusterSetting(cluster.envFile(), key) + "\n";
  Site site(dir, "site", 20, 0, dir.write("both.env", env));
  const std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
  std::string uris;
  std::vector<std::unique_ptr<TestProcess>> receivers;
  for (const char* name : { "first", "second" }) {
    const int port = freeLoopbackPort();
    uris += "wss://127.0.0.1:" + std::to_string(port) + "/ ";
    receivers.push_back(site.startReceiver(dir, name, port, pem,
        { { "POSTGRESQL.cluster", "1" }, { "POSTGRESQL.PGSQL_host", hosts }, { "POSTGRESQL.PGSQL_port", ports },
            { "POSTGRESQL.target_session_attrs", "read-write" } }));
    ASSERT_TRUE(started(dir.path() + "/" + name + ".log")) << readFile(dir.path() + "/" + name + ".log");
  }
  auto logs = [&] { return readFile(dir.path() + "/first.log") + readFile(dir.path() + "/second.log"); };

  RsyslogForwarding forwarding(dir, uris.substr(0, uris.size() - 1), pem);
  ASSERT_EQ(forwarding.missing, "") << "not in the shipped rsyslog configuration";
  TestProcess rsyslog({ "/usr/sbin/rsyslogd", "-n", "-f", forwarding.confPath, "-i", dir.path() + "/rsyslogd.pid" });
  ASSERT_TRUE(forwarding.send(syslogLines(lineCount, 20))) << forwarding.diagnostics(rsyslog);
  ASSERT_TRUE(waitFor(60, [&] { return site.delivered() >= 300; })) << forwarding.diagnostics(rsyslog);
  ASSERT_TRUE(cluster.control("halt"));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(cluster.controlStandby("promote"));

  EXPECT_TRUE(waitFor(240, [&] { return site.delivered() == lineCount; }))
      << "missing: " << site.missing(lineCount) << "\n"
      << forwarding.diagnostics(rsyslog) << logs();
  EXPECT_EQ(
      site.db.scalar("SELECT pg_is_in_recovery()::text || ' ' || current_setting('port')"), "false " + standbyPort);
  EXPECT_GE(countOf(logs(), "#ERR#database connection lost, reconnecting: "), 1u);
  EXPECT_GE(countOf(logs(), "#INFO#database connection restored"), 1u);
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM doubled"), "0");
  rsyslog.signal(SIGTERM);
  EXPECT_EQ(rsyslog.wait(30), 0);
  for (auto& receiver : receivers) {
    receiver->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(60), 0);
  }
}

} // namespace
