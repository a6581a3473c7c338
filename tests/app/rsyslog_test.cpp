#include "tests/app/rsyslog_forwarding.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/daemon_config.h"
#include "tests/support/free_port.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <thread>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;
const std::string rsyslogd = "/usr/sbin/rsyslogd";

// Every line forwarded by a real rsyslog with the shipped configuration is stored at least once, although the Receiver
// is stopped and started, killed and started, and its database away for twenty seconds meanwhile. The plugin echoes
// each line's sequence number and a trigger records every stored one.
TEST(RsyslogForwardingTest, EveryLineIsStoredThroughRestartsAKillAndADatabaseOutage)
{
  CommandResult check = runCommand(rsyslogd + " -N1 -f " + shellQuote(binaryDir + "/packaging/rsyslog-quelm.conf"));
  ASSERT_EQ(check.status, 0) << check.out << check.err;
  const int lineCount = 2000;
  PrivateCluster cluster;
  TestDatabase db(cluster.envFile());
  TempDir dir;
  std::string plugin
      = dir.write("echo-seq.sh", "#!/bin/sh\nread line\nrest=${line#*seq=}\necho \"OK seq=${rest%%[!0-9]*}\"\n", true);
  db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin + "')");
  // Twenty hosts, host00 to host19, each with a syslog service.
  db.exec("INSERT INTO quelm_device (device_id, device_name) "
          "SELECT h + 1, 'host' || lpad(h::text, 2, '0') FROM generate_series(0, 19) h;"
          "INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
          "service_previous_state, service_last_stdout) "
          "SELECT h + 1, 'host' || lpad(h::text, 2, '0') || '-syslog', 1, h + 1, 0, '' FROM generate_series(0, 19) h;"
          "CREATE TABLE delivered (seq int);"
          "CREATE FUNCTION record_seq() RETURNS trigger AS $$ BEGIN INSERT INTO delivered SELECT "
          "substring(NEW.service_last_stdout from 'seq=([0-9]+)')::int WHERE NEW.service_last_stdout ~ 'seq=[0-9]'; "
          "RETURN NEW; END $$ LANGUAGE plpgsql;"
          "CREATE TRIGGER record_seq AFTER UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION record_seq()");

  int receiverPort = freeLoopbackPort();
  std::string config = writeReceiverConfig(dir, db,
      { { "SYSLOG.port", std::to_string(receiverPort) },
          { "SYSLOG.certificate", makeCertificatePem(dir, "receiver.pem", "localhost") }, { "SYSLOG.thread", "4" } });
  std::string logPath = dir.path() + "/receiver.log", logs;
  std::unique_ptr<TestProcess> receiver;
  auto startReceiver = [&] {
    receiver
        = std::make_unique<TestProcess>(std::vector<std::string> { binaryDir + "/quelm-receiver", "-f", config, "-D" });
    return waitFor(30, [&] { return readFile(logPath).find("SYSLOG was starting....") != std::string::npos; });
  };
  ASSERT_TRUE(startReceiver()) << readFile(logPath);

  RsyslogForwarding forwarding(
      dir, "wss://127.0.0.1:" + std::to_string(receiverPort) + "/", dir.path() + "/receiver.pem");
  ASSERT_EQ(forwarding.missing, "") << "not in the shipped rsyslog configuration";
  const std::string confPath = forwarding.confPath;
  const int syslogPort = forwarding.port;
  TestProcess rsyslog({ rsyslogd, "-n", "-f", confPath, "-i", dir.path() + "/rsyslogd.pid" });
  auto diagnostics = [&] {
    return "rsyslogd: " + rsyslog.output() + "\nrsyslog internal: " + readFile(dir.path() + "/rsyslog.out")
        + "\nearlier receiver logs: " + logs + "\nreceiver log: " + readFile(logPath);
  };
  auto distinct = [&] { return std::stoi(db.scalar("SELECT count(DISTINCT seq) FROM delivered")); };

  // Over one TCP connection, once rsyslog listens.
  std::string lines;
  for (int seq = 1; seq <= lineCount; ++seq)
    lines += "<14>Dec  7 05:00:00 host" + std::to_string(seq % 20 / 10) + std::to_string(seq % 10)
        + " probe: event seq=" + std::to_string(seq) + "\n";
  ASSERT_TRUE(waitFor(20, [&] {
    return runCommand("exec bash -c 'cat >/dev/tcp/127.0.0.1/" + std::to_string(syslogPort) + "'", lines).status == 0;
  })) << diagnostics();
  // A stop and a start, a kill and a start, then the database away for twenty seconds under the running Receiver.
  for (const auto& [stored, stop] : { std::pair { 300, SIGTERM }, std::pair { 800, SIGKILL } }) {
    ASSERT_TRUE(waitFor(120, [&, want = stored] { return distinct() >= want; })) << diagnostics();
    receiver->signal(stop);
    ASSERT_EQ(receiver->wait(40), stop == SIGTERM ? 0 : 128 + SIGKILL) << diagnostics();
    logs += readFile(logPath);
    ASSERT_TRUE(startReceiver()) << diagnostics();
  }
  ASSERT_TRUE(waitFor(120, [&] { return distinct() >= 1300; })) << diagnostics();
  ASSERT_TRUE(cluster.control("halt"));
  std::this_thread::sleep_for(std::chrono::seconds(20));
  ASSERT_TRUE(cluster.control("resume"));

  EXPECT_TRUE(waitFor(240, [&] { return distinct() == lineCount; }))
      << distinct() << " stored; missing: "
      << db.scalar("SELECT string_agg(s::text, ',') FROM generate_series(1, " + std::to_string(lineCount)
             + ") s WHERE s NOT IN (SELECT seq FROM delivered)")
      << "\nquelm-notify: " << readFile(dir.path() + "/notify.out") << "\n"
      << diagnostics();
  EXPECT_EQ(db.scalar("SELECT count(*) FROM delivered WHERE seq NOT BETWEEN 1 AND " + std::to_string(lineCount)), "0");
  RecordProperty("duplicates", db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered"));
  rsyslog.signal(SIGTERM);
  EXPECT_EQ(rsyslog.wait(30), 0) << diagnostics();
  receiver->signal(SIGTERM);
  EXPECT_EQ(receiver->wait(40), 0);
}

} // namespace
