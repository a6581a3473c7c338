#pragma once

#include "database/connection_settings.h"
#include "intake/listener_settings.h"

#include <chrono>
#include <set>
#include <string>
#include <vector>

class IniConfig;

// Everything the Receiver takes from its configuration, read once, in one
// place, from the declarations below. Each value is stored as the daemon
// uses it: a number that cannot be read is what the number reader makes of
// it (0 when it does not begin with a digit), and one below its range is
// raised as its declaration says, so no consumer bounds it again. What an
// operator should fix is in problems, one line each naming the section, the
// key and the value.
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
  // 0: no limit.
  int pluginTimeoutSeconds = 0;
  int alertTimeoutSeconds = 0;
  int workers = 0;
  int cleaningCycleSeconds = 0;
  // How long an applied notification's id is remembered, in seconds.
  int resendWindowSeconds = 0;
  std::set<std::string> persistentPlugins;
  // [METRICS] listen=; empty: no endpoint.
  std::string metricsListen;
  std::vector<std::string> problems;
};

enum class SettingType {
  text,
  // 1 is on, anything else off.
  flag,
  // A whole number, taken as an int before it is bounded below.
  number,
  // A whole number, bounded below as read; its store narrows it.
  longNumber,
  // A section of free keys, one sender rule each.
  senderRules,
};

// What the daemon uses for a number below its minimum.
enum class BelowMinimum { keptAsRead, minimum, byDefaultWhenNotPositive };

// One key: where it is, what it takes, what it is when absent, and where
// its value goes. Built by declare() and its chained setters.
struct SettingDeclaration {
  const char* section = "";
  const char* key = "";
  const char* help = "";
  SettingType type = SettingType::text;
  long minimum = 0;
  long maximum = 0;
  // A number's value when the key is absent.
  long byDefault = 0;
  BelowMinimum below = BelowMinimum::keptAsRead;
  void (*storeText)(ReceiverSettings&, const std::string&) = nullptr;
  void (*storeNumber)(ReceiverSettings&, long) = nullptr;
  // Why a text value is wrong; empty when it is not.
  std::string (*textProblem)(const std::string&) = nullptr;
  // The libpq keyword a text is given to the database as; addressed: the
  // check names it with the database it cannot use.
  const char* connectionKeyword = nullptr;
  bool addressed = false;

  SettingDeclaration as(SettingType kind, long low = 0, long high = 0) const;
  SettingDeclaration absentAs(long value) const;
  SettingDeclaration raisedToMinimum() const;
  SettingDeclaration defaultWhenNotPositive() const;
  SettingDeclaration into(void (*store)(ReceiverSettings&, long)) const;
  SettingDeclaration into(
      void (*store)(ReceiverSettings&, const std::string&), std::string (*problem)(const std::string&) = nullptr) const;
  SettingDeclaration connection(const char* keyword, bool inAddress) const;
};

inline SettingDeclaration declare(const char* section, const char* key, const char* help)
{
  SettingDeclaration declaration;
  declaration.section = section;
  declaration.key = key;
  declaration.help = help;
  return declaration;
}

// Every key the Receiver reads, in reading order.
const std::vector<SettingDeclaration>& settingDeclarations();

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
