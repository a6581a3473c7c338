#include "tests/support/certificates.h"
#include "tests/support/test_process.h"
#include "tests/support/daemon_config.h"
#include "tests/support/free_port.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>
#include <memory>
#include <vector>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

// The real daemon with four workers, fed by the real sender tool.
class EndToEndTest : public ::testing::Test {
protected:
  virtual bool ownCluster() const { return false; }

  void SetUp() override
  {
    if (ownCluster())
      cluster = std::make_unique<PrivateCluster>();
    db = cluster ? std::make_unique<TestDatabase>(cluster->envFile()) : std::make_unique<TestDatabase>();
    std::string plugin = dir.write("plugin.sh",
        "#!/bin/sh\nread line\ncase \"$line\" in\n  *CRIT*) echo \"CRITICAL: $line\"; exit 2;;\n"
        "  *WARN*) echo \"WARNING: $line\"; exit 1;;\n  *PENDING*) echo pending; exit 4;;\n  *SILENT*) exit 0;;\n"
        "  *) echo \"OK: $line\"; exit 0;;\nesac\n",
        true);
    alerts = dir.path() + "/alerts.txt";
    std::string alerter = dir.write("alert.sh", "#!/bin/sh\necho \"$@\" >> " + alerts + "\n", true);
    db->exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin + "')");
    db->exec("INSERT INTO quelm_program (program_id, program_path) VALUES (1, '" + alerter + "')");
    db->exec("INSERT INTO quelm_device (device_id, device_name) VALUES (1, 'fw01'), (2, 'sw01'), (3, 'gw01'), "
             "(4, 'old01'), (5, 'young01')");
    // old01 and young01 are CRITICAL with an occurrence opened ten minutes
    // ago; young01 closes its errors only after thirty minutes.
    db->exec("INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
             "service_previous_state, service_last_stdout) VALUES (1, 'fw01-syslog', 1, 1, 0, ''), "
             "(2, 'sw01-syslog', 1, 2, 0, ''), (3, 'gw01-syslog', 1, 3, 0, ''), (4, 'old01-syslog', 1, 4, 2, 'x'), "
             "(5, 'young01-syslog', 1, 5, 2, 'x')");
    db->exec("INSERT INTO quelm_service_response_program VALUES (1, 1, true, true, true, true, 'id=$ERROR'), "
             "(2, 1, true, false, false, false, ''), (3, 1, true, true, false, false, 'gw $ERROR'), "
             "(4, 1, true, false, true, false, 'old $ERROR'), (5, 1, true, false, true, false, 'young $ERROR')");
    db->exec("INSERT INTO quelm_device_advance_config (adv_device_id, adv_param) VALUES (5, '{\"during_alert\":\"30\"}')");
    db->exec("INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, happen_timestamp) "
             "VALUES (2, 4, 4, now() - interval '10 minute'), (2, 5, 5, now() - interval '10 minute')");
    port = freeLoopbackPort();
    std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
    config = writeReceiverConfig(dir, *db,
        { { "SYSLOG.port", std::to_string(port) }, { "SYSLOG.certificate", pem }, { "SYSLOG.thread", "4" } });
    logPath = dir.path() + "/receiver.log";
    daemon = std::make_unique<TestProcess>(std::vector<std::string> { binaryDir + "/quelm-receiver", "-f", config, "-D" });
    ASSERT_TRUE(waitFor(30, [&] { return log().find("SYSLOG was starting....") != std::string::npos; })) << log();
  }

  std::string log() { return readFile(logPath); }

  int notify(const std::vector<std::string>& args, const std::string& input = "")
  {
    std::vector<std::string> argv { binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(port) + "/" };
    argv.insert(argv.end(), args.begin(), args.end());
    TestProcess sender(argv, input);
    return sender.wait(30);
  }

  bool rowReaches(int serviceId, const std::string& stateText)
  {
    return waitFor(20, [&] {
      return db->scalar("SELECT service_previous_state FROM quelm_services WHERE service_id=" + std::to_string(serviceId))
          == stateText;
    });
  }

  std::unique_ptr<PrivateCluster> cluster;
  std::unique_ptr<TestDatabase> db;
  TempDir dir;
  std::string alerts, config, logPath;
  int port = 0;
  std::unique_ptr<TestProcess> daemon;
};

