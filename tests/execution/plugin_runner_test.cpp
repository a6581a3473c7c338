#include "execution/plugin_runner.h"

#include "tests/execution/run_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <pthread.h>

namespace {

using namespace std::chrono_literals;

std::string errorText(int error)
{
  return std::strerror(error);
}

struct Outcome {
  int state = -1;
  bool failed = false;
  std::string message;
  std::string stdoutText;
  int returnCode = -1;
  std::string rawLines;
};

// One bounded run of the service; the lock must be free afterwards.
Outcome run(SyslogService& target, const std::string& message = "{\"fromhost\":\"h1\"}")
{
  Outcome outcome;
  LogCapture capture;
  within(20s, [&] {
    try {
      outcome.state = target.execute(message);
    } catch (const RunError& failure) {
      outcome.failed = true;
      outcome.message = failure.what();
    }
  });
  outcome.rawLines = capture.text();
  // getReturnCode takes the lock: a lock left held would hang here.
  within(5s, [&] { outcome.returnCode = target.getReturnCode(); });
  outcome.stdoutText = target.lastStdout;
  return outcome;
}

SyslogService makeService(const std::string& path, const std::string& parameter = "")
{
  SyslogService made;
  made.pluginPath = path;
  made.setParameter(parameter);
  made.returnCode = 4;
  return made;
}

std::string valueAfter(const std::vector<std::string>& lines, const std::string& key)
{
  for (const std::string& line : lines)
    if (line.rfind(key, 0) == 0)
      return line.substr(key.size());
  return "<missing " + key + ">";
}

TEST(SyslogRunnerContract, ArgumentsEnvironmentAndInput)
{
  TempDir dir;
  std::string plugin = linkProbe(dir, "check plugin");
  const std::string parameter = "-H 10.1.2.3  \"two words\" 'x y' back\\slash tab\there";
  SyslogService target = makeService(plugin, parameter);
  // The daemon ignores SIGPIPE and its workers block signals: the plugin
  // must get neither.
  ASSERT_TRUE(ignoreSigpipe());
  sigset_t blocked;
  sigemptyset(&blocked);
  sigaddset(&blocked, SIGTERM);
  sigaddset(&blocked, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
  const std::string message = "{\"fromhost\":\"h1\",\"msg\":\"link down\"}";
  Outcome outcome = run(target, message);
  pthread_sigmask(SIG_UNBLOCK, &blocked, nullptr);
  signal(SIGPIPE, SIG_DFL);

  ASSERT_FALSE(outcome.failed) << outcome.message;
  EXPECT_EQ(outcome.state, 0);
  EXPECT_EQ(outcome.returnCode, 0);
  std::vector<std::string> lines = linesOf(outcome.stdoutText);
  std::vector<std::string> expected { "arg:" + plugin };
  for (const std::string& token : tokenizeParameter(parameter))
    expected.push_back("arg:" + token);
  ASSERT_EQ(expected.size(), 7u);
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7), expected);
  // Quoted spaces, the backslash and the tab reach the plugin as written.
  EXPECT_EQ(lines[3], "arg:two words");
  EXPECT_EQ(lines[5], "arg:back\\slash");
  EXPECT_EQ(lines[6], "arg:tab\there");
  for (const std::string& line : lines)
    EXPECT_NE(line.rfind("env:", 0), 0u) << "environment not empty: " << line;
  EXPECT_EQ(valueAfter(lines, "sigpipe-ignored:"), "0");
  EXPECT_EQ(valueAfter(lines, "sigpipe-blocked:"), "0");
  EXPECT_EQ(valueAfter(lines, "sigterm-blocked:"), "0");
  // The probe prints its input after end of file: the message, one newline.
  std::string::size_type input = outcome.stdoutText.find("stdin:");
  ASSERT_NE(input, std::string::npos);
  EXPECT_EQ(outcome.stdoutText.substr(input + 6), message + "\n");
  EXPECT_EQ(outcome.rawLines, "LOCK\nUNLOCK\n");
}

