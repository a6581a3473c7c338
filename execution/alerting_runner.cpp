#include "execution/child_process.h"
#include "execution/service_exception.h"
#include "services/service.h"

#include <sys/wait.h>

void service::executeAlertingSoftware(std::string errorId)
{
  std::vector<std::string> arguments;
  arguments.reserve(alerting_arguments.size());
  // An argument naming the macro is replaced whole, its other text dropped.
  for (const std::string& argument : alerting_arguments)
    arguments.push_back(argument.find("$ERROR") != std::string::npos ? errorId : argument);

  ChildProcess child;
  {
    ArgumentList argv(program_path, arguments);
    ChildPlan plan;
    plan.path = program_path.c_str();
    plan.argv = argv.data();
    int error = 0;
    child = spawnChild(plan, error);
    // Never wait on a child that does not exist: -1 would reap anyone's.
    if (!child.running())
      throw serviceException("Error create fork ALERTE" + program_path + " " + parameter + systemErrorText(error));
  }

  int status = 0;
  for (;;) {
    int got = child.wait(WUNTRACED | WCONTINUED, status);
    if (got < 0)
      throw serviceException("Error execute ALERTE" + program_path + " " + parameter + systemErrorText(-got));
    // A stop or continue report is not the end: wait on, so it is reaped.
    if (!child.running())
      return;
  }
}
