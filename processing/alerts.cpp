#include "processing/alerts.h"

#include "execution/alerting_runner.h"
#include "processing/processing_context.h"
#include "processing/state_policy.h"
#include "services/service.h"

void startAlert(const Service& svc, std::uint64_t occurrenceId, const ProcessingContext& context)
{
  const int timeoutSeconds = context.alertTimeoutSeconds;
  count(context.metrics, &Metrics::alertsRun);
  RunResult run = runAlertingProgram(svc.programPath,
      alertingArguments(svc.alertingArguments, std::to_string(occurrenceId)), timeoutSeconds, context.cancel);
  std::string failure = alertFailure(run, svc.programPath, svc.parameter, timeoutSeconds);
  if (!failure.empty()) {
    count(context.metrics, &Metrics::alertFailures);
    throw RunError(failure);
  }
}
