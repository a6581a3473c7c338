#pragma once

#include "core/metrics.h"

#include <functional>
#include <memory>
#include <string>

namespace prometheus {
class Exposer;
}

// The values read when a scrape comes rather than counted as they change.
struct LiveFigures {
  std::function<double()> queuedNotifications;
  std::function<double()> hostsWaiting;
  std::function<double()> openSessions;
  std::function<double()> runningWorkers;
  std::function<double()> persistentPlugins;
};

// Serves the metrics and the live figures in Prometheus' text format on
// http://ADDRESS:PORT/metrics, from the client library's own HTTP server.
class MetricsEndpoint {
public:
  // Throws std::runtime_error when the address cannot be listened on.
  MetricsEndpoint(const std::string& listen, Metrics& metrics, LiveFigures live);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The port bound (the chosen one when configured as 0).
  int port() const;

private:
  std::shared_ptr<prometheus::Collectable> live_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};
