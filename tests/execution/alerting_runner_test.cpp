#include "execution/plugin_runner.h"

#include "tests/execution/run_support.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

service makeAlerting(const std::string& program, const std::string& alertingParameter)
{
  service made;
  made.programPath = program;
  made.parameter = "-H 10.0.0.9";
  made.setAlertingParameter(alertingParameter);
  return made;
}

std::vector<std::string> argumentsSeen(const std::string& program)
{
  std::vector<std::string> arguments;
  for (const std::string& line : linesOf(readFile(program + ".out")))
    if (line.rfind("arg:", 0) == 0)
      arguments.push_back(line.substr(4));
  return arguments;
}

TEST(AlertingRunner, ErrorMacroReplacesWholeArguments)
{
  TempDir dir;
  std::string program = linkProbe(dir, "report_to_file");
  service target = makeAlerting(program, "--notify $ERROR id=$ERROR; plain");
  ::setenv("QUELM_ALERT_CHECK", "kept", 1);
  within(20s, [&] { target.executeAlertingSoftware("42"); });
  ::unsetenv("QUELM_ALERT_CHECK");
  EXPECT_EQ(argumentsSeen(program), (std::vector<std::string> { program, "--notify", "42", "42", "plain" }));
  // Unlike a plugin, the alerting program gets the daemon's environment.
  EXPECT_NE(readFile(program + ".out").find("env:QUELM_ALERT_CHECK=kept\n"), std::string::npos);
  EXPECT_EQ(target.alertingArguments.size(), 4u);
}

TEST(AlertingRunner, NoArgumentsGivesOnlyTheProgramPath)
{
  TempDir dir;
  std::string program = linkProbe(dir, "report_to_file");
  service target = makeAlerting(program, "");
  within(20s, [&] { target.executeAlertingSoftware("7"); });
  EXPECT_EQ(argumentsSeen(program), std::vector<std::string> { program });
}

TEST(AlertingRunner, ProgramThatCannotStartPrintsTheSystemText)
{
  TempDir dir;
  struct Case {
    std::string program;
    int error;
  };
  std::vector<Case> cases {
    { "", ENOENT },
    { dir.path() + "/absent", ENOENT },
    { dir.write("not_executable", "#!/bin/sh\n", false), EACCES },
  };
  for (const Case& item : cases) {
    service target = makeAlerting(item.program, "$ERROR");
    std::string captured = dir.path() + "/stdout";
    {
      RedirectDescriptor stdoutToFile(1, captured, true);
      within(20s, [&] { target.executeAlertingSoftware("3"); });
    }
    EXPECT_EQ(readFile(captured), std::string(std::strerror(item.error)) + "\n") << item.program;
  }
}

TEST(AlertingRunner, WaitsForTheProgramToEnd)
{
  TempDir dir;
  std::string marker = dir.path() + "/done";
  std::string program = writeScript(dir, "slow", "/bin/sleep 0.5\necho \"$1\" > " + marker + "\nexit 9");
  service target = makeAlerting(program, "$ERROR");
  auto start = Clock::now();
  within(20s, [&] { target.executeAlertingSoftware("77"); });
  EXPECT_GE(Clock::now() - start, 450ms);
  EXPECT_EQ(readFile(marker), "77\n");
  EXPECT_TRUE(childrenOfThisProcess().empty());
}

TEST(AlertingRunner, StoppedProgramIsWaitedForUntilItEnds)
{
  TempDir dir;
  std::string pidFile = dir.path() + "/pid";
  std::string marker = dir.path() + "/done";
  std::string program = writeScript(dir, "stops", "echo $$ > " + pidFile + "\nkill -STOP $$\necho resumed > " + marker);
  service target = makeAlerting(program, "");
  std::thread resumer([&] {
    // Continue the program once it has stopped itself.
    for (int i = 0; i < 500; ++i) {
      std::string text = readFile(pidFile);
      if (!text.empty() && processState(std::stoi(text)) == 'T') {
        ::kill(std::stoi(text), SIGCONT);
        return;
      }
      std::this_thread::sleep_for(10ms);
    }
  });
  within(20s, [&] { target.executeAlertingSoftware("1"); });
  resumer.join();
  EXPECT_EQ(readFile(marker), "resumed\n");
  EXPECT_TRUE(childrenOfThisProcess().empty());
}

TEST(AlertingRunner, FailedStartAndFailedWaitNameTheProgram)
{
  TempDir dir;
  std::string program = writeScript(dir, "alert", "exit 0");
  std::string message = messageWhenForkFails([&] {
    service target = makeAlerting(program, "$ERROR");
    target.executeAlertingSoftware("5");
  });
  EXPECT_EQ(message, "Error create fork ALERTE" + program + " -H 10.0.0.9" + std::strerror(EAGAIN));

  service target = makeAlerting(program, "$ERROR");
  struct sigaction ignore {
  }, previous {};
  ignore.sa_handler = SIG_IGN;
  sigaction(SIGCHLD, &ignore, &previous);
  std::string waitMessage;
  within(20s, [&] {
    try {
      target.executeAlertingSoftware("5");
    } catch (const RunError& failure) {
      waitMessage = failure.what();
    }
  });
  sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_EQ(waitMessage, "Error execute ALERTE" + program + " -H 10.0.0.9" + std::strerror(ECHILD));
}

} // namespace
