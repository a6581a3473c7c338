#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/daemon_config.h"
#include "tests/support/free_port.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <iostream>
#include <thread>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

const std::string rsyslogd = "/usr/sbin/rsyslogd";

// Replaces the one occurrence of `from`; fails the test when it is missing,
// so that a changed shipped configuration is noticed here.
void replaceOnce(std::string& text, const std::string& from, const std::string& to)
{
  std::string::size_type at = text.find(from);
  ASSERT_NE(at, std::string::npos) << "not in the shipped rsyslog configuration: " << from;
  text.replace(at, from.size(), to);
}

// The shipped configuration, pointed at this build, a Receiver and a
// loopback port, with a private work directory and a diagnostics file.
std::string writeRsyslogConfig(const TempDir& dir, int syslogPort, const std::string& notifyUri)
{
  std::string rsyslogConf = readFile(binaryDir + "/packaging/rsyslog-quelm.conf");
  EXPECT_FALSE(rsyslogConf.empty());
  std::string listen = "address=\"127.0.0.1\" port=\"" + std::to_string(syslogPort) + "\"";
  replaceOnce(rsyslogConf, "input(type=\"imudp\" port=\"514\"", "input(type=\"imudp\" " + listen);
  replaceOnce(rsyslogConf, "input(type=\"imtcp\" port=\"514\"", "input(type=\"imtcp\" " + listen);
  replaceOnce(rsyslogConf, QUELM_INSTALL_BINDIR "/quelm-notify wss://127.0.0.1:6514/",
      binaryDir + "/tools/quelm-notify " + notifyUri);
  replaceOnce(rsyslogConf, "template=\"QuelmJson\"\n",
      "template=\"QuelmJson\" output=\"" + dir.path() + "/notify.out\"\n");
  rsyslogConf = "global(workDirectory=\"" + dir.path() + "\")\n" + rsyslogConf + "\n*.* action(type=\"omfile\" file=\""
      + dir.path() + "/rsyslog.out\")\n";
  return dir.write("rsyslog.conf", rsyslogConf);
}