TEST(SyslogRunnerContract, LongOutputInPiecesKeptWholeAndInOrder)
{
  TempDir dir;
  // 120 lines of 40 bytes in bursts with pauses: many reads of up to 1023.
  std::string plugin = writeScript(dir, "long",
      "i=0\n"
      "while [ $i -lt 120 ]; do\n"
      "  printf 'line %04d abcdefghijklmnopqrstuvwxyz012\\n' $i\n"
      "  if [ $((i % 30)) -eq 29 ]; then /bin/sleep 0.05; fi\n"
      "  i=$((i + 1))\n"
      "done");
  SyslogService target = makeService(plugin);
  Outcome outcome = run(target);
  std::string expected;
  char line[64];
  for (int i = 0; i < 120; ++i) {
    std::snprintf(line, sizeof(line), "line %04d abcdefghijklmnopqrstuvwxyz012\n", i);
    expected += line;
  }
  ASSERT_FALSE(outcome.failed) << outcome.message;
  EXPECT_GT(expected.size(), 4000u);
  EXPECT_EQ(outcome.stdoutText, expected);
}

TEST(SyslogRunnerContract, InvalidUtf8IsReplacedBySpaces)
{
  TempDir dir;
  // A lone continuation byte, two invalid lead bytes and a truncated
  // sequence; valid multi-byte text stays.
  SyslogService ok = makeService(writeScript(dir, "utf8", "printf 'caf\\303\\251 \\200x\\377\\376y\\303z\\n'"));
  Outcome outcome = run(ok);
  EXPECT_EQ(outcome.state, 0);
  EXPECT_EQ(outcome.stdoutText, "caf\xc3\xa9  x  y z\n");

  // With a bad return code the output is cleaned as well: the text goes to
  // the database, which refuses invalid UTF-8.
  std::string bad = writeScript(dir, "utf8bad", "printf 'bad\\377\\n'; exit 9");
  SyslogService badTarget = makeService(bad, "-w 1");
  Outcome badOutcome = run(badTarget);
  EXPECT_EQ(badOutcome.state, 3);
  EXPECT_EQ(badOutcome.stdoutText, "Error execute: Bad return code\npath:" + bad + " -w 1 bad \n");
}

TEST(SyslogRunnerContract, TwoQuotesAreEmptyOnlyWithoutNewline)
{
  TempDir dir;
  SyslogService bare = makeService(writeScript(dir, "bare", "printf \"''\""));
  Outcome outcome = run(bare);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.message, "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(outcome.returnCode, 3);
  EXPECT_EQ(outcome.stdoutText, "''");
  EXPECT_EQ(outcome.rawLines, "LOCK\nException service unlock\n");

  SyslogService withNewline = makeService(writeScript(dir, "line", "printf \"''\\n\"; exit 1"));
  Outcome normal = run(withNewline);
  EXPECT_FALSE(normal.failed) << normal.message;
  EXPECT_EQ(normal.state, 1);
  EXPECT_EQ(normal.stdoutText, "''\n");
}

TEST(SyslogRunnerStatus, ZeroToFiveAreKept)
{
  TempDir dir;
  for (int status = 0; status <= 5; ++status) {
    std::string text = "status " + std::to_string(status) + " output";
    SyslogService target = makeService(writeScript(dir, "s" + std::to_string(status),
        "echo '" + text + "'; exit " + std::to_string(status)));
    Outcome outcome = run(target);
    ASSERT_FALSE(outcome.failed) << outcome.message;
    EXPECT_EQ(outcome.state, status);
    EXPECT_EQ(outcome.returnCode, status);
    EXPECT_EQ(outcome.stdoutText, text + "\n");
  }
}

