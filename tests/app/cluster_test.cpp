#include "tests/app/rsyslog_forwarding.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/daemon_config.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

// A product database whose hosts h0, h1... each have a syslog service checked by a plugin that answers CRITICAL,
// WARNING or OK after the word it is sent, followed by what it was sent, and an alerting program for every state that
// appends its argument (the occurrence id) to a file; plus stale0, stale1... whose CRITICAL occurrence has been open
// for ten minutes.
struct Site {
  Site(const TempDir& dir, const std::string& name, int hosts, int stale)
      : alerts(dir.path() + "/" + name + "-alerts.txt")
  {
    std::string plugin = dir.write(name + "-plugin.sh",
        "#!/bin/sh\nread line\ncase \"$line\" in\n  *CRIT*) echo \"CRITICAL $line\"; exit 2;;\n"
        "  *WARN*) echo \"WARNING $line\"; exit 1;;\n  *) echo \"OK $line\"; exit 0;;\nesac\n",
        true);
    std::string alerter = dir.write(name + "-alert.sh", "#!/bin/sh\necho \"$1\" >> " + alerts + "\n", true);
    db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin
        + "');"
          "INSERT INTO quelm_program (program_id, program_path) VALUES (1, '"
        + alerter
        + "');"
          "INSERT INTO quelm_device (device_id, device_name) SELECT h + 1, 'h' || h FROM generate_series(0, "
        + std::to_string(hosts - 1) + ") h UNION ALL SELECT 1000 + s, 'stale' || s FROM generate_series(0, "
        + std::to_string(stale - 1)
        + ") s;"
          "INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
          "service_previous_state, service_last_stdout) SELECT device_id, device_name || '-syslog', 1, device_id, "
          "CASE WHEN device_id >= 1000 THEN 2 ELSE 0 END, '' FROM quelm_device;"
          "INSERT INTO quelm_service_response_program SELECT service_id, 1, true, true, true, true, '$ERROR' FROM "
          "quelm_services;"
          "INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, happen_timestamp) "
          "SELECT 2, device_id, device_id, now() - interval '10 minute' FROM quelm_device WHERE device_id >= 1000");
  }

  // Per service, the state and every occurrence in order as "error:closed".
  std::string record()
  {
    return db.scalar("SELECT string_agg(service_name || '=' || service_previous_state || ' ' || coalesce((SELECT "
                     "string_agg(happen_error_id || ':' || happen_acquitte, ',' ORDER BY happen_id) FROM "
                     "quelm_error_happen WHERE happen_service_id = service_id), ''), E'\\n' ORDER BY service_id) "
                     "FROM quelm_services");
  }

  TestDatabase db;
  std::string alerts;
};

// A Receiver of the site, in cluster mode or not, with its own port and log.
std::unique_ptr<TestProcess> startReceiver(const TempDir& dir, Site& site, const std::string& name, int port,
    const std::string& pem, bool cluster, std::string& log)
{
  log = dir.path() + "/" + name + ".log";
  std::string config = writeReceiverConfig(dir, site.db,
      { { "LOG.log_file", log }, { "SYSLOG.port", std::to_string(port) }, { "SYSLOG.certificate", pem },
          { "SYSLOG.thread", "4" }, { "SYSLOG.cleaning_cycle", "2" }, { "POSTGRESQL.cluster", cluster ? "1" : "0" } });
  std::rename(config.c_str(), (dir.path() + "/" + name + ".conf").c_str());
  auto receiver = std::make_unique<TestProcess>(
      std::vector<std::string> { binaryDir + "/quelm-receiver", "-f", dir.path() + "/" + name + ".conf" });
  return receiver;
}

bool started(const std::string& log)
{
  return waitFor(30, [&] { return readFile(log).find("SYSLOG was starting....") != std::string::npos; });
}

