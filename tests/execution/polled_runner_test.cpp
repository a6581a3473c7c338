#include "execution/plugin_runner.h"

#include "tests/execution/run_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

using namespace std::chrono_literals;

struct PolledOutcome {
  int state = -1;
  bool failed = false;
  std::string message;
  std::string rawLines;
};

PolledOutcome runPolled(service& target)
{
  PolledOutcome outcome;
  LogCapture capture;
  within(20s, [&] {
    try {
      outcome.state = target.execute();
    } catch (const RunError& failure) {
      outcome.failed = true;
      outcome.message = failure.what();
    }
  });
  outcome.rawLines = capture.text();
  return outcome;
}

service makePolled(const std::string& name, const std::string& path, const std::string& parameter)
{
  service made;
  made.serviceName = name;
  made.pluginPath = path;
  made.setParameter(parameter);
  made.returnCode = 4;
  made.lastStdout = "from the last run";
  return made;
}

TEST(PolledRunner, StoredArgumentsAndTheDaemonsOwnInput)
{
  TempDir dir;
  std::string plugin = linkProbe(dir, "polled");
  service target = makePolled("disk /var", plugin, "-w 80 'c 90'");
  // Changing the text alone does not change what the plugin receives.
  target.parameter = "--something else";
  std::string input = dir.write("daemon-stdin", "the daemon's own input\n");
  PolledOutcome outcome;
  {
    RedirectDescriptor stdinFromFile(0, input, false);
    outcome = runPolled(target);
  }
  ASSERT_FALSE(outcome.failed) << outcome.message;
  EXPECT_EQ(outcome.state, 0);
  EXPECT_EQ(target.returnCode, 0);
  std::vector<std::string> lines = linesOf(target.lastStdout);
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[0], "arg:" + plugin);
  EXPECT_EQ(lines[1], "arg:-w");
  EXPECT_EQ(lines[2], "arg:80");
  EXPECT_EQ(lines[3], "arg:c 90");
  EXPECT_EQ(lines[4].rfind("env:", 0), std::string::npos);
  EXPECT_EQ(lines.back(), "stdin:the daemon's own input");
  // No lock and no raw lines for a polled run.
  EXPECT_EQ(outcome.rawLines, "");
}

TEST(PolledRunner, FailureTextsNameTheService)
{
  TempDir dir;
  std::string killed = writeScript(dir, "killed", "echo part; kill -9 $$");
  service killedTarget = makePolled("cpu load", killed, "-l 5");
  PolledOutcome outcome = runPolled(killedTarget);
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.message, "Error: quelm can't execute cpu load\npath:" + killed + " -l 5part\n");
  EXPECT_EQ(killedTarget.lastStdout, "Error: quelm can't execute " + killed);
  EXPECT_EQ(killedTarget.returnCode, 3);
  EXPECT_EQ(outcome.rawLines, "");

  std::string odd = writeScript(dir, "odd", "echo strange; exit 42");
  service oddTarget = makePolled("swap", odd, "-s");
  PolledOutcome oddOutcome = runPolled(oddTarget);
  EXPECT_FALSE(oddOutcome.failed) << oddOutcome.message;
  EXPECT_EQ(oddOutcome.state, 3);
  EXPECT_EQ(oddTarget.lastStdout, "Error execute: Bad return code\nswap\npath:" + odd + " -s strange\n");

  service farTarget = makePolled("ping", writeScript(dir, "far", "echo lost; exit 255"), "");
  EXPECT_EQ(runPolled(farTarget).state, 3);
  EXPECT_EQ(farTarget.lastStdout, "UNKNOWN: QuelmDaemon could not connect to host");

  service quietTarget = makePolled("quiet", writeScript(dir, "quiet", "exit 1"), "");
  PolledOutcome quiet = runPolled(quietTarget);
  EXPECT_TRUE(quiet.failed);
  EXPECT_EQ(quiet.message, "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(quietTarget.returnCode, 3);
  EXPECT_EQ(quietTarget.lastStdout, "");

  service missing = makePolled("gone", dir.path() + "/gone", "");
  EXPECT_EQ(runPolled(missing).state, 2);
  EXPECT_EQ(missing.lastStdout, "DAEMON: plugin is not executable " + std::string(std::strerror(ENOENT)) + "\n");
}

TEST(PolledRunner, FailuresBeforeTheOutputLeaveItEmpty)
{
  TempDir dir;
  std::string plugin = writeScript(dir, "plain", "echo fine");
  service target = makePolled("mem", plugin, "-m 'a b'");
  PolledOutcome outcome;
  withoutFreeDescriptors([&] { outcome = runPolled(target); });
  ASSERT_TRUE(outcome.failed);
  EXPECT_EQ(outcome.message, "Error open pipe mem\npath:" + plugin + " -m 'a b'" + std::strerror(EMFILE));
  EXPECT_EQ(target.lastStdout, "");
  EXPECT_EQ(target.returnCode, 4);

  std::string message = messageWhenForkFails([&] {
    service again = makePolled("mem", plugin, "-m");
    again.execute();
  });
  EXPECT_EQ(message, "Error create fork mem\npath:" + plugin + " -m" + std::strerror(EAGAIN));
}

} // namespace
