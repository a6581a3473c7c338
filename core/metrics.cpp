#include "core/metrics.h"

#include <prometheus/family.h>
#include <prometheus/gauge.h>

namespace {

using prometheus::BuildCounter;
using prometheus::BuildHistogram;

prometheus::Counter* counter(prometheus::Registry& registry, const std::string& name, const std::string& help)
{
  return &BuildCounter().Name(name).Help(help).Register(registry).Add({});
}

prometheus::Histogram* histogram(prometheus::Registry& registry, const std::string& name, const std::string& help,
    const prometheus::Histogram::BucketBoundaries& buckets)
{
  return &BuildHistogram().Name(name).Help(help).Register(registry).Add({}, buckets);
}

const prometheus::Histogram::BucketBoundaries secondsBuckets
    = { 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60 };

} // namespace

Metrics::Metrics()
    : registry_(std::make_shared<prometheus::Registry>())
{
  registerHandling(*registry_);
  registerDatabaseAndCleaning(*registry_);
}

void Metrics::registerHandling(prometheus::Registry& r)
{
  auto& notifications = BuildCounter()
                            .Name("quelm_receiver_notifications_total")
                            .Help("Notifications received, by how their handling ended")
                            .Register(r);
  stored = &notifications.Add({ { "outcome", "stored" } });
  ignored = &notifications.Add({ { "outcome", "ignored" } });
  rejected = &notifications.Add({ { "outcome", "rejected" } });
  dropped = &notifications.Add({ { "outcome", "dropped" } });
  forbidden = &notifications.Add({ { "outcome", "forbidden" } });
  shutdown = &notifications.Add({ { "outcome", "shutdown" } });
  duplicate = &notifications.Add({ { "outcome", "duplicate" } });

  handshakeFailures = counter(
      r, "quelm_receiver_tls_handshake_failures_total", "Connections whose TLS handshake failed or timed out");
  refusedConnections = counter(
      r, "quelm_receiver_refused_connections_total", "Connections closed at once because max_connections were open");

  auto& runs = BuildCounter()
                   .Name("quelm_receiver_plugin_runs_total")
                   .Help("Plugin runs that gave a state, by that state")
                   .Register(r);
  pluginOk = &runs.Add({ { "state", "ok" } });
  pluginWarning = &runs.Add({ { "state", "warning" } });
  pluginCritical = &runs.Add({ { "state", "critical" } });
  pluginUnknown = &runs.Add({ { "state", "unknown" } });
  pluginFailures = counter(r, "quelm_receiver_plugin_failures_total",
      "Plugin runs that gave no state (could not start, crashed, timed out), each tried again");
  pluginTimeouts = counter(
      r, "quelm_receiver_plugin_timeouts_total", "Plugin runs stopped at plugin_timeout (also counted as failures)");
  persistentRestarts = counter(r, "quelm_receiver_persistent_plugin_restarts_total",
      "Persistent plugin processes started in place of one that failed");
  persistentProtocolErrors = counter(r, "quelm_receiver_persistent_plugin_protocol_errors_total",
      "Persistent plugin lines that were not the reply asked for (the process is replaced)");
  pluginSeconds = histogram(r, "quelm_receiver_plugin_run_seconds", "Time one plugin run took", secondsBuckets);
  storedSeconds = histogram(r, "quelm_receiver_receipt_to_stored_seconds",
      "Time from a notification's receipt to its state stored, occurrences and alert included", secondsBuckets);
}

void Metrics::registerDatabaseAndCleaning(prometheus::Registry& r)
{
  databaseLosses
      = counter(r, "quelm_receiver_database_connection_losses_total", "Pooled database connections found lost");
  databaseRestorations
      = counter(r, "quelm_receiver_database_connection_restorations_total", "Lost database connections opened again");
  statementsRejected = counter(r, "quelm_receiver_database_statements_rejected_total",
      "Statements the database server refused (constraint, trigger, bad data)");

  cleaningPasses
      = counter(r, "quelm_receiver_cleaning_passes_total", "Passes of the cleaning thread over stale errors");
  cleaningClosed = counter(r, "quelm_receiver_cleaning_closed_errors_total",
      "Services whose stale error occurrences a cleaning pass closed");

  alertsRun = counter(r, "quelm_receiver_alerting_programs_total", "Alerting programs started");
  alertFailures = counter(r, "quelm_receiver_alerting_program_failures_total",
      "Alerting programs that failed, timed out or could not be started");

  prometheus::BuildGauge()
      .Name("quelm_receiver_build_info")
      .Help("The Receiver's version, as a label; always 1")
      .Register(r)
      .Add({ { "version", QUELM_VERSION } })
      .Set(1);
}

prometheus::Counter& Metrics::pluginRun(int state)
{
  switch (state) {
  case 0:
    return *pluginOk;
  case 1:
    return *pluginWarning;
  case 2:
    return *pluginCritical;
  default:
    return *pluginUnknown;
  }
}
