#include "app/receiver_settings.h"

#include "core/conversions.h"
#include "core/ini_config.h"
#include "processing/cleaning.h"

#include <arpa/inet.h>

#include <algorithm>
#include <map>

SettingDeclaration SettingDeclaration::as(SettingType kind, long low, long high) const
{
  SettingDeclaration declaration = *this;
  declaration.type = kind;
  declaration.minimum = low;
  declaration.maximum = high;
  return declaration;
}

SettingDeclaration SettingDeclaration::absentAs(long value) const
{
  SettingDeclaration declaration = *this;
  declaration.byDefault = value;
  return declaration;
}

SettingDeclaration SettingDeclaration::raisedToMinimum() const
{
  SettingDeclaration declaration = *this;
  declaration.below = BelowMinimum::minimum;
  return declaration;
}

SettingDeclaration SettingDeclaration::defaultWhenNotPositive() const
{
  SettingDeclaration declaration = *this;
  declaration.below = BelowMinimum::byDefaultWhenNotPositive;
  return declaration;
}

SettingDeclaration SettingDeclaration::into(void (*store)(ReceiverSettings&, long)) const
{
  SettingDeclaration declaration = *this;
  declaration.storeNumber = store;
  return declaration;
}

SettingDeclaration SettingDeclaration::into(
    void (*store)(ReceiverSettings&, const std::string&), std::string (*problem)(const std::string&)) const
{
  SettingDeclaration declaration = *this;
  declaration.storeText = store;
  declaration.textProblem = problem;
  return declaration;
}

SettingDeclaration SettingDeclaration::connection(const char* keyword, bool inAddress) const
{
  SettingDeclaration declaration = *this;
  declaration.connectionKeyword = keyword;
  declaration.addressed = inAddress;
  return declaration;
}

