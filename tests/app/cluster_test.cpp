#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"
#include "tests/support/site.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

std::string hostName(int h) { return (h < 10 ? "host0" : "host") + std::to_string(h); }

std::string syslogLine(const std::string& host, const std::string& text)
{
  return "<14>Dec  7 05:00:00 " + host + " probe: " + text + "\n";
}

// Numbered syslog lines, line N from host N % hosts with "WORD seq=N"; the words change every round of the hosts so
// that states change and occurrences open and close.
std::string syslogLines(int count, int hosts)
{
  const char* words[] = { "CRIT", "WARN", "fine", "CRIT", "fine" };
  std::string lines;
  for (int seq = 1; seq <= count; ++seq)
    lines += syslogLine(hostName(seq % hosts), words[seq / hosts % 5] + std::string(" seq=") + std::to_string(seq));
  return lines;
}

std::string notification(const std::string& host, const std::string& message, const std::string& id = "")
{
  return "{\"fromhost\":\"" + host + "\",\"message\":\"" + message + "\""
      + (id.empty() ? "" : ",\"notification_id\":\"" + id + "\"") + "}";
}

// Sends the signal and returns the exit status (-1 when it did not end in time).
int stop(TestProcess& process, int signal = SIGTERM, double seconds = 60)
{
  process.signal(signal);
  return process.wait(seconds);
}

// A real rsyslogd on the shipped configuration, pointed at this build's quelm-notify and the Receiver on the port
// (verified against the PEM file), listening on a free loopback port, with a private work directory, the program's
// output in DIR/notify.out and rsyslog's own messages in DIR/rsyslog.out. Each text replaced must be in the shipped
// file, so that a change to it is noticed: a missing one is named in `missing` and nothing runs.
struct RsyslogForwarding {
  RsyslogForwarding(const TempDir& dir, int receiverPort, const std::string& pem)
      : dir_(dir.path())
  {
    const std::string listen = "address=\"127.0.0.1\" port=\"" + std::to_string(port) + "\"";
    const std::string conf = adapted(binaryDir + "/packaging/rsyslog-quelm.conf",
        { { "input(type=\"imudp\" port=\"514\"", "input(type=\"imudp\" " + listen },
            { "input(type=\"imtcp\" port=\"514\"", "input(type=\"imtcp\" " + listen },
            { QUELM_INSTALL_BINDIR "/quelm-notify wss://127.0.0.1:6514/ --cacert " QUELM_INSTALL_SYSCONFDIR
                                   "/quelm/ca.pem",
                binaryDir + "/tools/quelm-notify wss://127.0.0.1:" + std::to_string(receiverPort) + "/ --cacert "
                    + pem },
            { "template=\"QuelmJson\"\n", "template=\"QuelmJson\" output=\"" + dir_ + "/notify.out\"\n" } },
        missing);
    if (missing.empty())
      process = std::make_unique<TestProcess>(std::vector<std::string> { "/usr/sbin/rsyslogd", "-n", "-f",
          dir.write("rsyslog.conf",
              "global(workDirectory=\"" + dir_ + "\")\n" + conf + "\n*.* action(type=\"omfile\" file=\"" + dir_
                  + "/rsyslog.out\")\n"),
          "-i", dir_ + "/rsyslogd.pid" });
  }

  // Writes the lines to rsyslog's TCP input once it listens; false when it never did.
  bool send(const std::string& lines) const { return sendTcp(port, lines); }
  // What rsyslog and quelm-notify said, to see what went wrong.
  std::string diagnostics() const
  {
    return "rsyslogd: " + process->output() + "\nquelm-notify: " + readFile(dir_ + "/notify.out")
        + "\nrsyslog internal: " + readFile(dir_ + "/rsyslog.out");
  }

  const std::string dir_;
  int port = freeLoopbackPort();
  std::string missing;
  std::unique_ptr<TestProcess> process;
};

// Per service, the state and every occurrence in order as "error:closed".
std::string record(Site& site)
{
  return site.db.scalar("SELECT string_agg(service_name || '=' || service_previous_state || ' ' || coalesce((SELECT "
                        "string_agg(happen_error_id || ':' || happen_acquitte, ',' ORDER BY happen_id) FROM "
                        "quelm_error_happen WHERE happen_service_id = service_id), ''), E'\\n' ORDER BY service_id) "
                        "FROM quelm_services");
}

// How many times each occurrence id stands in the site's alerts file, sorted; only the ids given, one a line, when
// some are.
std::string alertCounts(Site& site, const std::string& ids = "")
{
  const std::string alerted = (ids.empty() ? "cat " : "grep -x -F -f /dev/stdin ") + shellQuote(site.alerts);
  return runCommand(alerted + " | sort | uniq -c | awk '{print $1}' | sort -n", ids).out;
}