// Each host's words, sent one at a time with an acknowledgement, host after host in parallel; message i of a host
// goes to port i % ports.size(). False when one was not stored.
bool sendInTurns(
    const std::vector<int>& ports, const std::string& pem, int hosts, const std::vector<std::string>& words)
{
  std::vector<std::thread> senders;
  std::vector<int> failures(static_cast<std::size_t>(hosts), 0);
  for (int h = 0; h < hosts; ++h) {
    senders.emplace_back([&, h] {
      for (std::size_t i = 0; i < words.size(); ++i) {
        // The words shift by host, so that hosts differ.
        const std::string& word = words[(i + static_cast<std::size_t>(h)) % words.size()];
        TestProcess notify({ binaryDir + "/tools/quelm-notify",
            "wss://127.0.0.1:" + std::to_string(ports[i % ports.size()]) + "/", "--cacert", pem, "--ack", "--host",
            "h" + std::to_string(h), "--message", word + " " + std::to_string(i) });
        failures[static_cast<std::size_t>(h)] += notify.wait(30) != 0;
      }
    });
  }
  for (std::thread& sender : senders)
    sender.join();
  for (int failed : failures) {
    if (failed != 0)
      return false;
  }
  return true;
}

// Two Receivers in cluster mode, taking turns on every host's notifications, leave the states and occurrences that
// one Receiver leaves for the same sequences; and only one of them closes the stale errors, each once.
TEST(ClusterTest, TwoReceiversTakingTurnsAgreeWithOne)
{
  TempDir dir;
  const std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
  const int hosts = 6, stale = 4;
  const std::vector<std::string> words
      = { "CRIT", "CRIT", "WARN", "fine", "WARN", "CRIT", "fine", "fine", "WARN", "fine", "CRIT", "WARN" };

  Site single(dir, "single", hosts, stale), pair(dir, "pair", hosts, stale);
  std::string singleLog, firstLog, secondLog;
  const int singlePort = freeLoopbackPort(), firstPort = freeLoopbackPort(), secondPort = freeLoopbackPort();
  auto one = startReceiver(dir, single, "single", singlePort, pem, false, singleLog);
  auto first = startReceiver(dir, pair, "first", firstPort, pem, true, firstLog);
  auto second = startReceiver(dir, pair, "second", secondPort, pem, true, secondLog);
  ASSERT_TRUE(started(singleLog) && started(firstLog) && started(secondLog))
      << readFile(singleLog) << readFile(firstLog) << readFile(secondLog);

  ASSERT_TRUE(sendInTurns({ singlePort }, pem, hosts, words));
  ASSERT_TRUE(sendInTurns({ firstPort, secondPort }, pem, hosts, words));
  // Both sites' stale errors are closed by now (a pass every two seconds); then a few more passes go by.
  auto staleClosed = [](Site& site) {
    return site.db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_service_id >= 1000 AND "
                          "happen_acquitte = 0")
        == "0";
  };
  ASSERT_TRUE(waitFor(20, [&] { return staleClosed(single) && staleClosed(pair); }));
  std::this_thread::sleep_for(std::chrono::seconds(5));

  EXPECT_EQ(pair.record(), single.record());
  // As many alerts, each occurrence alerted as often as with one Receiver.
  auto alertsById = [](Site& site) {
    std::map<std::string, int> counts;
    std::istringstream lines(readFile(site.alerts));
    for (std::string id; std::getline(lines, id);)
      ++counts[id];
    return counts;
  };
  auto sortedCounts = [](const std::map<std::string, int>& counts) {
    std::vector<int> sorted;
    for (auto& [id, count] : counts)
      sorted.push_back(count);
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  };
  std::map<std::string, int> alerted = alertsById(pair);
  EXPECT_EQ(sortedCounts(alerted), sortedCounts(alertsById(single)));
  // The stale ones: each alerted exactly once, by the one Receiver that cleans.
  std::string staleIds
      = pair.db.scalar("SELECT string_agg(happen_id::text, ',' ORDER BY happen_id) FROM quelm_error_happen WHERE "
                       "happen_service_id >= 1000");
  std::istringstream ids(staleIds);
  int staleCount = 0;
  for (std::string id; std::getline(ids, id, ',');) {
    EXPECT_EQ(alerted[id], 1) << id;
    ++staleCount;
  }
  EXPECT_EQ(staleCount, stale);
  const std::string cleans = "#INFO#th_clean#this Receiver cleans for the cluster";
  EXPECT_EQ(countOf(readFile(firstLog), cleans) + countOf(readFile(secondLog), cleans), 1u);

  // The cleaner dies with its Receiver: the other takes the role over within a cycle and closes a new stale error.
  std::string cleaner = countOf(readFile(firstLog), cleans) == 1 ? "first" : "second";
  TestProcess& gone = cleaner == "first" ? *first : *second;
  const std::string& otherLog = cleaner == "first" ? secondLog : firstLog;
  gone.signal(SIGKILL);
  EXPECT_EQ(gone.wait(20), 128 + SIGKILL);
  pair.db.exec("UPDATE quelm_services SET service_previous_state = 2 WHERE service_id = 1000;"
               "INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, "
               "happen_timestamp) VALUES (2, 1000, 1000, now() - interval '10 minute')");
  EXPECT_TRUE(waitFor(20, [&] { return staleClosed(pair); })) << readFile(otherLog);
  EXPECT_EQ(countOf(readFile(otherLog), cleans), 1u);

  for (TestProcess* receiver : { one.get(), cleaner == "first" ? second.get() : first.get() }) {
    receiver->signal(SIGTERM);
    EXPECT_EQ(receiver->wait(60), 0);
  }
}

