#include "tests/app/rsyslog_forwarding.h"
#include "tests/app/site.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <map>
#include <sstream>
#include <thread>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

// Per service, the state and every occurrence in order as "error:closed".
std::string record(Site& site)
{
  return site.db.scalar("SELECT string_agg(service_name || '=' || service_previous_state || ' ' || coalesce((SELECT "
                        "string_agg(happen_error_id || ':' || happen_acquitte, ',' ORDER BY happen_id) FROM "
                        "quelm_error_happen WHERE happen_service_id = service_id), ''), E'\\n' ORDER BY service_id) "
                        "FROM quelm_services");
}

// How many times each occurrence id was alerted.
std::map<std::string, int> alertsById(Site& site)
{
  std::map<std::string, int> counts;
  std::istringstream lines(readFile(site.alerts));
  for (std::string id; std::getline(lines, id);)
    ++counts[id];
  return counts;
}

// The stale services' occurrences: none left open, each alerted exactly once.
void expectStaleClosedAndAlertedOnce(Site& site, int stale)
{
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_service_id >= 1000 AND "
                           "happen_acquitte = 0"),
      "0");
  std::map<std::string, int> alerted = alertsById(site);
  std::istringstream ids(site.db.scalar(
      "SELECT string_agg(happen_id::text, ',') FROM quelm_error_happen WHERE happen_service_id >= 1000"));
  int count = 0;
  for (std::string id; std::getline(ids, id, ','); ++count)
    EXPECT_EQ(alerted[id], 1) << id;
  EXPECT_EQ(count, stale);
}

// Each host's words, sent one at a time with an acknowledgement, the hosts in parallel; message i of a host goes to
// port i % ports.size(). False when one was not stored.
bool sendInTurns(
    const std::vector<int>& ports, const std::string& pem, int hosts, const std::vector<std::string>& words)
{
  std::vector<std::thread> senders;
  std::vector<int> failures(static_cast<std::size_t>(hosts), 0);
  for (int h = 0; h < hosts; ++h) {
    senders.emplace_back([&, h] {
      for (std::size_t i = 0; i < words.size(); ++i) {
        // The words shift by host, so that hosts differ.
        TestProcess notify(
            { binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(ports[i % ports.size()]) + "/",
                "--cacert", pem, "--ack", "--host", "host0" + std::to_string(h), "--message",
                words[(i + static_cast<std::size_t>(h)) % words.size()] + " " + std::to_string(i) });
        failures[static_cast<std::size_t>(h)] += notify.wait(30) != 0;
      }
    });
  }
  for (std::thread& sender : senders)
    sender.join();
  return std::count(failures.begin(), failures.end(), 0) == hosts;
}

const std::string cleans = "#INFO#th_clean#this Receiver cleans for the cluster";

