#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/daemon_config.h"
#include "tests/support/datagram_listener.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <chrono>
#include <csignal>
#include <memory>
#include <sstream>
#include <thread>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

// The real daemon with four workers and its metrics endpoint, run as systemd runs it (a notification socket, a
// two-second watchdog), over a product database with five syslog services reached through a proxy, fed by the
// real sender tool with a certificate that may report for every host ("branch-a" only for the firewalls).
TEST(ReceiverTest, TheRoadOfNotificationsFromStartUpToSigterm)
{
  TestDatabase db;
  // The daemon reaches its database through a proxy the test can freeze.
  TcpProxy proxy(std::stoi(db.port));
  TempDir dir;
  const std::string alerts = dir.path() + "/alerts.txt", socketPath = dir.path() + "/notify.sock";
  // The stock plugin, served by a persistent process; a copy of the test's own, to be looked for after the stop.
  const std::string stock = dir.write("stock-plugin", readFile(binaryDir + "/tools/quelm-check-syslog"), true);
  const int port = freeLoopbackPort(), metricsPort = freeLoopbackPort();
  // A duration no other test run uses, so that the check for a plugin left behind sees only this run's.
  const std::string hang = std::to_string(600000 + ::getpid());
  std::string seen;
  DatagramListener systemd { socketPath };
  std::string plugin = dir.write("plugin.sh",
      "#!/bin/sh\nread line\ncase \"$line\" in\n  *CRIT*) echo \"CRITICAL: $line\"; exit 2;;\n"
      "  *WARN*) echo \"WARNING: $line\"; exit 1;;\n  *SILENT*) exit 0;;\n  *HANG*) exec /usr/bin/sleep "
          + hang + ";;\n  *) echo \"OK: $line\"; exit 0;;\nesac\n",
      true);
  std::string alerter = dir.write("alert.sh", "#!/bin/sh\necho \"$@\" >> " + alerts + "\n", true);
  // old01 and young01 are CRITICAL since ten minutes; young01 closes its errors only after thirty.
  db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin + "'), (2, '" + stock + "')");
  db.exec("INSERT INTO quelm_program (program_id, program_path) VALUES (1, '" + alerter + "')");
  db.exec("INSERT INTO quelm_device (device_id, device_name) VALUES (1, 'fw01'), (2, 'sw01'), (3, 'gw01'), "
          "(4, 'old01'), (5, 'young01'), (6, 'px01');"
          "INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
          "service_previous_state, service_last_stdout) VALUES (1, 'fw01-syslog', 1, 1, 0, ''), "
          "(2, 'sw01-syslog', 1, 2, 0, ''), (3, 'gw01-syslog', 1, 3, 0, ''), (4, 'old01-syslog', 1, 4, 2, 'x'), "
          "(5, 'young01-syslog', 1, 5, 2, 'x'), (6, 'px01-syslog', 2, 6, 0, '');"
          "UPDATE quelm_services SET service_parameter = '-c CRIT' WHERE service_id = 6;"
          "INSERT INTO quelm_service_response_program VALUES (1, 1, true, true, true, true, 'id=$ERROR'), "
          "(2, 1, true, false, false, false, ''), (3, 1, true, true, false, false, 'gw $ERROR'), "
          "(4, 1, true, false, true, false, 'old $ERROR'), (5, 1, true, false, true, false, 'young $ERROR'), "
          "(6, 1, false, false, false, false, '');"
          "INSERT INTO quelm_device_advance_config (adv_device_id, adv_param) VALUES (5, '{\"during_alert\":\"30\"}');"
          "INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, happen_timestamp) "
          "VALUES (2, 4, 4, now() - interval '10 minute'), (2, 5, 5, now() - interval '10 minute')");
  const std::string authority = makeAuthority(dir, "senders");
  makeSignedCertificatePem(dir, "road.pem", "road", authority);
  std::string config = writeReceiverConfig(dir, db,
      { { "SYSLOG.port", std::to_string(port) }, { "POSTGRESQL.PGSQL_port", std::to_string(proxy.port()) },
          { "POSTGRESQL.answer_timeout", "2" },
          { "SYSLOG.certificate", makeCertificatePem(dir, "receiver.pem", "localhost") }, { "SYSLOG.thread", "4" },
          { "SYSLOG.verify_client", "1" }, { "SYSLOG.cafile", authority }, { "SENDERS.road", "*" },
          { "SENDERS.branch-a", "fw*" }, { "PLUGINS.persistent", "/nowhere/else, " + stock },
          { "METRICS.listen", "127.0.0.1:" + std::to_string(metricsPort) } });
  const std::string branch = makeSignedCertificatePem(dir, "branch.pem", "branch-a", authority);
  ::setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
  ::setenv("WATCHDOG_USEC", "2000000", 1);
  auto daemon
      = std::make_unique<TestProcess>(std::vector<std::string> { binaryDir + "/quelm-receiver", "-f", config, "-D" });
  ::unsetenv("NOTIFY_SOCKET");
  ::unsetenv("WATCHDOG_USEC");
  auto log = [&] { return readFile(dir.path() + "/receiver.log"); };
  auto logged = [&](const std::string& part) { return log().find(part) != std::string::npos; };
  ASSERT_TRUE(waitFor(30, [&] { return logged("SYSLOG was starting...."); })) << log();
  // A "--cert" among the test's arguments follows the default one and wins.
  auto notifyArgs = [&](std::vector<std::string> args) {
    args.insert(args.begin(),
        { binaryDir + "/tools/quelm-notify", "wss://127.0.0.1:" + std::to_string(port) + "/", "--cacert",
            dir.path() + "/receiver.pem", "--cert", dir.path() + "/road.pem" });
    return args;
  };
  auto notify = [&](const std::vector<std::string>& args) { return TestProcess(notifyArgs(args)).wait(30); };
  auto states = [&] {
    return db.scalar("SELECT string_agg(service_previous_state::text, '' ORDER BY service_id) FROM quelm_services");
  };

  ASSERT_TRUE(systemd.bound());
  std::optional<std::string> ready = systemd.until("READY=1", 10, seen);
  ASSERT_TRUE(ready) << seen;
  EXPECT_NE(ready->find("STATUS=0 sessions, 0 queued, "), std::string::npos) << *ready;
  // The watchdog is fed every second, each time with a status line.
  for (int i = 0; i < 2; ++i) {
    std::optional<std::string> fed = systemd.until("WATCHDOG=1", 3, seen);
    ASSERT_TRUE(fed) << seen;
    EXPECT_NE(fed->find("STATUS="), std::string::npos) << *fed;
  }
  // The first cleaning pass closes the stale error and alerts once; the young one stays.
  ASSERT_TRUE(waitFor(20, [&] { return states().substr(3, 2) == "02"; })) << log();
  std::string stale = db.scalar("SELECT happen_id FROM quelm_error_happen WHERE happen_service_id=4");
  // CRITICAL alerts with the occurrence id as the whole "$ERROR" argument; then OK alerts for it again and closes it.
  EXPECT_EQ(notify({ "--ack", "--host", "fw01", "--message", "CRIT one" }), 0);
  std::string open = db.scalar("SELECT happen_id FROM quelm_error_happen WHERE happen_service_id=1");
  EXPECT_EQ(notify({ "--ack", "--host", "fw01", "--message", "fine two" }), 0);
  EXPECT_EQ(
      db.scalar("SELECT happen_error_id || ':' || happen_acquitte FROM quelm_error_happen WHERE happen_service_id=1"),
      "2:1");
  // The sender is answered at the commit; the alerting program runs right after.
  const std::string alerted = "old " + stale + "\n" + open + "\n" + open + "\n";
  EXPECT_TRUE(waitFor(10, [&] { return readFile(alerts) == alerted; })) << readFile(alerts);
  // Hostile and unknown input is ignored; a silent plugin runs three times and its UNKNOWN is stored.
  EXPECT_EQ(notify({ "--ack", "--json", "{not json" }), 3);
  EXPECT_EQ(notify({ "--ack", "--host", "nobody", "--message", "CRIT" }), 3);
  EXPECT_EQ(notify({ "--ack", "--host", "sw01", "--message", "SILENT" }), 0);
  EXPECT_EQ(countOf(log(), "#ERR#Excute failed retrysw01-syslog 2 DAEMON: the plugin does not return anything"), 3u);
  // A sender limited to the firewalls is refused for a switch, which keeps its row, and served for a firewall.
  EXPECT_EQ(notify({ "--ack", "--cert", branch, "--host", "sw01", "--message", "CRIT" }), 3);
  EXPECT_EQ(notify({ "--ack", "--cert", branch, "--host", "fw01", "--message", "fine" }), 0);
  // A certificate with two common names, the first one allowed everything, has no identity at all.
  const std::string two = makeSignedCertificatePem(dir, "two.pem", "road/CN=branch-a", authority);
  EXPECT_EQ(notify({ "--ack", "--cert", two, "--host", "fw01", "--message", "CRIT" }), 3);
  EXPECT_EQ(countOf(log(), "has more than one common name: no sender identity"), 1u);
  EXPECT_EQ(db.scalar("SELECT service_previous_state FROM quelm_services WHERE service_id=2"), "3");
  EXPECT_TRUE(logged("#ERR#SyslogServer#sender \"branch-a\" may not report for sw01, notification refused; 1 "))
      << log();
  // A plain-text client fails its TLS handshake, and so does one that never starts it, when its time runs out.
  EXPECT_EQ(runCommand("curl -s --max-time 5 http://127.0.0.1:" + std::to_string(port) + "/").out, "");
  const std::string silent = "exec bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port) + " && exec cat <&3'";
  EXPECT_EQ(runCommand(silent, "", 20).status, 0);

  // Every outcome is counted, the handshake failure and the last outcome a moment after the sender has its answer.
  auto metrics = [&] {
    return runCommand("curl -sf --max-time 10 http://127.0.0.1:" + std::to_string(metricsPort) + "/metrics").out;
  };
  std::string text;
  const std::vector<std::string> expected = { "notifications_total{outcome=\"stored\"} 4\n",
    "notifications_total{outcome=\"ignored\"} 2\n", "notifications_total{outcome=\"forbidden\"} 2\n",
    "notifications_total{outcome=\"dropped\"} 0\n", "plugin_runs_total{state=\"critical\"} 1\n",
    "plugin_runs_total{state=\"ok\"} 2\n", "plugin_failures_total 3\n", "plugin_runs_total{state=\"unknown\"} 0\n",
    "plugin_run_seconds_count 6\n", "receipt_to_stored_seconds_count 4\n", "alerting_programs_total 3\n",
    "alerting_program_failures_total 0\n", "cleaning_closed_errors_total 1\n", "tls_handshake_failures_total 2\n",
    "database_connection_losses_total 0\n", "queued_notifications 0\n", "open_sessions 0\n", "running_workers 4\n",
    "build_info{version=\"", "cleaning_passes_total " };
  EXPECT_TRUE(waitFor(10, [&] {
    text = metrics();
    return std::all_of(expected.begin(), expected.end(),
        [&](auto& line) { return text.find("quelm_receiver_" + line) != std::string::npos; });
  })) << text;
  CommandResult lint = runCommand("promtool check metrics", text);
  EXPECT_EQ(lint.status, 0) << lint.out << lint.err;

  // Four senders at once for one host, each ending on OK.
  std::vector<std::unique_ptr<TestProcess>> senders;
  for (int i = 0; i < 4; ++i)
    senders.push_back(std::make_unique<TestProcess>(
        notifyArgs({ "--ack", "--stdin", "--host", "sw01" }), "CRIT a\nfine b\nWARN c\nfine d\n"));
  for (auto& sender : senders)
    EXPECT_EQ(sender->wait(60), 0);
  EXPECT_EQ(states(), "000020");

  // A real Prometheus server scrapes it every second, and every query of the shipped dashboard finds its series.
  int prometheusPort = freeLoopbackPort();
  dir.write("prometheus.yml",
      "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n  - job_name: receiver\n"
      "    static_configs:\n      - targets: ['127.0.0.1:"
          + std::to_string(metricsPort) + "']\n");
  TestProcess prometheus({ "/usr/bin/prometheus", "--config.file=" + dir.path() + "/prometheus.yml",
      "--storage.tsdb.path=" + dir.path() + "/tsdb", "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort),
      "--log.level=error" });
  const std::string jq
      = "jq -r '.panels[].targets[].expr | gsub(\"[$]__rate_interval\"; \"1m\") | gsub(\"[$]instance\"; "
        "\".*\")' ",
      instant = "promtool query instant http://127.0.0.1:" + std::to_string(prometheusPort) + " ";
  std::istringstream expressions("quelm_receiver_notifications_total{outcome=\"stored\",job=\"receiver\"} == 20\n"
      + runCommand(jq + shellQuote(QUELM_SOURCE_DIR "/packaging/grafana-dashboard.json")).out);
  CommandResult answer;
  auto answered = [&](const std::string& expression) {
    answer = runCommand(instant + shellQuote(expression), "", 10);
    return answer.status == 0 && answer.out.find(" => ") != std::string::npos;
  };
  int queries = 0;
  for (std::string expression; std::getline(expressions, expression); ++queries)
    EXPECT_TRUE(waitFor(40, [&] { return answered(expression); }))
        << expression + '\n' + answer.out << answer.err << prometheus.output();
  EXPECT_GE(queries, 5);

  // The stock plugin answers as a persistent process: loaded as such, traced, counted, stored as a run would be.
  EXPECT_EQ(notify({ "--ack", "--host", "px01", "--message", "link CRIT" }), 0);
  EXPECT_EQ(db.scalar("SELECT service_previous_state || ' ' || service_last_stdout FROM quelm_services WHERE "
                      "service_id = 6"),
      "2 CRITICAL: px01: link CRIT\n");
  for (const std::string& line : { "#INFO#service 6 px01-syslog: plugin " + stock + " served by persistent processes",
           "#INFO#service 1 fw01-syslog: plugin " + dir.path() + "/plugin.sh run once per notification",
           "#DEBUG#persistent plugin " + stock + " request 1" })
    EXPECT_TRUE(logged(line)) << line;
  EXPECT_NE(metrics().find("quelm_receiver_persistent_plugins 1\n"), std::string::npos);

  // A forged host cannot write a line of its own, neither where it is looked up nor in the debug trace.
  const std::string forged = "Tue Dec  8 00:00:00 2026#INFO#FINISH";
  EXPECT_EQ(notify({ "--json", "{\"fromhost\":\"evil\\n" + forged + "\"}" }), 0);
  EXPECT_TRUE(waitFor(10, [&] { return logged("search evil\\n" + forged + "\n"); })) << log();
  EXPECT_EQ(log().find("\n" + forged), std::string::npos);

  // The same port answers curl: a batch is handled in order and answered once stored, under the same sender rules.
  auto curl = [&](const std::string& pem, const std::string& request) {
    return runCommand("curl -sS --max-time 20 --cacert " + dir.path() + "/receiver.pem --cert " + pem
            + " -w '|%{http_code}' -H 'Content-Type: application/json' https://localhost:" + std::to_string(port)
            + "/v1/" + request,
        "", 30)
        .out;
  };
  const std::string road = dir.path() + "/road.pem";
  const std::string closed = "SELECT count(*) FROM quelm_error_happen WHERE happen_service_id=2 AND happen_acquitte=1";
  const std::string closedBefore = db.scalar(closed);
  EXPECT_EQ(curl(road,
                R"(notifications -d '[{"fromhost":"sw01","m":"CRIT curl"},{"fromhost":"sw01","m":"fine"},)"
                R"({"fromhost":"nobody"}]')"),
      "[{\"status\":\"stored\"},{\"status\":\"stored\"},{\"status\":\"ignored\"}]\n|200");
  EXPECT_EQ(db.scalar(closed), std::to_string(std::stoi(closedBefore) + 1));
  EXPECT_EQ(curl(branch, R"(notifications -d '{"fromhost":"sw01","m":"CRIT"}')"), "[{\"status\":\"forbidden\"}]\n|403");
  EXPECT_EQ(curl(road, "health"), "{\"status\":\"ok\"}\n|200");

  // A rotation renames the file and sends SIGHUP: the daemon writes on in a new file, the old one is kept whole.
  ASSERT_EQ(std::rename((dir.path() + "/receiver.log").c_str(), (dir.path() + "/receiver.log.1").c_str()), 0);
  daemon->signal(SIGHUP);
  ASSERT_TRUE(waitFor(10, [&] { return logged("#INFO#log file reopened"); }));
  EXPECT_EQ(notify({ "--ack", "--host", "gw01", "--message", "fine" }), 0);
  EXPECT_TRUE(logged("search gw01")) << log();
  const std::string before = readFile(dir.path() + "/receiver.log.1");
  EXPECT_EQ(before.find("search gw01"), std::string::npos);

  // A stop ends in time whatever plugins and database do: a plugin that never ends is stopped with its group, a result
  // waiting for a database gone silent (connected, never answering) is given up, each in an "ERR" line, and the
  // acknowledged sender told to resend.
  EXPECT_EQ(notify({ "--host", "gw01", "--message", "HANG" }), 0);
  proxy.freeze();
  EXPECT_TRUE(
      waitFor(10, [&] { return curl(road, "health") == "{\"status\":\"the database does not answer\"}\n|503"; }));
  TestProcess stranded(notifyArgs({ "--ack", "--timeout", "60", "--host", "fw01", "--message", "CRIT stranded" }));
  ASSERT_TRUE(waitFor(10, [&] { return logged("search fw01"); })) << log();
  // A session open at the stop: what it sends after is answered "shutdown"; a one-way one is closed with 1001.
  auto afterStop = [&](const std::vector<std::string>& args) {
    std::string command = "(sleep 2; echo late) |";
    for (const std::string& arg : notifyArgs(args))
      command += " " + shellQuote(arg);
    return std::make_unique<TestProcess>(std::vector<std::string> { "/bin/sh", "-c", command });
  };
  const std::size_t opened = countOf(log(), "SyslogServer#on_open end");
  auto lateSender = afterStop({ "--ack", "--stdin", "--host", "gw01" });
  auto oneWaySender = afterStop({ "--stdin", "--host", "gw01" });
  ASSERT_TRUE(waitFor(10, [&] { return countOf(log(), "SyslogServer#on_open end") >= opened + 2; })) << log();
  auto stopAt = std::chrono::steady_clock::now();
  daemon->signal(SIGTERM);
  ASSERT_TRUE(waitFor(10, [&] { return logged("#INFO#stop Receiver... SIGTERM"); }));
  EXPECT_EQ(notify({ "--host", "gw01", "--message", "refused" }), 1) << "a new sender was taken after the stop";
  EXPECT_EQ(lateSender->wait(30), 4) << lateSender->output();
  EXPECT_NE(lateSender->output().find("shutdown"), std::string::npos) << lateSender->output();
  EXPECT_EQ(oneWaySender->wait(30), 1) << oneWaySender->output();
  EXPECT_EQ(daemon->wait(40), 0) << log();
  EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::seconds(20));
  EXPECT_TRUE(systemd.until("STOPPING=1", 10, seen)) << seen;
  EXPECT_EQ(stranded.wait(30), 4) << stranded.output();
  for (const char* line : { "notification from fw01 not stored, the Receiver is stopping: 1 fw01-syslog state 2",
           "notification from gw01 not handled, the Receiver is stopping: 3 gw01-syslog plugin stopped" })
    EXPECT_TRUE(logged(line)) << log();
  EXPECT_EQ(runCommand("pgrep -fx '/usr/bin/sleep " + hang + "'").out, "");
  EXPECT_EQ(runCommand("pgrep -x stock-plugin").out, "") << "a persistent plugin is left";
  EXPECT_TRUE(logged("#ERR#database connection lost, reconnecting: no answer from the server within 2 s"));
  proxy.thaw();
  EXPECT_EQ(states().substr(0, 3), "000");
  text = before + log();
  size_t previous = 0;
  for (const char* line : { "#INFO#Receiver start....", "#INFO#Connection database sucessful. Encoding: UTF8",
           "#INFO#SYSLOG was starting....", "#INFO#log file reopened", "#INFO#stop Receiver... SIGTERM",
           "\tfin thread: ", "#INFO#FINISH" })
    ASSERT_NE(previous = text.find(line, previous), std::string::npos) << line << "\n" << text;
  EXPECT_EQ(countOf(text, "\tfin thread: "), 4u) << runCommand("grep -n -B2 -A1 -F 'fin thread'", text).out;
  // With -D the debug lines trace the transitions, in the texts operators know.
  for (const char* line :
      { "fw01-syslog acquitte l'erreur==>OK", "#DEBUG#th_clean#old01-syslog acquitte l'erreur==>OK" })
    EXPECT_NE(text.find(line), std::string::npos) << line;
  // The WebSocket library's own access and error lines ("[2026-12-07 ...] [connect] ...") stay out of the log.
  EXPECT_EQ(text.find("\n[2"), std::string::npos) << text;
}

