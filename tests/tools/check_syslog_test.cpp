#include "tests/support/temp_dir.h"
#include "tests/tools/plugin_run.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string plugin = std::string(QUELM_BINARY_DIR) + "/tools/quelm-check-syslog";

PluginRun check(std::vector<std::string> args, const std::string& input, double timeoutSeconds = 20)
{
  args.insert(args.begin(), plugin);
  return runPlugin(args, input, {}, timeoutSeconds);
}

std::string notification(const std::string& severity, const std::string& message, const std::string& host = "fw01")
{
  return "{\"fromhost\":\"" + host + "\",\"message\":\"" + message + "\",\"severity\":" + severity + "}\n";
}

bool isOneLine(const std::string& out) { return !out.empty() && out.find('\n') == out.size() - 1; }

TEST(CheckSyslogTest, SeverityThresholdsTakeNumbersNumericTextAndNames)
{
  const std::vector<std::string> args = { "--severity-critical", "crit", "--severity-warning", "4" };
  struct Case {
    std::string severity;
    int state;
  };
  const Case cases[] = { { "0", 2 }, { "2", 2 }, { "\"2\"", 2 }, { "\"crit\"", 2 }, { "\"EMERG\"", 2 },
    { "3", 1 }, { "\"err\"", 1 }, { "\" 4 \"", 1 }, { "\"Warning\"", 1 }, { "5", 0 }, { "\"info\"", 0 },
    { "7", 0 } };
  for (const Case& c : cases) {
    PluginRun run = check(args, notification(c.severity, "disk almost full"));
    EXPECT_EQ(run.status, c.state) << c.severity << " -> " << run.out;
    const char* names[] = { "OK", "WARNING", "CRITICAL" };
    EXPECT_EQ(run.out, std::string(names[c.state]) + ": fw01: disk almost full\n") << c.severity;
  }
  // Only a warning threshold: a critical severity still warns.
  EXPECT_EQ(check({ "--severity-warning=err" }, notification("0", "panic")).status, 1);
}

TEST(CheckSyslogTest, PatternsAndSeveritiesCombineWithCriticalFirst)
{
  const std::vector<std::string> args
      = { "-c", "link (down|flap)", "--critical", "^fatal", "-w", "retry", "--severity-warning", "warning" };
  EXPECT_EQ(check(args, notification("6", "eth0: link down")).status, 2);
  EXPECT_EQ(check(args, notification("6", "fatal: no route")).status, 2);
  EXPECT_EQ(check(args, notification("6", "not fatal yet")).status, 0);
  EXPECT_EQ(check(args, notification("6", "will retry in 5 s")).status, 1);
  EXPECT_EQ(check(args, notification("6", "link flap after retry")).status, 2);
  EXPECT_EQ(check(args, notification("4", "link down")).status, 2);
  EXPECT_EQ(check(args, notification("4", "fan speed high")).status, 1);
  EXPECT_EQ(check(args, notification("6", "LINK DOWN")).status, 0);
  EXPECT_EQ(check({ "-i", "-c", "link down" }, notification("6", "LINK DOWN")).status, 2);

  // A critical severity beats a warning pattern; a critical pattern beats a
  // warning severity; the severity is not needed for patterns alone.
  EXPECT_EQ(check({ "--severity-critical", "2", "-w", "retry" }, notification("1", "retry")).status, 2);
  EXPECT_EQ(check({ "--severity-warning", "4", "-c", "down" }, notification("4", "down")).status, 2);
  EXPECT_EQ(check({ "-c", "down" }, "{\"message\":\"is down\"}").status, 2);
}

TEST(CheckSyslogTest, SummaryIsOneBoundedLineFromTheChosenKeys)
{
  PluginRun run = check({ "--message-key", "text", "--host-key", "device", "--severity-key", "level",
                            "--severity-critical", "3" },
      "{\"device\":\"sw02\",\"text\":\"  port 7\\r\\nshut down\\t \",\"level\":\"err\",\"message\":\"other\"}\n");
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "CRITICAL: sw02: port 7  shut down\n");

  // Without a host key the summary is the message alone.
  EXPECT_EQ(check({ "-w", "x" }, "{\"message\":\"x\"}").out, "WARNING: x\n");

  // A long message is cut on a character boundary: "é" is two bytes.
  std::string longText;
  for (int i = 0; i < 300; ++i)
    longText += "\xc3\xa9";
  run = check({ "--length", "25", "-c", "\xc3\xa9" }, notification("6", longText));
  EXPECT_EQ(run.status, 2);
  EXPECT_EQ(run.out, "CRITICAL: fw01: " + longText.substr(0, 24) + "...\n");
  run = check({ "-c", "x" }, notification("6", longText));
  EXPECT_EQ(run.out.size(), std::string("OK: fw01: ").size() + 200 + 4);
}

