#include "execution/alerting_runner.h"

#include "execution/child_process.h"
#include "execution/child_watch.h"

#include <sys/wait.h>

RunResult runAlertingProgram(
    const std::string& path, const std::vector<std::string>& arguments, int timeoutSeconds, const RunCancel* cancel)
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
    result.failedStep = RunStep::createFork;
    result.error = error.code();
    return result;
  }

  ChildWatch watch(child, timeoutSeconds, cancel);
  int status = 0;
  // A stop or continue report is not the end: wait on, so it is reaped.
  do {
    result.ending = awaitChild(child, watch, status, result.error);
  } while (result.ending == RunResult::Ending::signaled && child.running());
  if (result.ending == RunResult::Ending::failed)
    result.failedStep = RunStep::execute;
  else
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
  return result;
}
