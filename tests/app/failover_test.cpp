#include "tests/support/certificates.h"
#include "tests/support/daemon_config.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

// quelm-notify with acknowledgements, sending one Receiver numbered messages: message N comes from host N % 20 (host00
// to host19) and carries "seq=N".
class Sender {
public:
  Sender(int port, const std::string& pem, std::vector<int> seqs)
      : seqs_(std::move(seqs))
  {
    std::string lines;
    for (int seq : seqs_)
      lines += "{\"fromhost\":\"host" + std::to_string(seq % 20 / 10) + std::to_string(seq % 10)
          + "\",\"message\":\"event seq=" + std::to_string(seq) + "\"}\n";
    process_ = std::make_unique<TestProcess>(
        std::vector<std::string> { binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(port) + "/",
            "--cacert", pem, "--ack", "--stdin", "--verbose", "--timeout", "40" },
        lines);
  }

  int wait(double seconds) { return process_->wait(seconds); }
  const std::vector<int>& seqs() const { return seqs_; }

  // What quelm-notify said of its own, without the replies and the library's log.
  std::string summary() const
  {
    std::string said;
    std::istringstream lines(process_->output());
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind("quelm-notify: ", 0) == 0 && line.rfind("quelm-notify: reply ", 0) != 0)
        said += line + "\n";
    }
    return said;
  }

  // The status of each message that got a reply, by its sequence number: --verbose shows every reply, and the reply's
  // "seq" counts the lines sent.
  std::map<int, std::string> replies() const
  {
    const std::string prefix = "quelm-notify: reply ";
    std::map<int, std::string> statuses;
    std::istringstream lines(process_->output());
    for (std::string line; std::getline(lines, line);) {
      if (line.rfind(prefix, 0) != 0)
        continue;
      Json::Value reply;
      std::istringstream(line.substr(prefix.size())) >> reply;
      std::size_t index = reply["seq"].asUInt64() - 1;
      if (index < seqs_.size())
        statuses[seqs_[index]] = reply["status"].asString();
    }
    return statuses;
  }

private:
  std::vector<int> seqs_;
  std::unique_ptr<TestProcess> process_;
};

std::string joined(const std::set<int>& numbers)
{
  std::string text;
  for (int number : numbers)
    text += (text.empty() ? "" : ",") + std::to_string(number);
  return text;
}

// The Receiver's error lines and its database lines, to see what went wrong.
std::string troubleLines(const std::string& log)
{
  std::string lines;
  std::istringstream text(log);
  for (std::string line; std::getline(text, line);) {
    if (line.find("#ERR#") != std::string::npos || line.find("database") != std::string::npos)
      lines += line + "\n";
  }
  return lines.size() > 6000 ? lines.substr(0, 3000) + "\n...\n" + lines.substr(lines.size() - 3000) : lines;
}

