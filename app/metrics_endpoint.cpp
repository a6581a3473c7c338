#include "app/metrics_endpoint.h"

#include <prometheus/collectable.h>
#include <prometheus/exposer.h>
#include <prometheus/metric_family.h>

#include <utility>
#include <vector>

namespace {

class LiveGauges : public prometheus::Collectable {
public:
  explicit LiveGauges(LiveFigures figures)
      : figures_(std::move(figures))
  {
  }

  std::vector<prometheus::MetricFamily> Collect() const override
  {
    return {
      gauge("quelm_receiver_queued_notifications", "Notifications waiting for a worker", figures_.queuedNotifications),
      gauge("quelm_receiver_hosts_waiting", "Hosts with notifications waiting for a worker", figures_.hostsWaiting),
      gauge("quelm_receiver_open_sessions", "Open sender sessions", figures_.openSessions),
      gauge("quelm_receiver_running_workers", "Worker threads in their loop", figures_.runningWorkers),
      gauge("quelm_receiver_persistent_plugins", "Live persistent plugin processes", figures_.persistentPlugins),
    };
  }

private:
  static prometheus::MetricFamily gauge(const char* name, const char* help, const std::function<double()>& read)
  {
    prometheus::MetricFamily family;
    family.name = name;
    family.help = help;
    family.type = prometheus::MetricType::Gauge;
    prometheus::ClientMetric value;
    value.gauge.value = read ? read() : 0;
    family.metric.push_back(std::move(value));
    return family;
  }

  LiveFigures figures_;
};

} // namespace

MetricsEndpoint::MetricsEndpoint(const std::string& listen, Metrics& metrics, LiveFigures live)
    : live_(std::make_shared<LiveGauges>(std::move(live)))
{
  exposer_ = std::make_unique<prometheus::Exposer>(listen, 2);
  exposer_->RegisterCollectable(metrics.registry());
  exposer_->RegisterCollectable(live_);
}

MetricsEndpoint::~MetricsEndpoint() = default;

int MetricsEndpoint::port() const
{
  std::vector<int> ports = exposer_->GetListeningPorts();
  return ports.empty() ? 0 : ports.front();
}
