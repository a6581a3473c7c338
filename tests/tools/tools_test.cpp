#include "core/ini_config.h"
#include "execution/plugin_runner.h"

#include "tests/support/command.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string checkSyslog = std::string(QUELM_BINARY_DIR) + "/tools/quelm-check-syslog";

// The stock plugin run as the daemon runs plugins: no environment, the notification on standard input.
RunResult check(std::vector<std::string> args, const std::string& input)
{
  return runPlugin({ checkSyslog, std::move(args), input, 20 });
}

std::string event(const std::string& severity, const std::string& message)
{
  return "{\"fromhost\":\"fw01\",\"message\":\"" + message + "\",\"severity\":" + severity + "}\n";
}

TEST(CheckSyslogTest, ThresholdsPatternsAndTheSummaryLine)
{
  const std::vector<std::string> args
      = { "--severity-critical", "crit", "--severity-warning", "4", "-c", "link (down|flap)", "-w", "retry" };
  // Severity, message, state.
  const std::vector<std::tuple<std::string, std::string, int>> cases
      = { { "0", "m", 2 }, { "\"2\"", "m", 2 }, { "\"EMERG\"", "m", 2 }, { "3", "m", 1 }, { "\"Warning\"", "m", 1 },
          { "\" 4 \"", "m", 1 }, { "6", "m", 0 }, { "6", "eth0: link down", 2 }, { "6", "will retry", 1 },
          { "6", "link flap after retry", 2 }, { "6", "LINK DOWN", 0 } };
  const char* names[] = { "OK", "WARNING", "CRITICAL" };
  for (const auto& [severity, message, state] : cases) {
    RunResult run = check(args, event(severity, message));
    EXPECT_EQ(run.exitStatus, state) << severity << " " << message;
    EXPECT_EQ(run.output, std::string(names[state]) + ": fw01: " + message + "\n");
  }
  // Other keys, and control characters folded into one line.
  RunResult run = check({ "--message-key", "text", "--host-key", "device", "-c", "shut" },
      "{\"device\":\"sw02\",\"text\":\"  port 7\\r\\nshut down\\t \"}\n");
  EXPECT_EQ(run.output, "CRITICAL: sw02: port 7  shut down\n");
}

// What it cannot use gives UNKNOWN and one line, never a hang or a crash.
TEST(CheckSyslogTest, UnusableInputAndCommandLinesAreUnknownInOneLine)
{
  const std::vector<std::string> pattern = { "-c", "x" }, severity = { "--severity-warning", "4" };
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases
      = { { pattern, "" }, { pattern, "{not json\n" }, { pattern, "[\"message\", 1]\n" },
          { pattern, "{\"message\":42}\n" }, { severity, "{\"message\":\"no severity\"}\n" },
          { severity, event("8", "m") }, { severity, event("\"loud\"", "m") },
          { { "-c", "m" }, "{\"message\":\"m\",\"x\":" + std::string(200000, '[') + std::string(200000, ']') + "}" },
          { { "-c", "a" }, "{\"message\":\"" + std::string(5 * 1024 * 1024, 'a') + "\"}\n" },
          { { "--timeout", "1", "-c", "(a|aa)+$" }, event("6", std::string(5000, 'a') + "b") }, { {}, event("3", "m") },
          { { "-c", "(unclosed" }, event("3", "m") }, { { "--severity-critical", "9" }, event("3", "m") },
          { { "--bogus", "-c", "x" }, event("3", "m") } };
  for (const auto& [args, input] : cases) {
    auto start = std::chrono::steady_clock::now();
    RunResult run = check(args, input);
    EXPECT_EQ(run.exitStatus, 3) << testing::PrintToString(args) << " " << input.substr(0, 60);
    EXPECT_EQ(run.output.rfind("UNKNOWN: ", 0), 0u) << run.output;
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  EXPECT_EQ(check({ "--help" }, "").exitStatus, 0);
}

// An install into a staging directory: the programs run, the sample configuration gives every key its own line for
// the substring lookup, the unit and the rsyslog configuration point at the installed files.
TEST(InstallTest, StagedFilesRunAndPointAtEachOther)
{
  TempDir dest;
  const std::string root = dest.path();
  CommandResult result = runCommand("DESTDIR=" + shellQuote(root) + " " + shellQuote(QUELM_CMAKE_COMMAND)
          + " --install " + shellQuote(QUELM_BINARY_DIR),
      "", 120);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  RunResult run = runPlugin({ root + QUELM_INSTALL_BINDIR "/quelm-check-syslog", { "-c", "down" },
      "{\"fromhost\":\"fw01\",\"message\":\"link down\"}\n", 20 });
  EXPECT_EQ(run.output, "CRITICAL: fw01: link down\n");
  for (const char* name : { "quelm-receiver", "quelm-notify" })
    EXPECT_EQ(::access((root + QUELM_INSTALL_BINDIR "/" + name).c_str(), X_OK), 0) << name;
  std::string sample = root + QUELM_INSTALL_SYSCONFDIR "/quelm/receiver.conf.sample", text = readFile(sample);
  IniConfig config(sample);
  for (const std::string key : { "LOG.log_file", "POSTGRESQL.connection_number", "POSTGRESQL.PGSQL_host",
           "POSTGRESQL.PGSQL_port", "POSTGRESQL.PGSQL_db", "POSTGRESQL.PGSQL_username", "POSTGRESQL.PGSQL_pwd",
           "SYSLOG.port", "SYSLOG.certificate", "SYSLOG.cafile", "SYSLOG.thread", "SYSLOG.plugin_timeout",
           "SYSLOG.verify_client", "SYSLOG.queue_limit" }) {
    std::string name = key.substr(key.find('.') + 1), value = config.getKey(key.substr(0, key.find('.')), name);
    EXPECT_TRUE(!value.empty() && text.find("\n" + name + "=" + value + "\n") != std::string::npos) << key;
  }
  std::string unit = readFile(root + QUELM_INSTALL_UNITDIR "/quelm-receiver.service");
  const char* execStart
      = "\nExecStart=" QUELM_INSTALL_BINDIR "/quelm-receiver -f " QUELM_INSTALL_SYSCONFDIR "/quelm/receiver.conf\n";
  EXPECT_NE(unit.find(execStart), std::string::npos) << unit;
  std::string rsyslog = readFile(root + QUELM_INSTALL_DATADIR "/quelm/rsyslog-quelm.conf");
  EXPECT_NE(rsyslog.find("binary=\"" QUELM_INSTALL_BINDIR "/quelm-notify "), std::string::npos) << rsyslog;
}

} // namespace
