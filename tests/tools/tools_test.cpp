#include "core/ini_config.h"
#include "execution/plugin_runner.h"

#include "tests/support/command.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

namespace {

const std::string checkSyslog = std::string(QUELM_BINARY_DIR) + "/tools/quelm-check-syslog";

// The stock plugin run as the daemon runs plugins: no environment, the
// notification on standard input.
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
  const std::vector<std::string> args = { "--severity-critical", "crit", "--severity-warning", "4", "-c",
    "link (down|flap)", "-w", "retry" };
  struct Case {
    std::string severity, message;
    int state;
  } cases[] = {
    { "0", "m", 2 }, { "\"2\"", "m", 2 }, { "\"EMERG\"", "m", 2 }, { "3", "m", 1 }, { "\"Warning\"", "m", 1 },
    { "\" 4 \"", "m", 1 }, { "6", "m", 0 }, { "6", "eth0: link down", 2 }, { "6", "will retry", 1 },
    { "6", "link flap after retry", 2 }, { "6", "LINK DOWN", 0 },
  };
  const char* names[] = { "OK", "WARNING", "CRITICAL" };
  for (const Case& c : cases) {
    RunResult run = check(args, event(c.severity, c.message));
    EXPECT_EQ(run.exitStatus, c.state) << c.severity << " " << c.message;
    EXPECT_EQ(run.output, std::string(names[c.state]) + ": fw01: " + c.message + "\n");
  }
  // Other keys, and control characters folded into one line.
  RunResult run = check({ "--message-key", "text", "--host-key", "device", "-c", "shut" },
      "{\"device\":\"sw02\",\"text\":\"  port 7\\r\\nshut down\\t \"}\n");
  EXPECT_EQ(run.output, "CRITICAL: sw02: port 7  shut down\n");
}

// What it cannot use gives UNKNOWN and one line, never a hang or a crash.
TEST(CheckSyslogTest, UnusableInputAndCommandLinesAreUnknownInOneLine)
{
  struct Case {
    std::vector<std::string> args;
    std::string input;
  } cases[] = {
    { { "-c", "x" }, "" },
    { { "-c", "x" }, "{not json\n" },
    { { "-c", "x" }, "[\"message\", 1]\n" },
    { { "-c", "x" }, "{\"message\":42}\n" },
    { { "--severity-warning", "4" }, "{\"message\":\"no severity\"}\n" },
    { { "--severity-warning", "4" }, event("8", "m") },
    { { "--severity-warning", "4" }, event("\"loud\"", "m") },
    { { "-c", "m" }, "{\"message\":\"m\",\"x\":" + std::string(200000, '[') + std::string(200000, ']') + "}" },
    { { "-c", "a" }, "{\"message\":\"" + std::string(5 * 1024 * 1024, 'a') + "\"}\n" },
    { { "--timeout", "1", "-c", "(a|aa)+$" }, event("6", std::string(5000, 'a') + "b") },
    { {}, event("3", "m") },
    { { "-c", "(unclosed" }, event("3", "m") },
    { { "--severity-critical", "9" }, event("3", "m") },
    { { "--bogus", "-c", "x" }, event("3", "m") },
  };
  for (const Case& c : cases) {
    auto start = std::chrono::steady_clock::now();
    RunResult run = check(c.args, c.input);
    EXPECT_EQ(run.exitStatus, 3) << ::testing::PrintToString(c.args) << " " << c.input.substr(0, 60);
    EXPECT_EQ(run.output.rfind("UNKNOWN: ", 0), 0u) << run.output;
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  EXPECT_EQ(check({ "--help" }, "").exitStatus, 0);
}

// An install into a staging directory: the programs run, the sample
// configuration gives every key its own line for the substring lookup, the
// unit and the rsyslog configuration point at the installed files.
TEST(InstallTest, StagedFilesRunAndPointAtEachOther)
{
  TempDir dest;
  CommandResult result = runCommand("DESTDIR=" + shellQuote(dest.path()) + " " + shellQuote(QUELM_CMAKE_COMMAND)
          + " --install " + shellQuote(QUELM_BINARY_DIR),
      "", 120);
  ASSERT_EQ(result.status, 0) << result.out << result.err;
  RunResult run = runPlugin({ dest.path() + QUELM_INSTALL_BINDIR "/quelm-check-syslog", { "-c", "down" },
      std::string("{\"fromhost\":\"fw01\",\"message\":\"link down\"}\n"), 20 });
  EXPECT_EQ(run.output, "CRITICAL: fw01: link down\n");
  for (const char* name : { "quelm-receiver", "quelm-notify" })
    EXPECT_EQ(::access((dest.path() + QUELM_INSTALL_BINDIR "/" + name).c_str(), X_OK), 0) << name;

  std::string sample = dest.path() + QUELM_INSTALL_SYSCONFDIR "/quelm/receiver.conf.sample";
  IniConfig config(sample);
  const std::map<std::string, std::vector<std::string>> keys = {
    { "LOG", { "log_file" } },
    { "POSTGRESQL", { "connection_number", "PGSQL_host", "PGSQL_port", "PGSQL_db", "PGSQL_username", "PGSQL_pwd" } },
    { "SYSLOG", { "port", "certificate", "cafile", "thread", "plugin_timeout", "verify_client", "queue_limit" } },
  };
  std::string text = readFile(sample);
  for (const auto& [section, names] : keys) {
    for (const std::string& key : names) {
      std::string value = config.getKey(section, key);
      EXPECT_NE(text.find("\n" + key + "=" + value + "\n"), std::string::npos) << section << "." << key;
      EXPECT_FALSE(value.empty()) << key;
    }
  }
  std::string unit = readFile(dest.path() + QUELM_INSTALL_UNITDIR "/quelm-receiver.service");
  EXPECT_NE(unit.find("\nExecStart=" QUELM_INSTALL_BINDIR "/quelm-receiver -f " QUELM_INSTALL_SYSCONFDIR
                      "/quelm/receiver.conf\n"),
      std::string::npos)
      << unit;
  std::string rsyslog = readFile(dest.path() + QUELM_INSTALL_DATADIR "/quelm/rsyslog-quelm.conf");
  EXPECT_NE(rsyslog.find("binary=\"" QUELM_INSTALL_BINDIR "/quelm-notify "), std::string::npos) << rsyslog;
}

} // namespace