TEST(SyslogRunnerStatus, UnreachableHostAndBadCodesGiveUnknown)
{
  TempDir dir;
  std::string unreachable = writeScript(dir, "s255", "echo 'cannot ping'; exit 255");
  SyslogService target255 = makeService(unreachable, "-H host");
  Outcome outcome255 = run(target255);
  EXPECT_FALSE(outcome255.failed) << outcome255.message;
  EXPECT_EQ(outcome255.state, 3);
  EXPECT_EQ(outcome255.stdoutText, "UNKNOWN: QuelmDaemon could not connect to host");

  std::string seven = writeScript(dir, "s7", "echo 'odd'; exit 7");
  SyslogService target7 = makeService(seven, "-c  'a b'");
  Outcome outcome7 = run(target7);
  EXPECT_FALSE(outcome7.failed) << outcome7.message;
  EXPECT_EQ(outcome7.state, 3);
  EXPECT_EQ(outcome7.returnCode, 3);
  EXPECT_EQ(outcome7.stdoutText, "Error execute: Bad return code\npath:" + seven + " -c  'a b' odd\n");

  // A bad code with no output at all is still the empty-output failure.
  SyslogService silent = makeService(writeScript(dir, "s255silent", "exit 255"));
  Outcome silentOutcome = run(silent);
  EXPECT_TRUE(silentOutcome.failed);
  EXPECT_EQ(silentOutcome.message, "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(silentOutcome.returnCode, 3);
}

TEST(SyslogRunnerStatus, KilledBySignalFailsWithItsOutput)
{
  TempDir dir;
  std::string plugin = writeScript(dir, "killed", "echo partial; kill -9 $$");
  SyslogService target = makeService(plugin, "-x 1");
  Outcome outcome = run(target);
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.message, "Error: quelm can't execute\npath:" + plugin + " -x 1partial\n");
  EXPECT_EQ(outcome.returnCode, 3);
  EXPECT_EQ(outcome.stdoutText, "Error: quelm can't execute " + plugin);
  EXPECT_EQ(outcome.rawLines, "LOCK\nException service unlock\n");
}

TEST(SyslogRunnerStatus, PluginThatCannotStartIsCritical)
{
  TempDir dir;
  struct Case {
    std::string path;
    int error;
  };
  std::vector<Case> cases {
    { dir.path() + "/missing", ENOENT },
    { dir.write("not_executable", "#!/bin/sh\necho hi\n", false), EACCES },
    { dir.path(), EACCES },
  };
  for (const Case& item : cases) {
    SyslogService target = makeService(item.path, "-a");
    Outcome outcome = run(target);
    EXPECT_FALSE(outcome.failed) << outcome.message;
    EXPECT_EQ(outcome.state, 2) << item.path;
    EXPECT_EQ(outcome.stdoutText, "DAEMON: plugin is not executable " + errorText(item.error) + "\n");
  }
}

TEST(SyslogRunnerStatus, EmptyOutputFailsAndFreesTheLock)
{
  TempDir dir;
  SyslogService target = makeService(writeScript(dir, "quiet", "exit 0"));
  Outcome outcome = run(target);
  EXPECT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.message, "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(outcome.returnCode, 3);
  EXPECT_EQ(outcome.stdoutText, "");
  EXPECT_EQ(outcome.rawLines, "LOCK\nException service unlock\n");
}

TEST(SyslogRunnerFailures, FailedWaitKeepsTheOutputAndFreesTheLock)
{
  TempDir dir;
  std::string plugin = writeScript(dir, "plain", "echo fine");
  SyslogService target = makeService(plugin, "-p");
  // With SIGCHLD ignored the kernel reaps children itself: waitpid fails.
  struct sigaction ignore {
  }, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &previous);
  Outcome outcome = run(target);
  sigaction(SIGCHLD, &previous, nullptr);
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.message, "Error execute\npath:" + plugin + " -p" + errorText(ECHILD));
  EXPECT_EQ(outcome.returnCode, 4);
  EXPECT_EQ(outcome.stdoutText, "fine\n");
  EXPECT_EQ(outcome.rawLines, "LOCK\nException service unlock\n");
}

TEST(SyslogRunnerFailures, NoDescriptorForThePipes)
{
  TempDir dir;
  std::string plugin = writeScript(dir, "plain", "echo fine");
  SyslogService target = makeService(plugin, "-p 'q r'");
  target.lastStdout = "previous";
  Outcome outcome;
  withoutFreeDescriptors([&] { outcome = run(target); });
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.message, "Error open pipe\npath:" + plugin + " -p 'q r'" + errorText(EMFILE));
  EXPECT_EQ(outcome.returnCode, 4);
  EXPECT_EQ(outcome.stdoutText, "previous");
  EXPECT_EQ(outcome.rawLines, "");
}

TEST(SyslogRunnerFailures, NoProcessCanBeCreated)
{
  TempDir dir;
  std::string plugin = writeScript(dir, "plain", "echo fine");
  std::string message = messageWhenForkFails([&] {
    SyslogService target = makeService(plugin, "-f");
    target.execute("m");
  });
  EXPECT_EQ(message, "Error create fork\npath:" + plugin + " -f" + errorText(EAGAIN));
}

} // namespace
