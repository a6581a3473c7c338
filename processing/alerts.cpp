#include "processing/alerts.h"

#include "execution/alerting_runner.h"
#include "processing/state_policy.h"
#include "services/service.h"

void startAlert(const Service& svc, std::uint64_t occurrenceId)
{
  RunResult run
      = runAlertingProgram(svc.programPath, alertingArguments(svc.alertingArguments, std::to_string(occurrenceId)));
  std::string failure = alertFailure(run, svc.programPath, svc.parameter);
  if (!failure.empty())
    throw RunError(failure);
}