// Start-up failures exit 1 with the reason where an operator looks; odd values reach the database as configured.
TEST(ReceiverStartTest, FailuresExitOneWithTheReasonAndOddPasswordsWork)
{
  TestDatabase db;
  for (const auto& [key, value, reason] :
      { std::tuple { "POSTGRESQL.PGSQL_pwd", "wrong", "password authentication failed" },
          std::tuple { "POSTGRESQL.connection_number", "0", "at least one connection" },
          std::tuple { "SYSLOG.port", "65536", "bad listen" } }) {
    TempDir dir;
    TestProcess daemon({ binaryDir + "/quelm-receiver", "-f", writeReceiverConfig(dir, db, { { key, value } }) });
    EXPECT_EQ(daemon.wait(60), 1) << reason;
    EXPECT_NE(readFile(dir.path() + "/receiver.log").find(reason), std::string::npos)
        << readFile(dir.path() + "/receiver.log");
  }
  TempDir dir;
  auto log = [&] { return readFile(dir.path() + "/receiver.log"); };
  EXPECT_EQ(runCommand(binaryDir + "/quelm-receiver --version").out, "quelm-receiver " QUELM_VERSION "\n");
  EXPECT_NE(runCommand(binaryDir + "/quelm-receiver --help").out.find("-f CONFIG"), std::string::npos);
  TestProcess missing({ binaryDir + "/quelm-receiver", "-f", dir.path() + "/absent.conf" });
  EXPECT_EQ(missing.wait(20), 1);
  EXPECT_EQ(missing.output(), "error: can't open file\n");
  EXPECT_NE(::access((dir.path() + "/receiver.log").c_str(), F_OK), 0);
  // Spaces and quotes in a password included, and what an operator should fix logged once each; SIGTERM during
  // start-up still ends with FINISH. A role that may not create the Receiver's own tables cannot start until the
  // owner has run the file that makes them.
  const std::string role = "odd user " + std::to_string(::getpid()), quoted = "\"" + role + "\"";
  db.exec("CREATE ROLE " + quoted + " LOGIN PASSWORD 'pass word''s \"x\"'; GRANT ALL ON ALL TABLES IN SCHEMA public TO "
      + quoted);
  std::string config = writeReceiverConfig(dir, db,
      { { "POSTGRESQL.PGSQL_username", role }, { "POSTGRESQL.PGSQL_pwd", "pass word's \"x\"" },
          { "SYSLOG.idle_timeout", "0x" }, { "SYSLOG.therad", "4" }, { "SYSLOG.verify_client", "2" } });
  // The owner's starts above made the tables.
  db.exec("DROP TABLE quelm_receiver_applied, quelm_receiver_alerts");
  TestProcess refused({ binaryDir + "/quelm-receiver", "-f", config });
  EXPECT_EQ(refused.wait(60), 1);
  EXPECT_EQ(countOf(log(),
                "#ERR#the Receiver's tables quelm_receiver_applied and quelm_receiver_alerts are missing and this "
                "database role may not create them: have the database's owner run schema/receiver.sql"),
      1u)
      << log();
  db.exec(readFile(QUELM_SOURCE_DIR "/schema/receiver.sql") + "; GRANT ALL ON ALL TABLES IN SCHEMA public TO " + quoted
      + "; GRANT ALL ON ALL SEQUENCES IN SCHEMA public TO " + quoted);
  std::remove((dir.path() + "/receiver.log").c_str());
  TestProcess odd({ binaryDir + "/quelm-receiver", "-f", config });
  ASSERT_TRUE(waitFor(30, [&] { return log().find("#WAIT") != std::string::npos; })) << log();
  // A storm of SIGHUP (logrotate's) and SIGTERM up to the very end harms nothing. The process stays unreaped until
  // the storm is over, so its pid is its own throughout.
  for (int n = 0; n < 200000 && !odd.hasExited(); ++n) {
    ::kill(odd.pid(), n % 50 == 0 ? SIGTERM : SIGHUP);
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  EXPECT_EQ(odd.wait(60), 0);
  const std::string text = log();
  EXPECT_LT(text.find("#INFO#stop Receiver... SIGTERM"), text.find("#INFO#FINISH"));
  for (const char* problem : { "[SYSLOG] idle_timeout=0x: not a whole number (read as 0)",
           "[SYSLOG] therad=4: unknown key, ignored", "[SYSLOG] verify_client=2: out of range 0 to 1" })
    EXPECT_EQ(countOf(text, std::string("#ERR#configuration: ") + problem + "\n"), 1u) << problem << "\n" << text;
  EXPECT_EQ(countOf(text, "#ERR#configuration: "), 3u) << text;
  db.exec("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM " + quoted
      + "; REVOKE ALL ON ALL SEQUENCES IN SCHEMA public FROM " + quoted + "; DROP ROLE " + quoted);
}

} // namespace
