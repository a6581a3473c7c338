#include "processing/alerts.h"

#include "core/conversions.h"
#include "database/pg_pool.h"
#include "database/statements.h"
#include "execution/alerting_runner.h"
#include "processing/processing_context.h"
#include "processing/state_policy.h"
#include "services/service.h"

bool startAlert(const Service& svc, std::uint64_t occurrenceId, const ProcessingContext& context, std::string& failure)
{
  const int timeoutSeconds = context.alertTimeoutSeconds;
  count(context.metrics, &Metrics::alertsRun);
  RunResult run = runAlertingProgram(svc.programPath,
      alertingArguments(svc.alertingArguments, std::to_string(occurrenceId)), timeoutSeconds, context.cancel);
  failure = alertFailure(run, svc.programPath, svc.parameter, timeoutSeconds);
  if (!failure.empty())
    count(context.metrics, &Metrics::alertFailures);
  return run.ending != RunResult::Ending::cancelled && run.failedStep != RunStep::createFork;
}

void PendingAlerts::load(PgPool& pool)
{
  PgResult result = pool.executeRequest(statements::receiverAlertServices);
  auto ids = ids_.lock();
  for (int row = 0; row < PQntuples(result.get()); ++row)
    ids->insert(stringToLongLongInt(pgValue(result, row, 0)));
}