// The stale services' occurrences: as many as expected, none left open, each alerted exactly once.
void expectStaleClosedAndAlertedOnce(Site& site, int stale)
{
  EXPECT_EQ(site.db.scalar("SELECT count(*) || ' ' || sum(happen_acquitte) FROM quelm_error_happen WHERE "
                           "happen_service_id >= 1000"),
      std::to_string(stale) + " " + std::to_string(stale));
  const std::string ids = site.db.scalar(
      "SELECT string_agg(happen_id::text, E'\\n') FROM quelm_error_happen WHERE happen_service_id >= 1000");
  EXPECT_EQ(alertCounts(site, ids + "\n"), site.db.scalar("SELECT repeat(E'1\\n', " + std::to_string(stale) + ")"));
}

// Each host's words, sent one at a time with an acknowledgement, the hosts in parallel; message i of a host goes to
// port i % ports.size(). False when one was not stored.
bool sendInTurns(
    const std::vector<int>& ports, const std::string& pem, int hosts, const std::vector<std::string>& words)
{
  std::vector<std::future<bool>> senders;
  for (int h = 0; h < hosts; ++h)
    senders.push_back(std::async(std::launch::async, [&, h] {
      bool stored = true;
      // The words shift by host, so that hosts differ.
      for (std::size_t i = 0; i < words.size(); ++i) {
        TestProcess notify(
            { binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(ports[i % ports.size()]) + "/",
                "--cacert", pem, "--ack", "--host", hostName(h), "--message",
                words[(i + static_cast<std::size_t>(h)) % words.size()] + " " + std::to_string(i) });
        stored = notify.wait(30) == 0 && stored;
      }
      return stored;
    }));
  return std::all_of(senders.begin(), senders.end(), [](std::future<bool>& sender) { return sender.get(); });
}

// How many times the state of notification "seq=N" was written.
std::string updatesOf(Site& site, int seq)
{
  return site.db.scalar("SELECT count(*) FROM delivered WHERE seq = " + std::to_string(seq));
}

const std::string cleans = "#INFO#th_clean#this Receiver cleans for the cluster";

std::string staleOpen(Site& site)
{
  return site.db.scalar(
      "SELECT count(*) FROM quelm_error_happen WHERE happen_service_id >= 1000 AND happen_acquitte = 0");
}

// The Receivers' settings for both servers of the cluster, the primary first (libpq takes the one that accepts writes),
// and a settings file for the test's own connection to both: its reset after a failover reaches the promoted standby.
std::map<std::string, std::string> bothServers(const PrivateCluster& cluster, const TempDir& dir, std::string& envFile)
{
  const std::string servers = "127.0.0.1,127.0.0.1",
                    ports
      = clusterSetting(cluster.envFile(), "PGPORT") + "," + clusterSetting(cluster.standbyEnvFile(), "PGPORT");
  std::string env = "PGHOST=" + servers + "\nPGPORT=" + ports + "\n";
  for (const char* key : { "PGUSER", "PGPASSWORD", "PGDATABASE" })
    env += std::string(key) + "=" + clusterSetting(cluster.envFile(), key) + "\n";
  envFile = dir.write("both.env", env);
  return { { "POSTGRESQL.PGSQL_host", servers }, { "POSTGRESQL.PGSQL_port", ports },
    { "POSTGRESQL.target_session_attrs", "read-write" } };
}

// Every test's directory and the Receivers' certificate, and the ways its senders reach a Receiver.
class ClusterTest : public testing::Test {
protected:
  // quelm-notify sending one notification with its id, waiting for its answer; exit status 0 when stored.
  std::unique_ptr<TestProcess> notifyOnce(
      int port, const std::string& host, const std::string& message, const std::string& id, int timeout = 30) const
  {
    return std::make_unique<TestProcess>(std::vector<std::string> { binaryDir + "/tools/quelm-notify",
        "wss://127.0.0.1:" + std::to_string(port) + "/", "--cacert", pem, "--ack", "--timeout", std::to_string(timeout),
        "--json", notification(host, message, id) });
  }
  // curl posting the body to the Receiver's HTTPS endpoint.
  CommandResult post(int port, const std::string& body, const std::string& options, int timeout = 30) const
  {
    return runCommand("curl -s --cacert " + shellQuote(pem) + " -H 'Content-Type: application/json' --data-binary @- "
            + options + " https://localhost:" + std::to_string(port) + "/v1/notifications",
        body, timeout);
  }

  TempDir dir;
  const std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
};
using NotifyTest = ClusterTest;
using ForwardingTest = ClusterTest;

