#include "execution/alerting_runner.h"

#include "execution/child_process.h"

#include <sys/wait.h>

RunResult runAlertingProgram(const std::string& path, const std::vector<std::string>& arguments)
{
  RunResult result;
  ChildProcess child;
  try {
    ArgumentList argv(path, arguments);
    ChildPlan plan;
    plan.path = path.c_str();
    plan.argv = argv.data();
    child = spawnChild(plan);
  } catch (const std::system_error& error) {
    // Never wait on a child that does not exist: -1 would reap anyone's.
    result.failedStep = "Error create fork";
    result.error = error.code();
    return result;
  }

  int status = 0;
  try {
    // A stop or continue report is not the end: wait on, so it is reaped.
    while (child.running())
      child.wait(WUNTRACED | WCONTINUED, status);
  } catch (const std::system_error& error) {
    result.failedStep = "Error execute";
    result.error = error.code();
    return result;
  }
  result.ending = WIFEXITED(status) ? RunResult::Ending::exited : RunResult::Ending::signaled;
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
  return result;
}