namespace {

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

std::string metricsListenProblem(const std::string& listen)
{
  const std::string why = listen.empty() ? "" : listenAddressProblem(listen);
  return why.empty() ? why : why + ": the endpoint will not listen";
}

void storeTlsProfile(ReceiverSettings& settings, const std::string& profile)
{
  settings.tlsProfile = profile;
  settings.listen.tls.profile = profile == "modern" ? TlsProfile::modern : TlsProfile::standard;
}

std::string tlsProfileProblem(const std::string& profile)
{
  return profile.empty() || profile == "modern" || profile == "default"
      ? ""
      : "not a profile (modern or default): default used";
}

// A server that goes silent must become an outage like any other: a host
// gone is found by the keepalives and the TCP user time-out, a hung server
// by the bound on each answer (answer_timeout).
void storeConnectTimeout(ReceiverSettings& settings, long seconds)
{
  const int connectTimeout = static_cast<int>(seconds);
  if (connectTimeout <= 0)
    return;
  for (const auto& [keyword, value] :
      std::vector<std::pair<std::string, std::string>> { { "connect_timeout", std::to_string(connectTimeout) },
          { "keepalives", "1" }, { "keepalives_idle", std::to_string(std::max(connectTimeout / 2, 1)) },
          { "keepalives_interval", std::to_string(std::max(connectTimeout / 4, 1)) }, { "keepalives_count", "3" },
          { "tcp_user_timeout", std::to_string(connectTimeout * 1000L) } })
    settings.database.parameters.emplace_back(keyword, value);
}

// The one table of keys. Several database hosts may be listed; with
// target_session_attrs=read-write a reconnect finds the primary after a
// failover.
const std::vector<SettingDeclaration> declarations = {
  declare("LOG", "log_file", "log file, truncated at each start").into([](ReceiverSettings& s, const std::string& v) {
    s.logFile = v;
  }),
  declare("POSTGRESQL", "connection_number", "database connections kept open and used in turn")
      .as(SettingType::number, 1, 1000)
      .into([](ReceiverSettings& s, long v) { s.connectionNumber = static_cast<int>(v); }),
  declare("POSTGRESQL", "PGSQL_host", "database server host(s)").connection("host", true),
  declare("POSTGRESQL", "PGSQL_port", "database server port(s)").connection("port", true),
  declare("POSTGRESQL", "PGSQL_db", "database name").connection("dbname", true),
  declare("POSTGRESQL", "PGSQL_username", "database user").connection("user", true),
  declare("POSTGRESQL", "PGSQL_pwd", "database user's password").connection("password", false),
  declare("POSTGRESQL", "target_session_attrs", "read-write: only a server that takes writes")
      .connection("target_session_attrs", false),
  declare("POSTGRESQL", "connect_timeout", "seconds to connect, and the keepalives' bound; 0: none")
      .as(SettingType::longNumber, 0, 86400)
      .absentAs(10)
      .raisedToMinimum()
      .into(storeConnectTimeout),
  declare("POSTGRESQL", "answer_timeout", "seconds to wait for one statement's answer; 0: no bound")
      .as(SettingType::longNumber, 0, 86400)
      .absentAs(30)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.database.answerTimeout = std::chrono::seconds(static_cast<int>(v)); }),
  declare("POSTGRESQL", "cluster", "1: several Receivers share the database")
      .as(SettingType::flag, 0, 1)
      .into([](ReceiverSettings& s, long v) { s.cluster = v == 1; }),
  declare("SYSLOG", "port", "the listener's TCP port")
      .as(SettingType::number, 0, 65535)
      .into([](ReceiverSettings& s, long v) { s.listen.port = static_cast<int>(v); }),
  declare("SYSLOG", "certificate", "PEM file: the listener's certificate and private key")
      .into([](ReceiverSettings& s, const std::string& v) { s.listen.tls.certificate = v; }),
  declare("SYSLOG", "cafile", "PEM file: the authorities client certificates are checked against")
      .into([](ReceiverSettings& s, const std::string& v) { s.listen.tls.cafile = v; }),
  declare("SYSLOG", "verify_client", "1: every sender must present a verified certificate")
      .as(SettingType::flag, 0, 1)
      .into([](ReceiverSettings& s, long v) { s.listen.tls.verifyClient = v == 1; }),
  declare("SYSLOG", "tls_profile", "modern or default").into(storeTlsProfile, tlsProfileProblem),
  declare("SYSLOG", "max_message_size", "largest message in bytes; 0: the library's default")
      .as(SettingType::longNumber, 0, 1L << 30)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.listen.maxMessageSize = static_cast<std::size_t>(v); }),
  declare("SYSLOG", "queue_limit", "most notifications waiting; 0: no limit")
      .as(SettingType::longNumber, 0, 100000000)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.listen.queueLimit = static_cast<std::size_t>(v); }),
  declare("SYSLOG", "max_connections", "most connections at once; 0: no limit")
      .as(SettingType::longNumber, 0, 10000000)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.listen.maxConnections = static_cast<std::size_t>(v); }),
  declare("SYSLOG", "idle_timeout", "seconds a silent session stays open; 0: always")
      .as(SettingType::number, 0, 86400000)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.listen.idleTimeout = std::chrono::seconds(v); }),
  declare("SENDERS", "", "IDENTITY=PATTERN[,PATTERN...]: the hosts a sender may report for")
      .as(SettingType::senderRules),
  declare("SYSLOG", "plugin_timeout", "longest run of one plugin in seconds; 0: no limit")
      .as(SettingType::number, 0, 86400)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.pluginTimeoutSeconds = static_cast<int>(v); }),
  declare("SYSLOG", "alert_timeout", "longest run of the alerting program in seconds; 0: no limit")
      .as(SettingType::number, 0, 86400)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.alertTimeoutSeconds = static_cast<int>(v); }),
  declare("SYSLOG", "thread", "worker threads that run plugins")
      .as(SettingType::number, 0, 10000)
      .into([](ReceiverSettings& s, long v) { s.workers = static_cast<int>(v); }),
  declare("SYSLOG", "cleaning_cycle", "seconds between two cleaning passes")
      .as(SettingType::number, 0, 86400)
      .absentAs(Cleaner::defaultCycle.count())
      .defaultWhenNotPositive()
      .into([](ReceiverSettings& s, long v) { s.cleaningCycleSeconds = static_cast<int>(v); }),
  declare("SYSLOG", "resend_window", "seconds an applied notification's id is remembered")
      .as(SettingType::longNumber, 0, 2592000)
      .absentAs(600)
      .raisedToMinimum()
      .into([](ReceiverSettings& s, long v) { s.resendWindowSeconds = static_cast<int>(v); }),
  declare("PLUGINS", "persistent", "plugins served by long-running processes, separated by commas")
      .into([](ReceiverSettings& s, const std::string& v) { s.persistentPlugins = persistentPluginPaths(v); }),
  declare("METRICS", "listen", "[ADDRESS:]PORT of the metrics endpoint; empty: none")
      .into([](ReceiverSettings& s, const std::string& v) { s.metricsListen = v; }, metricsListenProblem),
};

