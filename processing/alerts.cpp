#include "processing/alerts.h"

#include "execution/alerting_runner.h"
#include "processing/state_policy.h"
#include "services/service.h"

void startAlert(const Service& svc, std::uint64_t occurrenceId, int timeoutSeconds, const RunCancel* cancel)
{
  RunResult run = runAlertingProgram(
      svc.programPath, alertingArguments(svc.alertingArguments, std::to_string(occurrenceId)), timeoutSeconds, cancel);
  std::string failure = alertFailure(run, svc.programPath, svc.parameter, timeoutSeconds);
  if (!failure.empty())
    throw RunError(failure);
}