// Three Receivers in cluster mode over a primary and its streaming standby, their plugin served by persistent
// processes. Taking turns on six hosts, they leave what one Receiver leaves (its plugin run once per notification),
// with one cleaner. Then, behind the shipped HAProxy and fed by a real rsyslog through quelm-notify with confirmations,
// all 5,000 lines are stored although the Receiver serving rsyslog is killed and restarted, the cleaner (or the
// busiest) stopped, and the primary stopped and the standby promoted (a line refused for good while the standby was
// read-only would be lost). No service ever has two open occurrences; the cleaning role passes on.
TEST_F(ClusterTest, ReceiversAgreeWithOneAndLoseNothingThroughAKillAStopAndAFailover)
{
  CommandResult check
      = runCommand("/usr/sbin/rsyslogd -N1 -f " + shellQuote(binaryDir + "/packaging/rsyslog-quelm.conf"));
  ASSERT_EQ(check.status, 0) << check.out << check.err;
  PrivateCluster cluster;
  ASSERT_TRUE(cluster.startStandby());
  const int lineCount = 5000, hosts = 20, stale = 5;
  std::string both;
  auto settings = bothServers(cluster, dir, both);
  Site site(dir, "site", hosts, stale, both), single(dir, "single", hosts, stale);
  settings.insert({ { "POSTGRESQL.cluster", "1" }, { "PLUGINS.persistent", site.plugin } });
  const std::vector<int> ports = { freeLoopbackPort(), freeLoopbackPort(), freeLoopbackPort() };
  const std::vector<std::string> logs
      = { dir.path() + "/receiver0.log", dir.path() + "/receiver1.log", dir.path() + "/receiver2.log" };
  // -D: each cleaning pass traces the services it looks at.
  auto start = [&](int r) {
    return site.startReceiver(dir, "receiver" + std::to_string(r), ports[r], pem, settings, { "-D" });
  };
  std::vector<std::unique_ptr<TestProcess>> receivers;
  for (int r = 0; r < 3; ++r)
    receivers.push_back(start(r));
  const int singlePort = freeLoopbackPort();
  auto one = single.startReceiver(dir, "single", singlePort, pem);
  for (const std::string& log : { logs[0], logs[1], logs[2], dir.path() + "/single.log" })
    ASSERT_TRUE(started(log)) << readFile(log);
  // A restarted Receiver's earlier log is kept as LOG.1.
  auto allLogs = [&] {
    std::string text;
    for (const std::string& log : logs)
      text += readFile(log + ".1") + readFile(log);
    return text;
  };

  const std::vector<std::string> words
      = { "CRIT", "CRIT", "WARN", "fine", "WARN", "CRIT", "fine", "fine", "WARN", "fine", "CRIT", "WARN" };
  ASSERT_TRUE(sendInTurns({ singlePort }, pem, 6, words));
  ASSERT_TRUE(sendInTurns(ports, pem, 6, words));
  // Both sites' stale errors are closed by now (a pass every two seconds); then a few more passes go by.
  ASSERT_TRUE(waitFor(20, [&] { return staleOpen(single) == "0" && staleOpen(site) == "0"; }));
  std::this_thread::sleep_for(std::chrono::seconds(5));
  EXPECT_EQ(record(site), record(single));
  // Each occurrence alerted as often as with one Receiver: the sorted counts of alerts per id agree.
  EXPECT_EQ(alertCounts(site), alertCounts(single));
  expectStaleClosedAndAlertedOnce(site, stale);
  EXPECT_EQ(countOf(allLogs(), cleans), 1u);
  const int holder = countOf(readFile(logs[0]), cleans) > 0 ? 0 : countOf(readFile(logs[1]), cleans) > 0 ? 1 : 2;
  for (int r = 0; r < 3; ++r)
    EXPECT_EQ(countOf(readFile(logs[r]), "th_clean#FOR service") > 0, r == holder) << "only the holder cleans " << r;
  EXPECT_EQ(stop(*one), 0);

  const int haproxyPort = freeLoopbackPort();
  std::string missing;
  const std::string haproxy = haproxyConfig(haproxyPort, ports, missing);
  ASSERT_EQ(missing, "") << "not in the shipped HAProxy configuration";
  TestProcess balancer({ "/usr/sbin/haproxy", "-db", "-f", dir.write("haproxy.cfg", haproxy) });
  RsyslogForwarding forwarding(dir, haproxyPort, pem);
  ASSERT_EQ(forwarding.missing, "") << "not in the shipped rsyslog configuration";
  auto diagnostics = [&] { return "haproxy: " + balancer.output() + "\n" + forwarding.diagnostics(); };
  ASSERT_TRUE(forwarding.send(syslogLines(lineCount, hosts))) << diagnostics();

  // The Receiver serving rsyslog's one connection is the one whose log grows.
  auto busiest = [&](const std::vector<int>& candidates) {
    std::map<int, std::size_t> grew;
    for (int r : candidates)
      grew[r] = countOf(readFile(logs[r]), "search host");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int r : candidates)
      grew[r] = countOf(readFile(logs[r]), "search host") - grew[r];
    return std::max_element(grew.begin(), grew.end(), [](auto& x, auto& y) { return x.second < y.second; })->first;
  };
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 1000; })) << diagnostics();
  const int killed = busiest({ 0, 1, 2 });
  EXPECT_EQ(stop(*receivers[killed], SIGKILL, 20), 128 + SIGKILL);
  std::rename(logs[killed].c_str(), (logs[killed] + ".1").c_str());
  receivers[killed] = start(killed);
  ASSERT_TRUE(started(logs[killed])) << readFile(logs[killed]);
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 1800; })) << diagnostics();
  const int stopped = holder != killed ? holder : busiest({ (killed + 1) % 3, (killed + 2) % 3 });
  EXPECT_EQ(stop(*receivers[stopped]), 0);
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 2400; })) << diagnostics();
  ASSERT_TRUE(cluster.control("halt"));
  std::this_thread::sleep_for(std::chrono::seconds(2));
  ASSERT_TRUE(cluster.controlStandby("promote"));

  EXPECT_TRUE(waitFor(240, [&] { return site.delivered() == lineCount; }))
      << "missing: " + site.missing(lineCount) + '\n' + diagnostics() + allLogs();
  EXPECT_EQ(site.db.scalar("SELECT pg_is_in_recovery()::text || ' ' || current_setting('port')"),
      "false " + clusterSetting(cluster.standbyEnvFile(), "PGPORT"));
  EXPECT_GE(countOf(allLogs(), "#ERR#database connection lost, reconnecting: "), 1u);
  // The last connections may come back after the last line was stored.
  EXPECT_TRUE(waitFor(30, [&] { return countOf(allLogs(), "#INFO#database connection restored") >= 1; }));
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM doubled"), "0") << site.db.scalar(
      "SELECT string_agg(concat_ws(' ', happen_id, happen_timestamp, happen_time_acquitte), E'\\n') FROM "
      "quelm_error_happen WHERE happen_service_id IN (SELECT service FROM doubled)");
  // The cleaner was killed or stopped: another Receiver has the role and closes a new stale error.
  site.db.exec("UPDATE quelm_services SET service_previous_state = 2 WHERE service_id = 1000;"
               "INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, "
               "happen_timestamp) VALUES (2, 1000, 1000, now() - interval '10 minute')");
  EXPECT_TRUE(waitFor(20, [&] { return staleOpen(site) == "0"; })) << allLogs();
  expectStaleClosedAndAlertedOnce(site, stale + 1);
  EXPECT_GE(countOf(allLogs(), cleans), 2u);
  // Any bytes: a line in Latin-1 is stored repaired, one larger than the Receivers take is answered once for good, and
  // the line after them is stored.
  const std::string next = std::to_string(lineCount + 1), last = std::to_string(lineCount + 2);
  ASSERT_TRUE(forwarding.send(syslogLine("host01", "fine caf\xe9 seq=" + next)
      + syslogLine("host02", std::string(3000, 'x')) + syslogLine("host03", "fine seq=" + last)));
  EXPECT_TRUE(waitFor(60, [&] { return site.delivered() == lineCount + 2; })) << diagnostics();
  EXPECT_EQ(site.db.scalar(
                "SELECT count(*) FROM quelm_services WHERE service_last_stdout LIKE '%fine caf  seq=" + next + "%'"),
      "1");
  EXPECT_EQ(countOf(readFile(dir.path() + "/notify.out"), "larger than the Receiver takes (close code 1009)"), 1u)
      << diagnostics();
  // Every line carries its id, so none sent again was applied twice.
  EXPECT_EQ(site.db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered"), "0");
  EXPECT_EQ(stop(*forwarding.process, SIGTERM, 30), 0);
  for (int r = 0; r < 3; ++r)
    EXPECT_EQ(r == stopped ? receivers[r]->wait(60) : stop(*receivers[r]), 0);
}