// The value a connection keyword is given, in the place ConnectionSettings
// gives it; a keyword of its own only when set.
void storeConnectionText(ReceiverSettings& settings, const std::string& keyword, const std::string& value)
{
  auto& parameters = settings.database.parameters;
  auto at = std::find_if(parameters.begin(), parameters.end(), [&](const auto& p) { return p.first == keyword; });
  if (at != parameters.end())
    at->second = value;
  else if (!value.empty())
    parameters.emplace_back(keyword, value);
}

class Reader {
public:
  explicit Reader(IniConfig& config)
      : config_(config)
  {
  }

  void read(const SettingDeclaration& declaration, ReceiverSettings& settings)
  {
    if (declaration.type == SettingType::senderRules)
      return readSenderRules(declaration, settings);
    const std::string value = config_.getKey(declaration.section, declaration.key);
    if (declaration.type != SettingType::text)
      return declaration.storeNumber(settings, number(declaration, value));
    const std::string why = declaration.textProblem ? declaration.textProblem(value) : "";
    if (!why.empty())
      problem(declaration, value, why);
    if (declaration.connectionKeyword)
      storeConnectionText(settings, declaration.connectionKeyword, value);
    else
      declaration.storeText(settings, value);
  }

  // Every key no declaration names is a problem, named with its section.
  void reportUnknownKeys()
  {
    std::map<std::string, std::set<std::string>> known;
    for (const SettingDeclaration& declaration : declarations) {
      if (declaration.type != SettingType::senderRules)
        known[declaration.section].insert(declaration.key);
    }
    for (const auto& [section, keys] : known) {
      for (const auto& [key, value] : config_.getSection(section)) {
        const std::string name = trim(key);
        if (!name.empty() && name[0] != '[' && keys.count(name) == 0)
          problems.push_back(settingProblem(section, name, value, "unknown key, ignored"));
      }
    }
  }

  std::vector<std::string> problems;

private:
  // A whole number from the declaration's minimum to its maximum; absent
  // gives its default. A value that is not one, or out of range, is a
  // problem; the value used is the reader's, as it has always been, raised
  // as the declaration says when below the minimum.
  long number(const SettingDeclaration& declaration, const std::string& value)
  {
    if (value.empty())
      return declaration.byDefault;
    long read = stringToLong(value);
    if (!isWholeNumber(value[0] == '-' ? value.substr(1) : value))
      problem(declaration, value, "not a whole number (read as " + std::to_string(read) + ")");
    else if (read < declaration.minimum || read > declaration.maximum)
      problem(declaration, value,
          "out of range " + std::to_string(declaration.minimum) + " to " + std::to_string(declaration.maximum));
    if (declaration.type == SettingType::flag)
      return read == 1 ? 1 : 0;
    if (declaration.type == SettingType::number)
      read = static_cast<int>(read);
    if (declaration.below == BelowMinimum::minimum)
      return std::max(read, declaration.minimum);
    if (declaration.below == BelowMinimum::byDefaultWhenNotPositive && read <= 0)
      return declaration.byDefault;
    return read;
  }

  void readSenderRules(const SettingDeclaration& declaration, ReceiverSettings& settings)
  {
    std::vector<SenderRules::LineProblem> lines;
    settings.senders = SenderRules::fromSection(config_.getSection(declaration.section), &lines);
    for (const SenderRules::LineProblem& line : lines)
      problems.push_back(settingProblem(declaration.section, line.line, line.value, line.why));
  }

  void problem(const SettingDeclaration& declaration, const std::string& value, const std::string& why)
  {
    problems.push_back(settingProblem(declaration.section, declaration.key, value, why));
  }

  IniConfig& config_;
};

} // namespace

const std::vector<SettingDeclaration>& settingDeclarations() { return declarations; }

std::string settingProblem(
    const std::string& section, const std::string& key, const std::string& value, const std::string& why)
{
  return "[" + section + "] " + key + "=" + value + ": " + why;
}

ReceiverSettings readSettings(IniConfig& config)
{
  Reader reader(config);
  ReceiverSettings settings;
  settings.database = ConnectionSettings::of({}, {}, {}, {}, {});
  for (const SettingDeclaration& declaration : declarations)
    reader.read(declaration, settings);
  reader.reportUnknownKeys();
  settings.problems = std::move(reader.problems);
  return settings;
}
