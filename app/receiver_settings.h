#pragma once

#include "database/connection_settings.h"
#include "intake/listener_settings.h"

#include <chrono>
#include <set>
#include <string>
#include <vector>

class IniConfig;

// Everything the Receiver takes from its configuration, read once, in one
// place. Each value is what the daemon has always made of its text (a number
// that cannot be read is what the number reader makes of it, 0 when it does
// not begin with a digit); what an operator should fix is in problems, one
// line each naming the section, the key and the value.
struct ReceiverSettings {
  std::string logFile;
  ConnectionSettings database;
  int connectionNumber = 0;
  bool cluster = false;
  // The listener's settings, without the SENDERS rules: those are apart,
  // since they apply only with verify_client=1 (sendersIgnored).
  ListenerSettings listen;
  SenderRules senders;
  // tls_profile as written, for the start-up line.
  std::string tlsProfile;
  int pluginTimeoutSeconds = 0;
  int alertTimeoutSeconds = 0;
  int workers = 0;
  // cleaning_cycle, 0 when absent or not positive.
  int cleaningCycleSeconds = 0;
  // How long an applied notification's id is remembered, in seconds.
  int resendWindowSeconds = 600;
  std::set<std::string> persistentPlugins;
  // [METRICS] listen=; empty: no endpoint.
  std::string metricsListen;
  std::vector<std::string> problems;
};

// Sender rules without verified senders: nobody could be told apart, so the
// rules are not applied and every sender may report for any host.
inline bool sendersIgnored(const ReceiverSettings& settings)
{
  return settings.senders.active() && !settings.listen.tls.verifyClient;
}

// Reads the configuration file (ConfigFileError when it cannot be opened).
ReceiverSettings readSettings(IniConfig& config);

// One problem line: "[SECTION] key=value: why".
std::string settingProblem(
    const std::string& section, const std::string& key, const std::string& value, const std::string& why);