// Two Receivers in cluster mode over a primary with a streaming standby, both servers listed in their configuration
// with target_session_attrs=read-write. Under load the primary is stopped (fast shutdown), two more senders start while
// the database is away, and two seconds later the standby is promoted. The Receivers hold what they could not store,
// reconnect to the promoted standby and store it there: no message is refused for good, every message acknowledged as
// stored is on the new primary, and every message not acknowledged is stored once sent again, as a forwarder would.
TEST(FailoverTest, ReceiversFollowThePromotedStandbyAndLoseNothingAcknowledged)
{
  const int perSender = 400, messageCount = 4 * perSender;
  PrivateCluster cluster;
  ASSERT_TRUE(cluster.startStandby());
  TempDir dir;
  const std::string hosts = "127.0.0.1,127.0.0.1";
  const std::string standbyPort = clusterSetting(cluster.standbyEnvFile(), "PGPORT");
  const std::string ports = clusterSetting(cluster.envFile(), "PGPORT") + "," + standbyPort;
  // The test's own connection lists both servers as well: libpq takes the first that answers, the primary, and the
  // reset after the failover reaches the promoted standby.
  std::string env = "PGHOST=" + hosts + "\nPGPORT=" + ports + "\n";
  for (const char* key : { "PGUSER", "PGPASSWORD", "PGDATABASE" })
    env += std::string(key) + "=" + clusterSetting(cluster.envFile(), key) + "\n";
  TestDatabase db(dir.write("both.env", env));
  std::string plugin
      = dir.write("echo-seq.sh", "#!/bin/sh\nread line\nrest=${line#*seq=}\necho \"OK seq=${rest%%[!0-9]*}\"\n", true);
  db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin + "')");
  // Twenty hosts, host00 to host19, each with a syslog service; a trigger records every stored sequence number.
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

  const std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
  std::vector<int> receiverPorts;
  std::vector<std::string> logs;
  std::vector<std::unique_ptr<TestProcess>> receivers;
  for (const char* name : { "first", "second" }) {
    receiverPorts.push_back(freeLoopbackPort());
    logs.push_back(dir.path() + "/" + name + ".log");
    std::string config = writeReceiverConfig(dir, db,
        { { "LOG.log_file", logs.back() }, { "SYSLOG.port", std::to_string(receiverPorts.back()) },
            { "SYSLOG.certificate", pem }, { "SYSLOG.thread", "4" }, { "POSTGRESQL.cluster", "1" },
            { "POSTGRESQL.PGSQL_host", hosts }, { "POSTGRESQL.PGSQL_port", ports },
            { "POSTGRESQL.target_session_attrs", "read-write" } });
    const std::string named = dir.path() + "/" + name + ".conf";
    std::rename(config.c_str(), named.c_str());
    receivers.push_back(
        std::make_unique<TestProcess>(std::vector<std::string> { binaryDir + "/quelm-receiver", "-f", named }));
  }
  auto diagnostics = [&] {
    return "first receiver:\n" + troubleLines(readFile(logs[0])) + "second receiver:\n"
        + troubleLines(readFile(logs[1]));
  };
  for (const std::string& log : logs)
    ASSERT_TRUE(waitFor(30, [&] { return readFile(log).find("SYSLOG was starting....") != std::string::npos; }))
        << readFile(log);

  // Sender s sends messages s * perSender + 1 to (s + 1) * perSender to Receiver s % 2.
  std::vector<std::unique_ptr<Sender>> senders;
  auto startSender = [&] {
    int s = static_cast<int>(senders.size());
    std::vector<int> seqs;
    for (int i = 1; i <= perSender; ++i)
      seqs.push_back(s * perSender + i);
    senders.push_back(std::make_unique<Sender>(receiverPorts[static_cast<std::size_t>(s % 2)], pem, seqs));
  };
  auto delivered = [&] { return std::stoi(db.scalar("SELECT count(DISTINCT seq) FROM delivered")); };
  startSender();
  startSender();
  ASSERT_TRUE(waitFor(60, [&] { return delivered() >= perSender / 2; })) << diagnostics();
  ASSERT_TRUE(cluster.control("halt"));
  startSender();
  startSender();
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(cluster.controlStandby("promote"));

  // No message ended for good without being stored: the failover is an outage, not a refusal.
  std::set<int> stored, unstored, refused;
  std::string refusals;
  for (auto& sender : senders) {
    int status = sender->wait(60);
    EXPECT_TRUE(status == 0 || status == 4) << status << "\n" << sender->summary();
    std::map<int, std::string> replies = sender->replies();
    for (int seq : sender->seqs()) {
      auto reply = replies.find(seq);
      if (reply != replies.end() && reply->second == "stored")
        stored.insert(seq);
      else
        unstored.insert(seq);
      if (reply != replies.end()
          && (reply->second == "rejected" || reply->second == "ignored" || reply->second == "forbidden")) {
        refused.insert(seq);
        refusals += refused.size() <= 10 ? " " + std::to_string(seq) + ":" + reply->second : "";
      }
    }
  }
  EXPECT_EQ(refused.size(), 0u) << "refused:" << refusals << " ...\n" << diagnostics();
  // Every message acknowledged as stored is on the promoted standby.
  EXPECT_EQ(db.scalar("SELECT pg_is_in_recovery()::text || ' ' || current_setting('port')"), "false " + standbyPort);
  EXPECT_GT(stored.size(), 0u);
  EXPECT_EQ(db.scalar("SELECT string_agg(s::text, ',') FROM unnest('{" + joined(stored)
                + "}'::int[]) s WHERE s NOT IN (SELECT seq FROM delivered)"),
      "");
  // Both Receivers lost their connections and got every one back.
  for (const std::string& log : logs) {
    std::string text = readFile(log);
    std::size_t lost = countOf(text, "#ERR#database connection lost, reconnecting: ");
    EXPECT_GE(lost, 1u) << log;
    EXPECT_EQ(countOf(text, "#INFO#database connection restored"), lost) << log << "\n" << diagnostics();
  }

  // What was not acknowledged, sent again, is stored; then every message is.
  if (!unstored.empty()) {
    Sender again(receiverPorts[0], pem, std::vector<int>(unstored.begin(), unstored.end()));
    EXPECT_EQ(again.wait(60), 0) << again.summary() << diagnostics();
  }
  const std::string all = "generate_series(1, " + std::to_string(messageCount) + ") s";
  EXPECT_EQ(
      db.scalar("SELECT string_agg(s::text, ',') FROM " + all + " WHERE s NOT IN (SELECT seq FROM delivered)"), "");
  EXPECT_EQ(
      db.scalar("SELECT count(*) FROM delivered WHERE seq NOT BETWEEN 1 AND " + std::to_string(messageCount)), "0");
  RecordProperty("acknowledged", static_cast<int>(stored.size()));
  RecordProperty("sent_again", static_cast<int>(unstored.size()));
  RecordProperty("duplicates", db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered"));

  for (auto& receiver : receivers)
    receiver->signal(SIGTERM);
  for (std::size_t r = 0; r < receivers.size(); ++r)
    EXPECT_EQ(receivers[r]->wait(40), 0) << logs[r] << "\n" << troubleLines(readFile(logs[r]));
}

} // namespace
