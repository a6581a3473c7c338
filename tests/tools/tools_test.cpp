#include "execution/child_process.h"
#include "execution/plugin_runner.h"
#include "execution/unique_fd.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const std::string checkSyslog = std::string(QUELM_BINARY_DIR) + "/tools/quelm-check-syslog";

// A text as a JSON string, escaped as the plugin's writer escapes it.
std::string jsonText(const std::string& text)
{
  std::string quoted = "\"";
  for (char c : text) {
    char escaped[8] = { c, 0 };
    if (c == '"' || c == '\\')
      quoted += '\\';
    else if (c == '\n')
      std::snprintf(escaped, sizeof escaped, "\\n");
    else if (static_cast<unsigned char>(c) < 0x20)
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
    quoted += escaped;
  }
  return quoted + "\"";
}

// One persistent process of the stock plugin, started as the daemon starts one: no arguments, an environment holding
// only QUELM_PLUGIN_PROTOCOL=1, requests on standard input, replies on standard output.
class PersistentCheck {
public:
  PersistentCheck()
  {
    ignoreSigpipe();
    UniqueFd inputRead, outputWrite;
    makePipe(inputRead, input_);
    makePipe(output_, outputWrite);
    static char* const environment[] = { const_cast<char*>("QUELM_PLUGIN_PROTOCOL=1"), nullptr };
    ArgumentList argv(checkSyslog, {});
    ChildPlan plan;
    plan.path = checkSyslog.c_str();
    plan.argv = argv.data();
    plan.envp = environment;
    plan.stdinFd = inputRead.get();
    plan.stdoutFd = outputWrite.get();
    child_ = spawnChild(plan);
    ::fcntl(input_.get(), F_SETFL, O_NONBLOCK);
  }

  // Writes the line and returns the reply line without its newline; "" when none came within 10 s.
  std::string exchange(const std::string& request)
  {
    const std::string line = request + "\n";
    std::size_t sent = 0;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (received_.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
      pollfd watched[] = { { output_.get(), POLLIN, 0 }, { sent < line.size() ? input_.get() : -1, POLLOUT, 0 } };
      if (::poll(watched, 2, 100) <= 0)
        continue;
      if (watched[1].revents != 0) {
        ssize_t put = ::write(input_.get(), line.data() + sent, line.size() - sent);
        if (put < 0 && errno != EAGAIN)
          break;
        sent += put > 0 ? static_cast<std::size_t>(put) : 0;
      }
      if (watched[0].revents != 0) {
        char buffer[65536];
        ssize_t got = ::read(output_.get(), buffer, sizeof buffer);
        if (got <= 0)
          break;
        received_.append(buffer, static_cast<std::size_t>(got));
      }
    }
    std::size_t end = received_.find('\n');
    std::string reply = received_.substr(0, end == std::string::npos ? 0 : end);
    received_.erase(0, end == std::string::npos ? received_.size() : end + 1);
    return reply;
  }

  // Ends standard input; returns the exit status, or -1 when the process has not exited within 10 s.
  int finish()
  {
    input_.reset();
    int status = -1;
    waitFor(10, [&] { return child_.wait(WNOHANG, status); });
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  int lastSeq = 0;

private:
  ChildProcess child_;
  UniqueFd input_;
  UniqueFd output_;
  std::string received_;
};

// The stock plugin run as the daemon runs plugins: no environment, the notification on standard input. Given a
// persistent process, the same case is also its next request, whose reply must carry the same status and output.
RunResult check(const std::vector<std::string>& args, const std::string& input, PersistentCheck* persistent = nullptr)
{
  RunResult run = runPlugin({ checkSyslog, args, input, 20 });
  if (persistent != nullptr) {
    std::string list;
    for (const std::string& arg : args)
      list += (list.empty() ? "" : ",") + jsonText(arg);
    const std::string seq = std::to_string(++persistent->lastSeq);
    const std::string request = input.substr(0, input.size() - (!input.empty() && input.back() == '\n' ? 1 : 0));
    EXPECT_EQ(persistent->exchange("{\"seq\":" + seq + ",\"args\":[" + list + "],\"input\":" + jsonText(request) + "}"),
        "{\"output\":" + jsonText(run.output) + ",\"seq\":" + seq + ",\"status\":" + std::to_string(run.exitStatus)
            + "}");
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
  PersistentCheck persistent;
  for (const auto& [severity, message, state] : cases) {
    RunResult run = check(args, event(severity, message), &persistent);
    EXPECT_EQ(run.exitStatus, state) << severity << " " << message;
    EXPECT_EQ(run.output, std::string(names[state]) + ": fw01: " + message + "\n");
  }
  // Other keys, and control characters folded into one line.
  RunResult run = check({ "--message-key", "text", "--host-key", "device", "-c", "shut" },
      "{\"device\":\"sw02\",\"text\":\"  port 7\\r\\nshut down\\t \"}\n", &persistent);
  EXPECT_EQ(run.output, "CRITICAL: sw02: port 7  shut down\n");
  EXPECT_EQ(persistent.finish(), 0);
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
  PersistentCheck persistent;
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
  // A request that is unusable but has a seq is answered; one without is the end of the process.
  EXPECT_EQ(persistent.exchange("{\"seq\":99,\"args\":\"-c x\",\"input\":\"\"}"),
      "{\"output\":\"UNKNOWN: unusable request: \\\"args\\\" is not an array of texts\\n\",\"seq\":99,\"status\":3}");
  EXPECT_EQ(persistent.finish(), 0);
  PersistentCheck broken;
  EXPECT_EQ(broken.exchange("{\"args\":[],\"input\":\"\"}"), "");
  EXPECT_EQ(broken.finish(), 2);
  // The time-out holds per run only: a persistent process is timed by the daemon.
  EXPECT_EQ(check({ "--timeout", "1", "-c", "(a|aa)+$" }, event("6", std::string(5000, 'a') + "b")).output,
      "UNKNOWN: no result within 1 s\n");
}

} // namespace