// Three Receivers in cluster mode behind HAProxy (the shipped configuration), fed by a real rsyslog through
// quelm-notify with confirmations: every one of 5,000 lines for 20 hosts is stored although the Receiver serving
// rsyslog is killed, and later the next one stopped; no service ever has two open occurrences; each stale error is
// closed and alerted once.
TEST(ClusterTest, ThreeReceiversBehindHaproxyLoseNothingThroughAKillAndAStop)
{
  TempDir dir;
  const std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
  const int lineCount = 5000, hosts = 20, stale = 5;
  Site site(dir, "site", hosts, stale);
  site.db.exec(
      "CREATE TABLE delivered (seq int); CREATE TABLE doubled (service int);"
      "CREATE FUNCTION record_seq() RETURNS trigger AS $$ BEGIN INSERT INTO delivered SELECT "
      "substring(NEW.service_last_stdout from 'seq=([0-9]+)')::int WHERE NEW.service_last_stdout ~ "
      "'seq=[0-9]'; RETURN NEW; END $$ LANGUAGE plpgsql;"
      "CREATE TRIGGER record_seq AFTER UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION record_seq();"
      "CREATE FUNCTION one_open() RETURNS trigger AS $$ BEGIN INSERT INTO doubled SELECT NEW.happen_service_id "
      "WHERE (SELECT count(*) FROM quelm_error_happen WHERE happen_service_id = NEW.happen_service_id AND "
      "happen_acquitte = 0) > 1; RETURN NEW; END $$ LANGUAGE plpgsql;"
      "CREATE TRIGGER one_open AFTER INSERT ON quelm_error_happen FOR EACH ROW EXECUTE FUNCTION one_open()");
  std::vector<int> ports;
  std::vector<std::string> logs(3);
  std::vector<std::unique_ptr<TestProcess>> receivers;
  for (int r = 0; r < 3; ++r) {
    ports.push_back(freeLoopbackPort());
    receivers.push_back(startReceiver(dir, site, "receiver" + std::to_string(r), ports.back(), pem, true, logs[r]));
  }
  for (const std::string& log : logs)
    ASSERT_TRUE(started(log)) << readFile(log);

  // The shipped HAProxy configuration on a loopback port, its servers the three Receivers.
  const int haproxyPort = freeLoopbackPort();
  std::string haproxy = readFile(std::string(QUELM_SOURCE_DIR) + "/packaging/haproxy-quelm.cfg");
  std::vector<std::pair<std::string, std::string>> replacements
      = { { "bind :6514", "bind 127.0.0.1:" + std::to_string(haproxyPort) } };
  for (int r = 0; r < 3; ++r)
    replacements.emplace_back("192.0.2.1" + std::to_string(r + 1) + ":6514", "127.0.0.1:" + std::to_string(ports[r]));
  for (const auto& [from, to] : replacements) {
    ASSERT_NE(haproxy.find(from), std::string::npos) << "not in the shipped HAProxy configuration: " << from;
    haproxy.replace(haproxy.find(from), from.size(), to);
  }
  TestProcess balancer({ "/usr/sbin/haproxy", "-db", "-f", dir.write("haproxy.cfg", haproxy) });

  RsyslogForwarding forwarding(dir, "wss://127.0.0.1:" + std::to_string(haproxyPort) + "/", pem);
  ASSERT_EQ(forwarding.missing, "") << "not in the shipped rsyslog configuration";
  TestProcess rsyslog({ "/usr/sbin/rsyslogd", "-n", "-f", forwarding.confPath, "-i", dir.path() + "/rsyslogd.pid" });
  auto distinct = [&] { return std::stoi(site.db.scalar("SELECT count(DISTINCT seq) FROM delivered")); };
  auto diagnostics = [&] {
    return "rsyslogd: " + rsyslog.output() + "\nhaproxy: " + balancer.output() + "\nquelm-notify: "
        + readFile(dir.path() + "/notify.out") + "\nrsyslog internal: " + readFile(dir.path() + "/rsyslog.out");
  };
  // The words change every round of the hosts, so that states change and occurrences open and close.
  const char* words[] = { "CRIT", "WARN", "fine", "CRIT", "fine" };
  std::string lines;
  for (int seq = 1; seq <= lineCount; ++seq)
    lines += "<14>Dec  7 05:00:00 h" + std::to_string(seq % hosts) + " probe: " + words[seq / hosts % 5]
        + " seq=" + std::to_string(seq) + "\n";
  ASSERT_TRUE(waitFor(20, [&] {
    return runCommand("exec bash -c 'cat >/dev/tcp/127.0.0.1/" + std::to_string(forwarding.port) + "'", lines).status
        == 0;
  })) << diagnostics();

  // The Receiver serving rsyslog's one connection is the one whose log grows.
  auto busiest = [&](const std::vector<int>& candidates) {
    std::vector<std::size_t> before;
    for (int r : candidates)
      before.push_back(countOf(readFile(logs[r]), "search h"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    int chosen = candidates.front();
    std::size_t most = 0;
    for (std::size_t i = 0; i < candidates.size(); ++i) {
      std::size_t grew = countOf(readFile(logs[candidates[i]]), "search h") - before[i];
      if (grew >= most)
        most = grew, chosen = candidates[i];
    }
    return chosen;
  };
  ASSERT_TRUE(waitFor(120, [&] { return distinct() >= 1500; })) << diagnostics();
  int killed = busiest({ 0, 1, 2 });
  receivers[killed]->signal(SIGKILL);
  EXPECT_EQ(receivers[killed]->wait(20), 128 + SIGKILL);
  std::vector<int> left;
  for (int r = 0; r < 3; ++r)
    if (r != killed)
      left.push_back(r);
  ASSERT_TRUE(waitFor(120, [&] { return distinct() >= 3000; })) << diagnostics();
  int stopped = busiest(left);
  receivers[stopped]->signal(SIGTERM);
  EXPECT_EQ(receivers[stopped]->wait(60), 0);

  EXPECT_TRUE(waitFor(240, [&] { return distinct() == lineCount; })) << distinct() << " stored\n" << diagnostics();
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM doubled"), "0");
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM (SELECT happen_service_id FROM quelm_error_happen WHERE "
                           "happen_acquitte = 0 GROUP BY 1 HAVING count(*) > 1) t"),
      "0");
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_service_id >= 1000 AND "
                           "happen_acquitte = 0"),
      "0");
  std::string alerted = readFile(site.alerts);
  std::istringstream ids(site.db.scalar(
      "SELECT string_agg(happen_id::text, ',') FROM quelm_error_happen WHERE happen_service_id >= 1000"));
  for (std::string id; std::getline(ids, id, ',');)
    EXPECT_EQ(countOf("\n" + alerted, "\n" + id + "\n"), 1u) << id;
  RecordProperty("duplicates", site.db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered"));

  rsyslog.signal(SIGTERM);
  EXPECT_EQ(rsyslog.wait(30), 0);
  int last = 3 - killed - stopped;
  receivers[last]->signal(SIGTERM);
  EXPECT_EQ(receivers[last]->wait(60), 0);
}

} // namespace