// Every line forwarded by a real rsyslog with the shipped configuration is
// stored at least once, although during the run the Receiver is stopped and
// started again, killed and started again, and the database is away for
// twenty seconds. The plugin echoes each line's sequence number and a
// trigger records every stored one.
TEST(RsyslogForwardingTest, EveryLineIsStoredThroughRestartsAKillAndADatabaseOutage)
{
  CommandResult check = runCommand(rsyslogd + " -N1 -f " + shellQuote(binaryDir + "/packaging/rsyslog-quelm.conf"));
  ASSERT_EQ(check.status, 0) << check.out << check.err;
  const int hosts = 20;
  const int lineCount = 2000;

  PrivateCluster cluster;
  TestDatabase db(cluster.envFile());
  TempDir dir;
  std::string plugin = dir.write("echo-seq.sh",
      "#!/bin/sh\nread line\nrest=${line#*seq=}\necho \"OK seq=${rest%%[!0-9]*}\"\n", true);
  db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin + "')");
  for (int h = 0; h < hosts; ++h) {
    std::string id = std::to_string(h + 1);
    std::string name = "host" + std::string(h < 10 ? "0" : "") + std::to_string(h);
    db.exec("INSERT INTO quelm_device (device_id, device_name) VALUES (" + id + ", '" + name + "')");
    db.exec("INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
            "service_previous_state, service_last_stdout) VALUES ("
        + id + ", '" + name + "-syslog', 1, " + id + ", 0, '')");
  }
  db.exec("CREATE TABLE delivered (seq int)");
  db.exec("CREATE FUNCTION record_seq() RETURNS trigger AS $$ BEGIN INSERT INTO delivered SELECT "
          "substring(NEW.service_last_stdout from 'seq=([0-9]+)')::int WHERE NEW.service_last_stdout ~ 'seq=[0-9]'; "
          "RETURN NEW; END $$ LANGUAGE plpgsql");
  db.exec("CREATE TRIGGER record_seq AFTER UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION record_seq()");

  int receiverPort = freeLoopbackPort();
  std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
  std::string config = writeReceiverConfig(dir, db,
      { { "SYSLOG.port", std::to_string(receiverPort) }, { "SYSLOG.certificate", pem }, { "SYSLOG.thread", "4" } });
  std::string logPath = dir.path() + "/receiver.log";
  std::string logs;
  std::unique_ptr<TestProcess> receiver;
  auto startReceiver = [&] {
    receiver = std::make_unique<TestProcess>(std::vector<std::string> { binaryDir + "/quelm-receiver", "-f", config, "-D" });
    return waitFor(30, [&] { return readFile(logPath).find("SYSLOG was starting....") != std::string::npos; });
  };
  ASSERT_TRUE(startReceiver()) << readFile(logPath);

  int syslogPort = freeLoopbackPort();
  std::string notifyUri = "wss://127.0.0.1:" + std::to_string(receiverPort) + "/";
  std::string confPath = writeRsyslogConfig(dir, syslogPort, notifyUri);
  ASSERT_FALSE(HasFatalFailure());
  auto rsyslog = std::make_unique<TestProcess>(
      std::vector<std::string> { rsyslogd, "-n", "-f", confPath, "-i", dir.path() + "/rsyslogd.pid" });
  auto diagnostics = [&] {
    return "rsyslogd: " + rsyslog->output() + "\nrsyslog internal: " + readFile(dir.path() + "/rsyslog.out")
        + "\nearlier receiver logs: " + logs + "\nreceiver log: " + readFile(logPath);
  };
  auto distinct = [&] { return std::stoi(db.scalar("SELECT count(DISTINCT seq) FROM delivered")); };

  std::string lines;
  for (int seq = 1; seq <= lineCount; ++seq) {
    int h = seq % hosts;
    lines += "<14>Dec  7 05:00:00 host" + std::string(h < 10 ? "0" : "") + std::to_string(h)
        + " probe: event seq=" + std::to_string(seq) + "\n";
  }
  // Over one TCP connection, once rsyslog listens.
  ASSERT_TRUE(waitFor(20, [&] {
    return runCommand("exec bash -c 'cat >/dev/tcp/127.0.0.1/" + std::to_string(syslogPort) + "'", lines).status == 0;
  })) << diagnostics();

  auto storedReaches = [&](int target) { return waitFor(120, [&] { return distinct() >= target; }); };
  // A stop and a start.
  ASSERT_TRUE(storedReaches(300)) << diagnostics();
  receiver->signal(SIGTERM);
  ASSERT_EQ(receiver->wait(40), 0) << diagnostics();
  logs += readFile(logPath);
  ASSERT_TRUE(startReceiver()) << diagnostics();
  // A kill and a start.
  ASSERT_TRUE(storedReaches(800)) << diagnostics();
  receiver->signal(SIGKILL);
  receiver->wait(10);
  logs += readFile(logPath);
  ASSERT_TRUE(startReceiver()) << diagnostics();
  // The database away for twenty seconds under the running Receiver.
  ASSERT_TRUE(storedReaches(1300)) << diagnostics();
  ASSERT_TRUE(cluster.control("halt"));
  std::this_thread::sleep_for(std::chrono::seconds(20));
  ASSERT_TRUE(cluster.control("resume"));

  EXPECT_TRUE(waitFor(240, [&] { return distinct() == lineCount; }))
      << distinct() << " stored; missing: "
      << db.scalar("SELECT string_agg(s::text, ',') FROM generate_series(1, " + std::to_string(lineCount)
             + ") s WHERE s NOT IN (SELECT seq FROM delivered)")
      << "\nquelm-notify: " << readFile(dir.path() + "/notify.out") << "\n" << diagnostics();
  EXPECT_EQ(db.scalar("SELECT count(*) FROM delivered WHERE seq NOT BETWEEN 1 AND " + std::to_string(lineCount)), "0");
  std::string duplicates = db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered");
  RecordProperty("duplicates", duplicates);
  std::cout << "lines " << lineCount << ", stored " << distinct() << ", duplicates " << duplicates << std::endl;

  rsyslog->signal(SIGTERM);
  EXPECT_EQ(rsyslog->wait(30), 0) << diagnostics();
  receiver->signal(SIGTERM);
  EXPECT_EQ(receiver->wait(40), 0);
}

} // namespace