TEST_F(EndToEndTest, NotificationsChangeStatesAndSigtermEndsCleanly)
{
  ASSERT_EQ(notify({ "--host", "fw01", "--message", "link CRIT down" }), 0);
  ASSERT_TRUE(rowReaches(1, "2")) << log();
  std::string open = db->scalar("SELECT happen_id FROM quelm_error_happen WHERE happen_acquitte=0 AND happen_service_id=1");
  ASSERT_FALSE(open.empty());
  // The argument holding $ERROR is replaced whole by the occurrence id.
  EXPECT_TRUE(waitFor(10, [&] { return ("\n" + readFile(alerts)).find("\n" + open + "\n") != std::string::npos; }))
      << readFile(alerts);
  EXPECT_NE(db->scalar("SELECT service_last_stdout FROM quelm_services WHERE service_id=1")
                .find("CRITICAL: {\"fromhost\":\"fw01\",\"message\":\"link CRIT down\"}"),
      std::string::npos);

  // Hostile and unknown input leaves the daemon serving.
  EXPECT_EQ(notify({ "--json", "{not json" }), 0);
  EXPECT_EQ(notify({ "--json", "[1,2,3]" }), 0);
  EXPECT_EQ(notify({ "--host", "nobody", "--message", "CRIT" }), 0);

  // Several senders at once for one host, mixing states, then a final OK.
  std::vector<std::unique_ptr<TestProcess>> senders;
  for (int i = 0; i < 4; ++i) {
    std::string lines;
    for (int j = 0; j < 5; ++j)
      lines += std::string((i + j) % 2 ? "CRIT" : "fine") + " " + std::to_string(i) + "\n";
    senders.push_back(std::make_unique<TestProcess>(
        std::vector<std::string> { binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(port) + "/",
            "--stdin", "--host", "sw01" },
        lines));
  }
  for (auto& sender : senders)
    EXPECT_EQ(sender->wait(30), 0);
  ASSERT_TRUE(waitFor(30, [&] {
    return db->scalar("SELECT count(*) FROM quelm_services WHERE service_id=2 AND service_last_exec_time IS NOT NULL")
        == "1";
  }));
  ASSERT_EQ(notify({ "--host", "sw01", "--message", "all fine" }), 0);
  ASSERT_TRUE(waitFor(30, [&] {
    return db->scalar("SELECT service_last_stdout FROM quelm_services WHERE service_id=2").find("all fine")
        != std::string::npos;
  }));
  EXPECT_EQ(db->scalar("SELECT service_previous_state FROM quelm_services WHERE service_id=2"), "0");
  EXPECT_EQ(db->scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_acquitte=0 AND happen_service_id=2"), "0");

  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait(60), 0) << daemon->output();
  std::string text = log();
  EXPECT_NE(text.find("#INFO#stop Receiver... SIGTERM"), std::string::npos);
  size_t ends = 0;
  for (size_t at = text.find("\tfin thread: "); at != std::string::npos; at = text.find("\tfin thread: ", at + 1))
    ++ends;
  EXPECT_EQ(ends, 4u) << text;
  EXPECT_NE(text.find("nbr:0 "), std::string::npos);
  EXPECT_GT(text.find("#INFO#FINISH"), text.rfind("\tfin thread: "));
  EXPECT_NE(text.find("search nobody"), std::string::npos);
  EXPECT_NE(text.find("search daemonbadhost"), std::string::npos);
}

std::string occurrences(TestDatabase& db, int serviceId)
{
  std::string out;
  for (auto& row : db.rows("SELECT happen_error_id, happen_acquitte FROM quelm_error_happen WHERE happen_service_id="
           + std::to_string(serviceId) + " ORDER BY happen_id"))
    out += (out.empty() ? "" : " ") + row[0] + ":" + row[1];
  return out;
}