// Two Receivers in cluster mode, taking turns on every host's notifications, leave the states and occurrences that
// one Receiver leaves for the same sequences; only one of them closes the stale errors, each once, and when it dies the
// other takes the role over within a cycle.
TEST(ClusterTest, TwoReceiversTakingTurnsAgreeWithOne)
{
  TempDir dir;
  const std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
  const int hosts = 6, stale = 4;
  const std::vector<std::string> words
      = { "CRIT", "CRIT", "WARN", "fine", "WARN", "CRIT", "fine", "fine", "WARN", "fine", "CRIT", "WARN" };
  Site single(dir, "single", hosts, stale), pair(dir, "pair", hosts, stale);
  const int singlePort = freeLoopbackPort(), firstPort = freeLoopbackPort(), secondPort = freeLoopbackPort();
  auto one = single.startReceiver(dir, "single", singlePort, pem);
  auto first = pair.startReceiver(dir, "first", firstPort, pem, { { "POSTGRESQL.cluster", "1" } });
  auto second = pair.startReceiver(dir, "second", secondPort, pem, { { "POSTGRESQL.cluster", "1" } });
  for (const char* name : { "single", "first", "second" })
    ASSERT_TRUE(started(dir.path() + "/" + name + ".log")) << readFile(dir.path() + "/" + name + ".log");

  ASSERT_TRUE(sendInTurns({ singlePort }, pem, hosts, words));
  ASSERT_TRUE(sendInTurns({ firstPort, secondPort }, pem, hosts, words));
  auto staleOpen = [](Site& site) {
    return site.db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_service_id >= 1000 AND "
                          "happen_acquitte = 0");
  };
  // Both sites' stale errors are closed by now (a pass every two seconds); then a few more passes go by.
  ASSERT_TRUE(waitFor(20, [&] { return staleOpen(single) == "0" && staleOpen(pair) == "0"; }));
  std::this_thread::sleep_for(std::chrono::seconds(5));

  EXPECT_EQ(record(pair), record(single));
  // Each occurrence alerted as often as with one Receiver.
  auto sortedCounts = [](Site& site) {
    std::vector<int> sorted;
    for (auto& [id, count] : alertsById(site))
      sorted.push_back(count);
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  };
  EXPECT_EQ(sortedCounts(pair), sortedCounts(single));
  expectStaleClosedAndAlertedOnce(pair, stale);
  const std::string firstLog = readFile(dir.path() + "/first.log"), secondLog = readFile(dir.path() + "/second.log");
  EXPECT_EQ(countOf(firstLog, cleans) + countOf(secondLog, cleans), 1u);

  // The cleaner dies with its Receiver: the other takes the role over and closes a new stale error.
  const bool firstCleans = countOf(firstLog, cleans) == 1;
  TestProcess& gone = firstCleans ? *first : *second;
  TestProcess& other = firstCleans ? *second : *first;
  const std::string otherLog = dir.path() + (firstCleans ? "/second.log" : "/first.log");
  gone.signal(SIGKILL);
  EXPECT_EQ(gone.wait(20), 128 + SIGKILL);
  pair.db.exec("UPDATE quelm_services SET service_previous_state = 2 WHERE service_id = 1000;"
               "INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, "
               "happen_timestamp) VALUES (2, 1000, 1000, now() - interval '10 minute')");
  EXPECT_TRUE(waitFor(20, [&] { return staleOpen(pair) == "0"; })) << readFile(otherLog);
  EXPECT_EQ(countOf(readFile(otherLog), cleans), 1u);
  for (TestProcess* receiver : { one.get(), &other }) {
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
  std::vector<int> ports;
  std::vector<std::string> logs;
  std::vector<std::unique_ptr<TestProcess>> receivers;
  for (int r = 0; r < 3; ++r) {
    ports.push_back(freeLoopbackPort());
    logs.push_back(dir.path() + "/receiver" + std::to_string(r) + ".log");
    receivers.push_back(
        site.startReceiver(dir, "receiver" + std::to_string(r), ports.back(), pem, { { "POSTGRESQL.cluster", "1" } }));
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
  auto diagnostics = [&] { return "haproxy: " + balancer.output() + "\n" + forwarding.diagnostics(rsyslog); };
  ASSERT_TRUE(forwarding.send(syslogLines(lineCount, hosts))) << diagnostics();

  // The Receiver serving rsyslog's one connection is the one whose log grows.
  auto busiest = [&](const std::vector<int>& candidates) {
    std::vector<std::size_t> before;
    for (int r : candidates)
      before.push_back(countOf(readFile(logs[r]), "search host"));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::vector<std::size_t> grew;
    for (std::size_t i = 0; i < candidates.size(); ++i)
      grew.push_back(countOf(readFile(logs[candidates[i]]), "search host") - before[i]);
    return candidates[std::max_element(grew.begin(), grew.end()) - grew.begin()];
  };
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 1500; })) << diagnostics();
  const int killed = busiest({ 0, 1, 2 });
  receivers[killed]->signal(SIGKILL);
  EXPECT_EQ(receivers[killed]->wait(20), 128 + SIGKILL);
  std::vector<int> left;
  for (int r = 0; r < 3; ++r)
    if (r != killed)
      left.push_back(r);
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 3000; })) << diagnostics();
  const int stopped = busiest(left);
  receivers[stopped]->signal(SIGTERM);
  EXPECT_EQ(receivers[stopped]->wait(60), 0);

  EXPECT_TRUE(waitFor(240, [&] { return site.delivered() == lineCount; }))
      << "missing: " << site.missing(lineCount) << "\n"
      << diagnostics();
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM doubled"), "0");
  expectStaleClosedAndAlertedOnce(site, stale);
  RecordProperty("duplicates", site.db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered"));
  rsyslog.signal(SIGTERM);
  EXPECT_EQ(rsyslog.wait(30), 0);
  receivers[3 - killed - stopped]->signal(SIGTERM);
  EXPECT_EQ(receivers[3 - killed - stopped]->wait(60), 0);
}

} // namespace
