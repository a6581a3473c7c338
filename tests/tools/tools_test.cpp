#include "execution/plugin_runner.h"

#include <gtest/gtest.h>

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
      = { { "0", "m", 2 }, { "\"2\"", "m", 2 }, { "\"EMERG\"", "m", 2 }, { "\"ALERT\"", "m", 2 }, { "3", "m", 1 },
          { "\"Warning\"", "m", 1 }, { "\" 4 \"", "m", 1 }, { "6", "m", 0 }, { "6", "eth0: link down", 2 },
          { "6", "will retry", 1 }, { "6", "link flap after retry", 2 }, { "6", "LINK DOWN", 0 } };
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
          { { "-c", "a" }, "{\"message\":\"" + std::string(std::size_t { 5 } * 1024 * 1024, 'a') + "\"}\n" },
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
  EXPECT_EQ(check({ "-c", "a" }, std::string(std::size_t { 5 } * 1024 * 1024, 'a')).output,
      "UNKNOWN: input larger than 4 MiB\n");
  EXPECT_EQ(check({ "--help" }, "").exitStatus, 0);
}

} // namespace