TEST(CheckSyslogTest, UnreadableInputIsUnknownWithOneLine)
{
  const std::vector<std::string> args = { "--severity-critical", "2", "-w", "warn" };
  const std::string inputs[] = {
    "",
    "   \n",
    "{not json\n",
    "{\"message\":\"a\",\"severity\":1} trailing\n",
    "[\"message\", 1]\n",
    "\"just text\"\n",
    "{\"severity\":1}\n",
    "{\"message\":42,\"severity\":1}\n",
    "{\"message\":null,\"severity\":1}\n",
    "{\"message\":\"no severity\"}\n",
    "{\"message\":\"a\",\"severity\":8}\n",
    "{\"message\":\"a\",\"severity\":-1}\n",
    "{\"message\":\"a\",\"severity\":\"loud\"}\n",
    "{\"message\":\"a\",\"severity\":[1]}\n",
  };
  for (const std::string& input : inputs) {
    PluginRun run = check(args, input);
    EXPECT_EQ(run.status, 3) << input;
    EXPECT_EQ(run.out.rfind("UNKNOWN: ", 0), 0u) << input << " -> " << run.out;
    EXPECT_TRUE(isOneLine(run.out)) << run.out;
  }
  EXPECT_NE(check(args, "{\"severity\":1}").out.find("\"message\""), std::string::npos);
  EXPECT_NE(check({ "--severity-key", "prio", "--severity-warning", "4" }, notification("1", "m")).out.find("\"prio\""),
      std::string::npos);
}

TEST(CheckSyslogTest, BadCommandLineIsUnknownAndHelpIsNot)
{
  const std::vector<std::vector<std::string>> commandLines = {
    {},
    { "-i" },
    { "-c" },
    { "-c", "(unclosed" },
    { "-w", "[z-a]" },
    { "--severity-critical", "9" },
    { "--severity-warning", "sometimes" },
    { "--bogus", "-c", "x" },
    { "-c", "x", "extra" },
    { "--message-key=", "-c", "x" },
    { "--length", "5", "-c", "x" },
    { "--timeout", "0", "-c", "x" },
  };
  for (const auto& args : commandLines) {
    PluginRun run = check(args, notification("3", "m"));
    EXPECT_EQ(run.status, 3) << ::testing::PrintToString(args);
    EXPECT_EQ(run.out.rfind("UNKNOWN: ", 0), 0u) << run.out;
    EXPECT_TRUE(isOneLine(run.out)) << run.out;
  }
  EXPECT_NE(check({ "-c", "(unclosed" }, "").out.find("(unclosed"), std::string::npos);

  PluginRun help = check({ "--help" }, "");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--severity-critical"), std::string::npos);
}

TEST(CheckSyslogTest, HugeOrEndlessInputEndsInTime)
{
  using Clock = std::chrono::steady_clock;

  // Over the cap: refused without reading it all.
  std::string huge = "{\"message\":\"" + std::string(5 * 1024 * 1024, 'a') + "\",\"severity\":3}\n";
  PluginRun run = check({ "-c", "a" }, huge);
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.out.find("4 MiB"), std::string::npos) << run.out;

  // Under the cap: a long message with a greedy pattern neither crashes nor
  // matches beyond the searched prefix.
  std::string body(3 * 1024 * 1024, 'x');
  body.replace(0, 4, "link");
  body.replace(60 * 1024, 4, "down");
  body.replace(body.size() - 4, 4, "gone");
  run = check({ "-c", "link.*down", "-w", "gone" }, notification("6", body));
  EXPECT_EQ(run.status, 2) << run.out.substr(0, 200);
  EXPECT_TRUE(isOneLine(run.out));
  EXPECT_LT(run.out.size(), 300u);
  EXPECT_EQ(check({ "-w", "gone" }, notification("6", body)).status, 0);

  // Nesting deep enough to exhaust a recursive parser.
  std::string deep = "{\"message\":\"m\",\"x\":" + std::string(200000, '[') + std::string(200000, ']') + "}";
  run = check({ "-c", "m" }, deep);
  EXPECT_EQ(run.status, 3) << run.out;

  // Input that never ends (a FIFO the plugin itself holds open for
  // writing): the plugin's own time-out answers.
  TempDir dir;
  std::string fifo = dir.path() + "/never";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  Clock::time_point start = Clock::now();
  run = runPlugin({ "/bin/sh", "-c", "exec \"$0\" --timeout 1 -c x 0<>\"$1\"", plugin, fifo }, "");
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out, "UNKNOWN: no result within 1 s\n");
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));

  // A catastrophic pattern is cut off the same way.
  run = check({ "--timeout", "1", "-c", "(a|aa)+$" }, notification("6", std::string(5000, 'a') + "b"));
  EXPECT_EQ(run.status, 3);
  EXPECT_EQ(run.out.rfind("UNKNOWN: ", 0), 0u) << run.out;
}

TEST(CheckSyslogTest, SameAnswersWithoutAnyEnvironmentAndWithLocaleVariables)
{
  const std::vector<std::string> environment
      = { "LANG=tr_TR.UTF-8", "LC_ALL=tr_TR.UTF-8", "POSIXLY_CORRECT=1", "PATH=/nonexistent" };
  const std::vector<std::string> argv = { plugin, "-i", "-c", "LINK IS DOWN", "--severity-warning", "warning" };
  const std::string inputs[] = { notification("\"ERR\"", "link is down"), notification("\"Warning\"", "Link"),
    notification("6", "info"), "{broken" };
  for (const std::string& input : inputs) {
    PluginRun bare = runPlugin(argv, input);
    PluginRun dressed = runPlugin(argv, input, environment);
    EXPECT_EQ(bare.status, dressed.status) << input;
    EXPECT_EQ(bare.out, dressed.out);
    EXPECT_GE(bare.status, 0);
  }
  EXPECT_EQ(runPlugin(argv, inputs[0]).status, 2);
}

} // namespace
