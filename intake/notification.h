#pragma once

#include <string>

// One received notification, carried from the network side to the workers.
struct notification {
  // The message's "fromhost", or "daemonbadhost" when it has none.
  std::string host;
  // The whole payload as received.
  std::string message;
};

// What the service loader files for the cleaning thread, per device.
struct notification_acquitte {
  std::string host;
  // A PostgreSQL interval text such as "5 minute".
  std::string interval;
  std::string serviceId;
};
