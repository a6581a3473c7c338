#include "app/receiver_settings.h"

#include "core/conversions.h"
#include "core/ini_config.h"

#include <arpa/inet.h>

#include <algorithm>
#include <map>

namespace {

// The keys of each section; [SENDERS] takes any sender identity.
const std::map<std::string, std::set<std::string>> knownKeys = {
  { "LOG", { "log_file" } },
  { "POSTGRESQL",
      { "connection_number", "PGSQL_host", "PGSQL_port", "PGSQL_db", "PGSQL_username", "PGSQL_pwd", "connect_timeout",
          "answer_timeout", "target_session_attrs", "cluster" } },
  { "SYSLOG",
      { "port", "certificate", "cafile", "verify_client", "tls_profile", "thread", "plugin_timeout", "alert_timeout",
          "max_message_size", "queue_limit", "max_connections", "cleaning_cycle", "idle_timeout", "resend_window" } },
  { "PLUGINS", { "persistent" } },
  { "METRICS", { "listen" } },
};

// The programs listed in [PLUGINS] persistent=, separated by commas.
std::set<std::string> persistentPluginPaths(const std::string& listed)
{
  std::set<std::string> paths;
  std::size_t from = 0;
  while (from <= listed.size()) {
    std::size_t comma = std::min(listed.find(',', from), listed.size());
    std::string path = trim(listed.substr(from, comma - from));
    if (!path.empty())
      paths.insert(path);
    from = comma + 1;
  }
  return paths;
}

bool isWholeNumber(const std::string& text)
{
  return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// What is wrong with a metrics address, empty when nothing: the endpoint
// takes PORT or ADDRESS:PORT, the address an IPv4 one, an IPv6 one in
// brackets, or a host name.
std::string listenAddressProblem(const std::string& listen)
{
  const std::size_t colon = listen.rfind(':');
  const std::string port = colon == std::string::npos ? listen : listen.substr(colon + 1);
  if (!isWholeNumber(port) || port.size() > 5 || std::stol(port) < 1 || std::stol(port) > 65535)
    return "not PORT or ADDRESS:PORT with a port from 1 to 65535";
  if (colon == std::string::npos)
    return {};
  const std::string address = listen.substr(0, colon);
  unsigned char binary[sizeof(in6_addr)];
  if (address.size() > 2 && address.front() == '[' && address.back() == ']')
    return ::inet_pton(AF_INET6, address.substr(1, address.size() - 2).c_str(), binary) == 1
        ? ""
        : "not an IPv6 address in brackets";
  if (address.find_first_not_of("0123456789.") == std::string::npos)
    return ::inet_pton(AF_INET, address.c_str(), binary) == 1 ? "" : "not an IPv4 address";
  if (address.empty()
      || address.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-.")
          != std::string::npos)
    return "not an IPv4 address, an IPv6 address in brackets or a host name";
  return {};
}

class Reader {
public:
  explicit Reader(IniConfig& config)
      : config_(config)
  {
  }

  std::string text(const std::string& section, const std::string& key) { return config_.getKey(section, key); }

  // A whole number from low to high; absent gives the fallback. A value that
  // is not one, or out of range, is a problem; the value used is the
  // reader's, as it has always been.
  long number(const std::string& section, const std::string& key, long low, long high, long absent = 0)
  {
    const std::string value = text(section, key);
    if (value.empty())
      return absent;
    const long read = stringToLong(value);
    if (!isWholeNumber(value[0] == '-' ? value.substr(1) : value))
      problem(section, key, value, "not a whole number (read as " + std::to_string(read) + ")");
    else if (read < low || read > high)
      problem(section, key, value, "out of range " + std::to_string(low) + " to " + std::to_string(high));
    return read;
  }

  void problem(const std::string& section, const std::string& key, const std::string& value, const std::string& why)
  {
    problems.push_back(settingProblem(section, key, value, why));
  }

  std::vector<std::string> problems;

private:
  IniConfig& config_;
};

} // namespace

std::string settingProblem(
    const std::string& section, const std::string& key, const std::string& value, const std::string& why)
{
  return "[" + section + "] " + key + "=" + value + ": " + why;
}

namespace {

// [POSTGRESQL]: the connection, its time bounds and cluster mode.
void readDatabase(Reader& read, ReceiverSettings& settings)
{
  settings.connectionNumber = static_cast<int>(read.number("POSTGRESQL", "connection_number", 1, 1000));
  settings.database = ConnectionSettings::of(read.text("POSTGRESQL", "PGSQL_host"),
      read.text("POSTGRESQL", "PGSQL_port"), read.text("POSTGRESQL", "PGSQL_db"),
      read.text("POSTGRESQL", "PGSQL_username"), read.text("POSTGRESQL", "PGSQL_pwd"));
  // Several hosts may be listed; with target_session_attrs=read-write a
  // reconnect finds the primary after a failover.
  const std::string sessionAttributes = read.text("POSTGRESQL", "target_session_attrs");
  if (!sessionAttributes.empty())
    settings.database.parameters.emplace_back("target_session_attrs", sessionAttributes);
  // A server that goes silent must become an outage like any other: a host
  // gone is found by the keepalives and the TCP user time-out, a hung
  // server by the bound on each answer.
  const int connectTimeout = static_cast<int>(std::max(read.number("POSTGRESQL", "connect_timeout", 0, 86400, 10), 0L));
  const int answerTimeout = static_cast<int>(std::max(read.number("POSTGRESQL", "answer_timeout", 0, 86400, 30), 0L));
  if (connectTimeout > 0) {
    for (const auto& [keyword, value] :
        std::vector<std::pair<std::string, std::string>> { { "connect_timeout", std::to_string(connectTimeout) },
            { "keepalives", "1" }, { "keepalives_idle", std::to_string(std::max(connectTimeout / 2, 1)) },
            { "keepalives_interval", std::to_string(std::max(connectTimeout / 4, 1)) }, { "keepalives_count", "3" },
            { "tcp_user_timeout", std::to_string(connectTimeout * 1000) } })
      settings.database.parameters.emplace_back(keyword, value);
  }
  settings.database.answerTimeout = std::chrono::seconds(answerTimeout);
  settings.cluster = read.number("POSTGRESQL", "cluster", 0, 1) == 1;

}

// [SYSLOG]'s listener keys and the [SENDERS] rules.
void readListener(Reader& read, IniConfig& config, ReceiverSettings& settings)
{
  ListenerSettings& listen = settings.listen;
  listen.port = static_cast<int>(read.number("SYSLOG", "port", 0, 65535));
  listen.tls.certificate = read.text("SYSLOG", "certificate");
  listen.tls.cafile = read.text("SYSLOG", "cafile");
  listen.tls.verifyClient = read.number("SYSLOG", "verify_client", 0, 1) == 1;
  settings.tlsProfile = read.text("SYSLOG", "tls_profile");
  listen.tls.profile = settings.tlsProfile == "modern" ? TlsProfile::modern : TlsProfile::standard;
  if (!settings.tlsProfile.empty() && settings.tlsProfile != "modern" && settings.tlsProfile != "default")
    read.problem("SYSLOG", "tls_profile", settings.tlsProfile, "not a profile (modern or default): default used");
  const long maxMessageSize = read.number("SYSLOG", "max_message_size", 0, 1L << 30);
  listen.maxMessageSize = maxMessageSize > 0 ? static_cast<std::size_t>(maxMessageSize) : 0;
  const long queueLimit = read.number("SYSLOG", "queue_limit", 0, 100000000);
  listen.queueLimit = queueLimit > 0 ? static_cast<std::size_t>(queueLimit) : 0;
  const long maxConnections = read.number("SYSLOG", "max_connections", 0, 10000000);
  listen.maxConnections = maxConnections > 0 ? static_cast<std::size_t>(maxConnections) : 0;
  listen.idleTimeout
      = std::chrono::seconds(std::max(static_cast<int>(read.number("SYSLOG", "idle_timeout", 0, 86400000)), 0));
  std::vector<SenderRules::LineProblem> senderProblems;
  settings.senders = SenderRules::fromSection(config.getSection("SENDERS"), &senderProblems);
  for (const SenderRules::LineProblem& line : senderProblems)
    read.problem("SENDERS", line.line, line.value, line.why);
}

// Every key that no reading asks for is a problem, named with its section.
void reportUnknownKeys(Reader& read, IniConfig& config)
{
  for (const auto& [section, keys] : knownKeys) {
    for (const auto& [key, value] : config.getSection(section)) {
      const std::string name = trim(key);
      if (!name.empty() && name[0] != '[' && keys.count(name) == 0)
        read.problem(section, name, value, "unknown key, ignored");
    }
  }
}

} // namespace

ReceiverSettings readSettings(IniConfig& config)
{
  Reader read(config);
  ReceiverSettings settings;
  settings.logFile = read.text("LOG", "log_file");
  readDatabase(read, settings);
  readListener(read, config, settings);
  settings.pluginTimeoutSeconds = static_cast<int>(read.number("SYSLOG", "plugin_timeout", 0, 86400));
  settings.alertTimeoutSeconds = static_cast<int>(read.number("SYSLOG", "alert_timeout", 0, 86400));
  settings.workers = static_cast<int>(read.number("SYSLOG", "thread", 0, 10000));
  settings.cleaningCycleSeconds = static_cast<int>(read.number("SYSLOG", "cleaning_cycle", 0, 86400));
  settings.resendWindowSeconds = static_cast<int>(
      std::max(read.number("SYSLOG", "resend_window", 0, 2592000, settings.resendWindowSeconds), 0L));
  settings.persistentPlugins = persistentPluginPaths(read.text("PLUGINS", "persistent"));
  settings.metricsListen = read.text("METRICS", "listen");
  if (!settings.metricsListen.empty()) {
    const std::string why = listenAddressProblem(settings.metricsListen);
    if (!why.empty())
      read.problem("METRICS", "listen", settings.metricsListen, why + ": the endpoint will not listen");
  }
  reportUnknownKeys(read, config);
  settings.problems = std::move(read.problems);
  return settings;
}
