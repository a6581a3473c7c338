#include "execution/persistent_plugin.h"
#include "execution/plugin_runner.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string checkSyslog = std::string(QUELM_BINARY_DIR) + "/tools/quelm-check-syslog";

// The stock plugin run as the daemon runs plugins: no environment, the notification on standard input. Given the
// daemon's persistent processes of it, the same case is also their next request, whose reply must be the same.
RunResult check(const std::vector<std::string>& args, const std::string& input, PersistentPlugins* persistent = nullptr)
{
  RunResult run = runPlugin({ checkSyslog, args, input, 20 });
  if (persistent != nullptr) {
    RunResult served = persistent->run({ checkSyslog, args, input, 20 });
    EXPECT_EQ(served.ending, RunResult::Ending::exited) << served.detail;
    EXPECT_EQ(served.exitStatus, run.exitStatus);
    EXPECT_EQ(served.output, run.output);
  }
  return run;
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
      = { { "0", "m", 2 }, { "\"2\"", "m", 2 }, { "\"EMERG\"", "m", 2 }, { "\"ALERT\"", "m", 2 }, { "3", "m", 1 },
          { "\"Warning\"", "m", 1 }, { "\" 4 \"", "m", 1 }, { "6", "m", 0 }, { "6", "eth0: link down", 2 },
          { "6", "will retry", 1 }, { "6", "link flap after retry", 2 }, { "6", "LINK DOWN", 0 } };
  const char* names[] = { "OK", "WARNING", "CRITICAL" };
  PersistentPlugins persistent({ checkSyslog }, 1, nullptr);
  for (const auto& [severity, message, state] : cases) {
    RunResult run = check(args, event(severity, message), &persistent);
    EXPECT_EQ(run.exitStatus, state) << severity << " " << message;
    EXPECT_EQ(run.output, std::string(names[state]) + ": fw01: " + message + "\n");
  }
  // Other keys, and control characters folded into one line.
  RunResult run = check({ "--message-key", "text", "--host-key", "device", "-c", "shut" },
      "{\"device\":\"sw02\",\"text\":\"  port 7\\r\\nshut down\\t \"}\n", &persistent);
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
          // One byte over 4 MiB, the newline that ends it counted.
          { { "-c", "a" }, "{\"message\":\"" + std::string(std::size_t { 4 } * 1024 * 1024 - 14, 'a') + "\"}\n" },
          { {}, event("3", "m") }, { { "-c", "(unclosed" }, event("3", "m") },
          { { "--severity-critical", "9" }, event("3", "m") }, { { "--bogus", "-c", "x" }, event("3", "m") } };
  PersistentPlugins persistent({ checkSyslog }, 1, nullptr);
  for (const auto& [args, input] : cases) {
    auto start = std::chrono::steady_clock::now();
    RunResult run = check(args, input, &persistent);
    EXPECT_EQ(run.exitStatus, 3) << testing::PrintToString(args) << " " << input.substr(0, 60);
    EXPECT_EQ(run.output.rfind("UNKNOWN: ", 0), 0u) << run.output;
    EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  }
  EXPECT_EQ(check({ "-c", "a" }, std::string(std::size_t { 5 } * 1024 * 1024, 'a'), &persistent).output,
      "UNKNOWN: input larger than 4 MiB\n");
  EXPECT_EQ(check({ "--help" }, "", &persistent).exitStatus, 0);
  TestProcess closed({ "/bin/sh", "-c", "exec \"$0\" -c x <&-", checkSyslog });
  EXPECT_EQ(closed.wait(10), 3);
  EXPECT_EQ(closed.output(), "UNKNOWN: cannot read standard input: Bad file descriptor\n");
  // A request that is unusable but has a seq is answered; one without is the end of the process.
  TestProcess raw({ "/usr/bin/env", "-i", "QUELM_PLUGIN_PROTOCOL=1", checkSyslog },
      "{\"seq\":99,\"args\":\"-c x\",\"input\":\"\"}\n{\"args\":[],\"input\":\"\"}\n");
  EXPECT_EQ(raw.wait(10), 2);
  const std::string unusable
      = R"({"output":"UNKNOWN: unusable request: \"args\" is not an array of texts\n","seq":99,"status":3})";
  EXPECT_EQ(raw.output().find(unusable + "\n"), 0u) << raw.output();
  // The time-out holds per run only: a persistent process is timed by the daemon.
  EXPECT_EQ(check({ "--timeout", "1", "-c", "(a|aa)+$" }, event("6", std::string(5000, 'a') + "b")).output,
      "UNKNOWN: no result within 1 s\n");
}

} // namespace