TEST_F(EndToEndTest, TheRoadOfAServiceItsFailuresAndTheCleaningThread)
{
  // The cleaning thread's first pass, at start-up, closes the stale error
  // and alerts once; the young one stays.
  ASSERT_TRUE(rowReaches(4, "0")) << log();
  EXPECT_EQ(db->scalar("SELECT service_last_stdout FROM quelm_services WHERE service_id=4"),
      "OK: syslog daemon has acquit this error");
  EXPECT_EQ(occurrences(*db, 4), "2:1");
  std::string staleId = db->scalar("SELECT happen_id FROM quelm_error_happen WHERE happen_service_id=4");
  EXPECT_TRUE(waitFor(10, [&] { return readFile(alerts) == "old " + staleId + "\n"; })) << readFile(alerts);
  EXPECT_EQ(occurrences(*db, 5), "2:0");

  // CRITICAL (no alert for it), CRITICAL again (row only), WARNING (alert),
  // back to OK (alert naming the WARNING occurrence, then closed).
  auto sendAndWait = [&](const std::string& text, const std::string& state) {
    ASSERT_EQ(notify({ "--host", "gw01", "--message", text }), 0);
    ASSERT_TRUE(waitFor(20, [&] {
      return db->scalar("SELECT service_last_stdout FROM quelm_services WHERE service_id=3").find(text)
          != std::string::npos;
    })) << log();
    EXPECT_EQ(db->scalar("SELECT service_previous_state FROM quelm_services WHERE service_id=3"), state) << text;
  };
  sendAndWait("CRIT one", "2");
  EXPECT_EQ(occurrences(*db, 3), "2:0");
  sendAndWait("CRIT two", "2");
  EXPECT_EQ(occurrences(*db, 3), "2:0");
  sendAndWait("WARN three", "1");
  EXPECT_EQ(occurrences(*db, 3), "2:1 1:0");
  std::string warningId = db->scalar("SELECT happen_id FROM quelm_error_happen WHERE happen_service_id=3 AND "
                                     "happen_acquitte=0");
  sendAndWait("fine four", "0");
  EXPECT_EQ(occurrences(*db, 3), "2:1 1:1");
  EXPECT_TRUE(waitFor(10, [&] {
    return readFile(alerts) == "old " + staleId + "\ngw " + warningId + "\ngw " + warningId + "\n";
  })) << readFile(alerts);

  // A result of 4 is stored and nothing else happens.
  ASSERT_EQ(notify({ "--host", "gw01", "--message", "PENDING" }), 0);
  ASSERT_TRUE(rowReaches(3, "4")) << log();
  EXPECT_EQ(occurrences(*db, 3), "2:1 1:1");

  // A plugin that prints nothing: three failed runs, then UNKNOWN.
  ASSERT_EQ(notify({ "--host", "gw01", "--message", "SILENT" }), 0);
  ASSERT_TRUE(rowReaches(3, "3")) << log();
  EXPECT_EQ(db->scalar("SELECT service_last_stdout FROM quelm_services WHERE service_id=3"),
      "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(occurrences(*db, 3), "2:1 1:1 3:0");
  std::string text = log();
  size_t retries = 0;
  for (size_t at = text.find("#ERR#Excute failed retrygw01-syslog 3 "); at != std::string::npos;
       at = text.find("#ERR#Excute failed retrygw01-syslog 3 ", at + 1))
    ++retries;
  EXPECT_EQ(retries, 3u) << text;

  // A state update the database refuses is logged; the workers go on.
  db->exec("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN IF NEW.service_id = 1 THEN RAISE EXCEPTION "
           "'refused'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql");
  db->exec("CREATE TRIGGER refuse BEFORE UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION refuse()");
  ASSERT_EQ(notify({ "--host", "fw01", "--message", "CRIT refused" }), 0);
  ASSERT_TRUE(waitFor(20, [&] { return log().find("#Update service state failed: 1 fw01-syslog") != std::string::npos; }))
      << log();
  EXPECT_EQ(occurrences(*db, 1), "");
  sendAndWait("fine five", "0");
}

// The same daemon against a server of its own, restarted under it.
class DatabaseRestartTest : public EndToEndTest {
protected:
  bool ownCluster() const override { return true; }
};

TEST_F(DatabaseRestartTest, StatesAreStoredAgainAfterTheServerRestarts)
{
  ASSERT_EQ(notify({ "--host", "fw01", "--message", "CRIT before" }), 0);
  ASSERT_TRUE(rowReaches(1, "2")) << log();
  ASSERT_TRUE(cluster->control("restart"));
  // The next notification finds its pooled connection dropped, reconnects
  // and is stored; so is the one after it, on the other connection.
  ASSERT_EQ(notify({ "--host", "fw01", "--message", "fine after" }), 0);
  ASSERT_TRUE(rowReaches(1, "0")) << log();
  ASSERT_EQ(notify({ "--host", "sw01", "--message", "CRIT after" }), 0);
  ASSERT_TRUE(rowReaches(2, "2")) << log();
  EXPECT_EQ(db->scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_acquitte=0 AND happen_service_id < 3"), "1");
  std::string text = log();
  EXPECT_NE(text.find("#ERR#database connection lost, reconnecting: "), std::string::npos);
  EXPECT_NE(text.find("#INFO#database connection restored"), std::string::npos);
  EXPECT_EQ(text.find("Update service state failed"), std::string::npos) << text;
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait(60), 0);
}

// Acknowledged senders through the real daemon: every status they can get
// here, notifications that wait out a database outage, and a stop during
// one.
TEST_F(DatabaseRestartTest, AcknowledgedNotificationsOutliveAnOutageAndAStopDuringOne)
{
  EXPECT_EQ(notify({ "--ack", "--host", "fw01", "--message", "CRIT before" }), 0);
  EXPECT_EQ(notify({ "--ack", "--host", "nobody", "--message", "CRIT" }), 3);
  EXPECT_EQ(notify({ "--ack", "--json", "[1,2]" }), 3);

  ASSERT_TRUE(cluster->control("halt"));
  auto sentAt = std::chrono::steady_clock::now();
  TestProcess sender({ binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(port) + "/", "--ack",
                         "--stdin", "--timeout", "90" },
      "{\"fromhost\":\"sw01\",\"m\":\"CRIT\"}\n{\"fromhost\":\"gw01\",\"m\":\"WARN\"}\n"
      "{\"fromhost\":\"fw01\",\"m\":\"fine\"}\n{\"fromhost\":\"sw01\",\"m\":\"WARN\"}\n");
  std::this_thread::sleep_for(std::chrono::seconds(4));
  ASSERT_TRUE(cluster->control("resume"));
  // Every message is answered "stored", once the database is back.
  EXPECT_EQ(sender.wait(90), 0) << sender.output() << log();
  EXPECT_GT(std::chrono::steady_clock::now() - sentAt, std::chrono::seconds(4));
  EXPECT_EQ(db->scalar("SELECT string_agg(service_previous_state::text, ',' ORDER BY service_id) FROM quelm_services "
                       "WHERE service_id < 4"),
      "0,1,1");
  // Each change was recorded once, in each host's order.
  EXPECT_EQ(occurrences(*db, 1), "2:1");
  EXPECT_EQ(occurrences(*db, 2), "2:1 1:0");
  EXPECT_EQ(occurrences(*db, 3), "1:0");
  std::string text = log();
  EXPECT_EQ(text.find("Update service state failed"), std::string::npos) << text;
  EXPECT_NE(text.find("#INFO#database connection restored"), std::string::npos) << text;

  // A stop while the database is away: the result in hand is given up and
  // named, its sender told "shutdown" (send again), and the daemon ends as
  // usual.
  ASSERT_TRUE(cluster->control("halt"));
  TestProcess stranded(
      { binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(port) + "/", "--ack", "--timeout", "60",
          "--host", "gw01", "--message", "CRIT stranded" });
  std::this_thread::sleep_for(std::chrono::seconds(2));
  auto stopAt = std::chrono::steady_clock::now();
  daemon->signal(SIGTERM);
  EXPECT_EQ(daemon->wait(40), 0) << log();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(20));
  EXPECT_EQ(stranded.wait(30), 4) << stranded.output();
  text = log();
  EXPECT_NE(text.find("#ERR#"), std::string::npos);
  EXPECT_NE(text.find("notification from gw01 not stored, the Receiver is stopping: 3 gw01-syslog state 2"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("#INFO#FINISH"), std::string::npos);
  ASSERT_TRUE(cluster->control("resume"));
  EXPECT_EQ(db->scalar("SELECT service_previous_state FROM quelm_services WHERE service_id=3"), "1");
}

} // namespace