// Copies of one notification (the same notification_id) are applied once, whichever of two Receivers gets them and
// whenever.
TEST_F(ClusterTest, EachCopyIsAppliedOnceWhereverAndWheneverItComes)
{
  Site site(dir, "site", 8);
  // host02 alerts nobody: A's kill may come after its alert ran, or before.
  site.db.exec("UPDATE quelm_service_response_program SET response_ok = false, response_warning = false, "
               "response_critical = false, response_unknown = false WHERE response_service_id = 3");
  const int portA = freeLoopbackPort(), portB = freeLoopbackPort();
  auto a = site.startReceiver(dir, "a", portA, pem, { { "POSTGRESQL.cluster", "1" }, { "SYSLOG.thread", "1" } });
  auto b = site.startReceiver(dir, "b", portB, pem, { { "POSTGRESQL.cluster", "1" }, { "SYSLOG.thread", "2" } });
  const std::string logA = dir.path() + "/a.log", logB = dir.path() + "/b.log";
  ASSERT_TRUE(started(logA) && started(logB)) << readFile(logA) << readFile(logB);

  // A's only worker waits at a gate, open once site-plugin.g1 exists; the CRITICAL waits behind it when A is given up.
  auto hold = notifyOnce(portA, "host01", "GATE:g1 seq=100", "h1", 60);
  ASSERT_TRUE(waitFor(20, [&] { return countOf(readFile(logA), "search host01") == 1; })) << readFile(logA);
  EXPECT_EQ(notifyOnce(portA, "host00", "CRIT seq=1", "e1", 2)->wait(20), 4);
  EXPECT_EQ(notifyOnce(portB, "host00", "CRIT seq=1", "e1")->wait(30), 0);
  EXPECT_EQ(notifyOnce(portB, "host00", "fine seq=2", "e2")->wait(30), 0);
  dir.write("site-plugin.g1", "");
  EXPECT_EQ(hold->wait(30), 0);
  // A's worker takes the late copy before this one, of a host behind it.
  EXPECT_EQ(notifyOnce(portA, "host02", "fine seq=3", "e3")->wait(30), 0);
  EXPECT_EQ(countOf(readFile(logA), "search host00"), 1u) << readFile(logA);
  EXPECT_EQ(record(site).substr(0, record(site).find('\n')), "host00-syslog=0 2:1");
  EXPECT_EQ(alertCounts(site), "2\n") << "the CRITICAL and its end alerted, once each";
  EXPECT_EQ(updatesOf(site, 1) + updatesOf(site, 2), "11");

  // A commits, but its answer never leaves: its sender's path is frozen, and A is killed.
  auto proxy = std::make_unique<TcpProxy>(portA);
  auto held = notifyOnce(proxy->port(), "host02", "CRIT GATE:g2 seq=4", "k1", 60);
  ASSERT_TRUE(waitFor(20, [&] { return countOf(readFile(logA), "search host02") == 2; })) << readFile(logA);
  proxy->freeze();
  dir.write("site-plugin.g2", "");
  ASSERT_TRUE(waitFor(20, [&] { return updatesOf(site, 4) == "1"; }));
  EXPECT_EQ(stop(*a, SIGKILL, 20), 128 + SIGKILL);
  held->signal(SIGKILL);
  proxy.reset();
  EXPECT_EQ(notifyOnce(portB, "host02", "CRIT GATE:g2 seq=4", "k1")->wait(30), 0);
  EXPECT_EQ(updatesOf(site, 4), "1");
  EXPECT_EQ(site.db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_service_id = 3"), "1");

  // A batch whose client left before the answer, sent again: each item applied once.
  const std::string batch = "[" + notification("host03", "CRIT GATE:g3 seq=5", "b5") + ","
      + notification("host04", "CRIT GATE:g3 seq=6", "b6") + "," + notification("host05", "CRIT GATE:g3 seq=7", "b7")
      + "]";
  EXPECT_EQ(post(portB, batch, "--max-time 1").status, 28);
  dir.write("site-plugin.g3", "");
  EXPECT_EQ(post(portB, batch, "-w ' %{http_code}'").out,
      "[{\"status\":\"stored\"},{\"status\":\"stored\"},{\"status\":\"stored\"}]\n 200");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_EQ(updatesOf(site, 5) + updatesOf(site, 6) + updatesOf(site, 7), "111");

  // rsyslog sends the slow line again while its plugin runs: the copies cost only their answers, the plugin runs once,
  // and the next line follows the slow one's end at once.
  RsyslogForwarding forwarding(dir, portB, pem);
  ASSERT_EQ(forwarding.missing, "") << "not in the shipped rsyslog configuration";
  ASSERT_TRUE(forwarding.send(syslogLine("host06", "CRIT SLEEP12 seq=8") + syslogLine("host07", "fine seq=9")));
  ASSERT_TRUE(waitFor(60, [&] { return updatesOf(site, 8) == "1"; })) << forwarding.diagnostics();
  const auto slowEnd = std::chrono::steady_clock::now();
  EXPECT_TRUE(waitFor(30, [&] { return updatesOf(site, 9) == "1"; })) << forwarding.diagnostics() << readFile(logB);
  EXPECT_LT(std::chrono::steady_clock::now() - slowEnd, std::chrono::seconds(30));
  EXPECT_EQ(countOf(readFile(logB), "search host06"), 1u);
  EXPECT_EQ(updatesOf(site, 8), "1");
  EXPECT_EQ(stop(*forwarding.process, SIGTERM, 30), 0);
  EXPECT_EQ(stop(*b), 0);
}

// quelm-notify --confirm driven as rsyslog drives it, through a kill of its Receiver: the line in flight is answered
// ERROR within 2 s, the line sent again while no Receiver listens at once, and once a new Receiver listens on the same
// port it is stored; at end of input quelm-notify ends.
TEST_F(NotifyTest, ConfirmGoesThroughAKillOfItsReceiverAndEndsAtEndOfInput)
{
  const std::string log = dir.path() + "/r.log";
  Site site(dir, "site", 1);
  const int port = freeLoopbackPort();
  auto receiver = site.startReceiver(dir, "r", port, pem);
  ASSERT_TRUE(started(log)) << readFile(log);
  // Its input is a FIFO that the test writes line by line; opened for reading too, so that opening never waits.
  const std::string fifo = dir.path() + "/input";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int input = ::open(fifo.c_str(), O_RDWR);
  TestProcess notify({ "/bin/sh", "-c", "exec \"$@\" <" + shellQuote(fifo), "sh", binaryDir + "/tools/quelm-notify",
      "wss://127.0.0.1:" + std::to_string(port) + "/", "--cacert", pem, "--confirm", "--host", "host00" });
  // The next answer once it came within the time given; empty otherwise.
  std::size_t taken = 0;
  auto next = [&](double seconds) {
    std::string out;
    if (!waitFor(seconds, [&] { return (out = notify.output()).find('\n', taken) != std::string::npos; }))
      return std::string();
    const std::string line = out.substr(taken, out.find('\n', taken) - taken);
    taken += line.size() + 1;
    return line;
  };
  auto put = [&](const std::string& line) { return ::write(input, (line + "\n").data(), line.size() + 1) > 0; };
  const std::string held = "GATE:g1 seq=4";
  EXPECT_EQ(next(20), "OK");
  for (const char* line : { "fine seq=1", "fine seq=2", "fine seq=3" })
    EXPECT_TRUE(put(line) && next(20) == "OK") << notify.output();
  ASSERT_TRUE(put(held));
  ASSERT_TRUE(waitFor(20, [&] { return countOf(readFile(log), "search host00") == 4; })) << readFile(log);
  EXPECT_EQ(stop(*receiver, SIGKILL, 20), 128 + SIGKILL);
  dir.write("site-plugin.g1", "");
  EXPECT_EQ(next(2), "ERROR: not stored (connection lost)");
  EXPECT_TRUE(put(held));
  EXPECT_EQ(next(2).rfind("ERROR: not stored (no connection: ", 0), 0u);
  std::rename(log.c_str(), (log + ".1").c_str());
  receiver = site.startReceiver(dir, "r", port, pem);
  EXPECT_TRUE(waitFor(60, [&] { return put(held) && next(20) == "OK"; })) << notify.output();
  EXPECT_EQ(site.delivered(), 4);
  // The only write end left: the Receiver started meanwhile holds no copy of it.
  ::close(input);
  EXPECT_EQ(notify.wait(15), 0) << notify.output();
  EXPECT_EQ(stop(*receiver), 0);
}

// A COMMIT whose answer is lost (made slow by a deferred trigger) is resolved by what its transaction wrote. Cut short
// by a stop, it took effect: its alert runs once, after the restart and before the service's next change. Cut short by
// a crash of the primary, it never took effect: after the failover to the synchronous standby the sender is told
// stored only once the change is there, and the change is written there once.
TEST_F(ClusterTest, ALostCommitAnswerIsResolvedByWhatItWroteThroughAStopAndAFailover)
{
  PrivateCluster cluster;
  ASSERT_TRUE(cluster.startStandby(true));
  std::string both;
  const auto settings = bothServers(cluster, dir, both);
  Site site(dir, "site", 2, 0, both);
  // The COMMIT of a notification marked SLOWn sleeps n seconds.
  site.db.exec("CREATE FUNCTION slow() RETURNS trigger AS $$ BEGIN PERFORM pg_sleep(substring(NEW.service_last_stdout "
               "from 'SLOW([0-9]+)')::int); RETURN NULL; END $$ LANGUAGE plpgsql; CREATE CONSTRAINT TRIGGER slow AFTER "
               "UPDATE ON quelm_services DEFERRABLE INITIALLY DEFERRED FOR EACH ROW WHEN (NEW.service_last_stdout LIKE "
               "'%SLOW%') EXECUTE FUNCTION slow()");
  const int port = freeLoopbackPort();
  const std::string log = dir.path() + "/r.log";
  auto start = [&] { return site.startReceiver(dir, "r", port, pem, settings); };
  auto committing = [&] {
    return site.db.scalar("SELECT count(*) FROM pg_stat_activity WHERE query = 'COMMIT' AND wait_event = 'PgSleep'")
        == "1";
  };
  auto receiver = start();
  ASSERT_TRUE(started(log)) << readFile(log);

  // Longer than the stop's grace for the COMMIT's answer and for the look-up after it.
  auto stopped = notifyOnce(port, "host00", "CRIT SLOW8 seq=1", "s1", 30);
  ASSERT_TRUE(waitFor(20, committing)) << readFile(log);
  receiver->signal(SIGTERM);
  EXPECT_EQ(stopped->wait(30), 4);
  EXPECT_EQ(receiver->wait(60), 0);
  ASSERT_TRUE(waitFor(20, [&] { return updatesOf(site, 1) == "1"; }));
  EXPECT_EQ(readFile(site.alerts), "") << "the alert of a change whose answer was lost ran before the restart";
  std::rename(log.c_str(), (log + ".1").c_str());
  receiver = start();
  ASSERT_TRUE(started(log)) << readFile(log);
  EXPECT_EQ(notifyOnce(port, "host00", "WARN seq=2", "s2", 30)->wait(60), 0);
  EXPECT_EQ(readFile(site.alerts),
      site.db.scalar("SELECT string_agg(happen_id::text, E'\\n' ORDER BY happen_id) || E'\\n' FROM quelm_error_happen "
                     "WHERE happen_service_id = 1"))
      << readFile(log);

  auto failed = notifyOnce(port, "host01", "CRIT SLOW3 seq=3", "f1", 120);
  ASSERT_TRUE(waitFor(20, committing)) << readFile(log);
  ASSERT_TRUE(cluster.control("crash"));
  ASSERT_TRUE(cluster.controlStandby("promote"));
  int status = failed->wait(120);
  EXPECT_NE(status, 3) << "answered for good without the change: its sender would not send it again";
  EXPECT_EQ(status == 0 ? updatesOf(site, 3) : "1", "1") << "told stored for a change the promoted server lacks";
  for (int attempt = 0; status != 0 && attempt < 3; ++attempt)
    status = notifyOnce(port, "host01", "CRIT SLOW3 seq=3", "f1", 60)->wait(90);
  EXPECT_EQ(status, 0) << readFile(log);
  EXPECT_EQ(updatesOf(site, 3), "1");
  EXPECT_EQ(site.db.scalar("SELECT pg_is_in_recovery()::text || ' ' || current_setting('port')"),
      "false " + clusterSetting(cluster.standbyEnvFile(), "PGPORT"));
  EXPECT_EQ(stop(*receiver), 0);
}

// SIGTERM while an HTTPS batch of six one-second items is half done, and no session is open: the batch gets its answer
// (what was stored, and "shutdown" for the rest). Then, with an acknowledged session open and eight persistent
// processes that ignore SIGTERM and the end of their input: the session's next message is answered "shutdown" at once,
// and the processes are stopped together: FINISH comes within a few seconds, and none is left.
TEST_F(ClusterTest, TheStopAnswersEverySenderAtOnceAndStopsPersistentPluginsTogether)
{
  Site site(dir, "site", 10);
  const std::string stubborn = dir.write("site-stubborn", readFile(QUELM_DUAL_PLUGIN), true);
  site.db.exec("UPDATE quelm_plugins SET plugin_path = '" + stubborn + "'");
  const int port = freeLoopbackPort();
  const std::string log = dir.path() + "/r.log";
  auto start = [&] {
    std::remove(log.c_str());
    return site.startReceiver(dir, "r", port, pem, { { "SYSLOG.thread", "8" }, { "PLUGINS.persistent", stubborn } });
  };
  auto receiver = start();
  ASSERT_TRUE(started(log)) << readFile(log);
  std::string batch;
  for (int seq = 30; seq < 36; ++seq)
    batch += (seq > 30 ? "," : "[") + notification("host08", "SLEEP1 seq=" + std::to_string(seq));
  auto posted = std::async(std::launch::async, [&] { return post(port, batch + "]", "-w ' %{http_code}'", 60).out; });
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  receiver->signal(SIGTERM);
  const std::string answer = posted.get();
  EXPECT_EQ(answer.substr(0, 20), "[{\"status\":\"stored\"}") << answer;
  EXPECT_NE(answer.find("{\"status\":\"shutdown\"}]\n 503"), std::string::npos) << answer;
  EXPECT_EQ(receiver->wait(60), 0);

  receiver = start();
  ASSERT_TRUE(started(log)) << readFile(log);
  std::vector<std::unique_ptr<TestProcess>> warming;
  for (int h = 0; h < 8; ++h)
    warming.push_back(notifyOnce(port, hostName(h), "SLEEP1 seq=" + std::to_string(h), "w" + std::to_string(h)));
  for (auto& each : warming)
    EXPECT_EQ(each->wait(30), 0);
  // An acknowledged session fed line by line.
  const std::string fifo = dir.path() + "/lines";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  TestProcess session({ "/bin/sh", "-c",
      "exec " + binaryDir + "/tools/quelm-notify wss://127.0.0.1:" + std::to_string(port) + "/ --cacert " + pem
          + " --confirm < " + fifo });
  std::ofstream lines(fifo);
  lines << notification("host09", "fine seq=20") << std::endl;
  ASSERT_TRUE(waitFor(10, [&] { return session.output() == "OK\nOK\n"; })) << session.output();
  receiver->signal(SIGTERM);
  const auto stopped = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  lines << notification("host09", "fine seq=21") << std::endl;
  EXPECT_TRUE(waitFor(1, [&] { return session.output() == "OK\nOK\nERROR: not stored (shutdown)\n"; }))
      << session.output();
  EXPECT_TRUE(waitFor(8, [&] { return readFile(log).find("#INFO#FINISH") != std::string::npos; })) << readFile(log);
  EXPECT_LT(std::chrono::steady_clock::now() - stopped, std::chrono::seconds(8));
  lines.close();
  EXPECT_EQ(session.wait(20), 0);
  EXPECT_EQ(receiver->wait(30), 0);
  EXPECT_EQ(runCommand("pgrep -x -f " + shellQuote(stubborn)).out, "") << "a persistent process is left";
}

// A real syslog-ng with the shipped http() destination and its reliable disk buffer, a client certificate and the
// sender rules: every numbered line is stored although the Receiver is stopped, then killed, and restarted each time,
// and a line of odd bytes is stored repaired.
TEST_F(ForwardingTest, SyslogNgOverHttpsLosesNothingThroughAStopAndAKill)
{
  const std::string authority = makeAuthority(dir, "senders");
  const std::string relay = makeSignedCertificatePem(dir, "relay.pem", "relay", authority);
  const int lineCount = 3000, hosts = 10, port = freeLoopbackPort();
  Site site(dir, "site", hosts);
  const std::string log = dir.path() + "/receiver.log";
  auto start = [&] {
    return site.startReceiver(dir, "receiver", port, pem,
        { { "SYSLOG.verify_client", "1" }, { "SYSLOG.cafile", authority }, { "SENDERS.relay", "host*" } });
  };
  auto receiver = start();
  ASSERT_TRUE(started(log)) << readFile(log);
  SyslogNg forwarder(dir, port, pem, relay);
  ASSERT_EQ(forwarder.missing, "") << "not in the shipped syslog-ng configuration";
  ASSERT_TRUE(forwarder.send(syslogLines(lineCount, hosts))) << forwarder.process->output();
  auto restart = [&](int signal) {
    EXPECT_EQ(stop(*receiver, signal), signal == SIGTERM ? 0 : 128 + signal);
    std::rename(log.c_str(), (log + "." + std::to_string(signal)).c_str());
    receiver = start();
    return started(log);
  };
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 600; })) << forwarder.process->output() << readFile(log);
  ASSERT_TRUE(restart(SIGTERM)) << readFile(log);
  ASSERT_TRUE(waitFor(120, [&] { return site.delivered() >= 1600; })) << forwarder.process->output() << readFile(log);
  ASSERT_TRUE(restart(SIGKILL)) << readFile(log);
  const std::string odd = std::to_string(lineCount + 1);
  ASSERT_TRUE(forwarder.send(syslogLine("host01", "fine caf\xe9 seq=" + odd)));
  EXPECT_TRUE(waitFor(240, [&] { return site.delivered() == lineCount + 1; }))
      << "missing: " + site.missing(lineCount + 1) + '\n' + forwarder.process->output() + readFile(log);
  EXPECT_EQ(
      site.db.scalar("SELECT count(*) FROM quelm_services WHERE service_last_stdout LIKE '%fine caf%seq=" + odd + "%'"),
      "1")
      << site.db.scalar("SELECT string_agg(service_last_stdout, E'\\n') FROM quelm_services");
  // Every line carries its id, so none sent again was applied twice.
  EXPECT_EQ(site.db.scalar("SELECT count(*) - count(DISTINCT seq) FROM delivered"), "0");
  EXPECT_EQ(stop(*forwarder.process), 0) << forwarder.process->output();
  EXPECT_EQ(stop(*receiver), 0);
}

} // namespace
