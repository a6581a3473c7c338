#include "app/config_check.h"

#include "app/database_preparation.h"
#include "app/receiver_settings.h"
#include "core/ini_config.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "execution/unique_fd.h"
#include "intake/tls_context.h"
#include "services/service_loader.h"
#include "services/service_registry.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <system_error>
#include <unistd.h>

namespace {

// A certificate that ends sooner is a warning: time to renew it.
constexpr int expiryWarningDays = 30;
// The connection bound when the configuration sets none: an unreachable
// database must give its line within seconds, never hold the check.
const char* const checkConnectTimeout = "10";

std::string errorText(int error) { return std::generic_category().message(error); }

// Library messages may span lines (libpq's do): one line, spaces kept single.
std::string oneLine(const std::string& text)
{
  std::string line;
  for (char c : text) {
    const bool space = c == '\n' || c == '\t' || c == '\r' || c == ' ';
    if (!space)
      line += c;
    else if (!line.empty() && line.back() != ' ')
      line += ' ';
  }
  return trim(line);
}

// The daemon's log stream pointed elsewhere for one scope, so that what the
// start-up steps log does not mix with the report.
class LogDiversion {
public:
  explicit LogDiversion(std::streambuf* to)
      : original_(std::cout.rdbuf(to))
  {
  }
  ~LogDiversion() { std::cout.rdbuf(original_); }
  LogDiversion(const LogDiversion&) = delete;
  LogDiversion& operator=(const LogDiversion&) = delete;

private:
  std::streambuf* original_;
};

// Why the configuration file cannot be read; empty when it can.
std::string unreadableFile(const std::string& path)
{
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat info { };
  if (file.get() < 0 || ::fstat(file.get(), &info) != 0)
    return "cannot be read: " + errorText(errno);
  return S_ISREG(info.st_mode) ? "" : "is not a regular file";
}

// Why a program cannot be started, as the runners start it (execv of the
// path itself); empty when it can.
std::string unusableProgram(const std::string& path)
{
  struct stat info { };
  if (::stat(path.c_str(), &info) != 0)
    return errno == ENOENT ? "does not exist" : "cannot be read: " + errorText(errno);
  if (!S_ISREG(info.st_mode))
    return "is not a regular file";
  if (::access(path.c_str(), X_OK) != 0)
    return "cannot be executed: " + errorText(errno);
  return {};
}

std::string countOf(std::size_t count, const std::string& noun)
{
  return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// The end of the certificate's validity: a problem once passed, a warning
// when it comes within expiryWarningDays.
void checkExpiry(const std::string& path, CheckReport& report)
{
  std::unique_ptr<BIO, decltype(&BIO_free)> file(BIO_new_file(path.c_str(), "r"), BIO_free);
  std::unique_ptr<X509, decltype(&X509_free)> certificate(
      file ? PEM_read_bio_X509(file.get(), nullptr, nullptr, nullptr) : nullptr, X509_free);
  std::tm end {};
  int days = 0;
  int seconds = 0;
  if (!certificate || ASN1_TIME_to_tm(X509_get0_notAfter(certificate.get()), &end) != 1
      || ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate.get())) != 1)
    return;
  char date[32] = {};
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &end);
  if (days < 0 || seconds < 0)
    report.problems.push_back(
        settingProblem("SYSLOG", "certificate", path, std::string("the certificate expired on ") + date));
  else if (days < expiryWarningDays)
    report.warnings.push_back(settingProblem("SYSLOG", "certificate", path,
        "the certificate expires on " + std::string(date) + ", in " + countOf(static_cast<std::size_t>(days), "day")));
}

// The listener's TLS material, read as each connection's context reads it.
void checkTls(const ReceiverSettings& settings, CheckReport& report)
{
  TlsSettings tls = settings.listen.tls;
  // An authority already named is read even before verify_client turns it
  // on, so that turning it on is not its first test.
  tls.verifyClient = tls.verifyClient || !tls.cafile.empty();
  if (tls.certificate.empty())
    report.problems.push_back(settingProblem("SYSLOG", "certificate", "", "not set: every TLS handshake fails"));
  std::vector<TlsFailure> failures;
  buildTlsContext(tls, tls.mode(), failures);
  // The library's text for a file it could not open says little: the
  // system's reason is given instead.
  auto why = [](const std::string& file, const std::string& step, const TlsFailure& failure) {
    const std::string unreadable = unreadableFile(file);
    return unreadable.empty() ? step + " cannot be used: " + oneLine(failure.reason) : unreadable;
  };
  bool certificateRead = !tls.certificate.empty();
  for (const TlsFailure& failure : failures) {
    switch (failure.setting) {
    case TlsFailure::Setting::certificate:
    case TlsFailure::Setting::privateKey:
      if (!tls.certificate.empty())
        report.problems.push_back(settingProblem("SYSLOG", "certificate", tls.certificate,
            why(tls.certificate,
                failure.setting == TlsFailure::Setting::certificate ? "the certificate" : "the private key", failure)));
      certificateRead = certificateRead && failure.setting != TlsFailure::Setting::certificate;
      break;
    case TlsFailure::Setting::authority:
      report.problems.push_back(
          settingProblem("SYSLOG", "cafile", tls.cafile, why(tls.cafile, "the authority", failure)));
      break;
    case TlsFailure::Setting::protocolVersions:
    case TlsFailure::Setting::cipherList:
      report.problems.push_back(settingProblem("SYSLOG", "tls_profile", settings.tlsProfile,
          "the TLS library refuses the profile's protocol versions or cipher list"));
      break;
    }
  }
  if (certificateRead)
    checkExpiry(tls.certificate, report);
}

void checkProgram(
    const SyslogService& service, const std::string& kind, const std::string& path, std::vector<std::string>& faults)
{
  const std::string why = unusableProgram(path);
  if (!why.empty())
    faults.push_back(
        "service " + service.serviceIdText + " " + service.serviceName + ": " + kind + " " + path + ": " + why);
}

void checkPrograms(ServiceRegistry& registry, std::vector<std::string>& faults)
{
  for (const std::shared_ptr<SyslogService>& service : registry.services()) {
    checkProgram(*service, "plugin", service->pluginPath, faults);
    // Without an alerting program the service alerts nobody, which is allowed.
    if (!service->programPath.empty())
      checkProgram(*service, "alerting program", service->programPath, faults);
  }
}

// "[POSTGRESQL]" and the keys that say which database, as configured.
std::string databaseAddress(const ConnectionSettings& database)
{
  std::string where = "[POSTGRESQL]";
  for (const auto& [keyword, value] : database.parameters) {
    for (const SettingDeclaration& declaration : settingDeclarations()) {
      if (declaration.addressed && keyword == declaration.connectionKeyword)
        where += std::string(" ") + declaration.key + "=" + value;
    }
  }
  return where;
}

// The database as start-up meets it: one connection with these settings,
// the statements start-up prepares, the error names and the services it
// loads, whose programs are then looked at. Nothing is written.
void checkDatabase(const ReceiverSettings& settings, CheckReport& report, ProgramFaults programFaults)
{
  ConnectionSettings database = settings.database;
  const std::string where = databaseAddress(database);
  const bool bounded = std::any_of(database.parameters.begin(), database.parameters.end(),
      [](const auto& parameter) { return parameter.first == "connect_timeout"; });
  if (!bounded)
    database.parameters.emplace_back("connect_timeout", checkConnectTimeout);
  std::unique_ptr<PgPool> pool;
  try {
    pool = std::make_unique<PgPool>(database, 1);
  } catch (const DatabaseError& error) {
    report.problems.push_back(where + ": the database cannot be reached: " + oneLine(error.what()));
    return;
  }
  ServiceRegistry registry;
  // Start-up creates the Receiver's tables when they are missing; only a
  // role that may not is a problem.
  DatabasePreparation prepared;
  std::string failure;
  bool failed = false;
  try {
    prepareReceiverDatabase(*pool, settings.cluster, MissingTables::reported, prepared);
    AutoAcknowledgements acknowledgements;
    prepareAndLoadServices(*pool, registry, acknowledgements);
  } catch (const DatabaseError& error) {
    failed = true;
    failure = oneLine(error.what());
  }
  if (!prepared.tablesProblem.empty())
    report.problems.push_back(where + ": " + prepared.tablesProblem);
  if (failed) {
    report.problems.push_back(where + ": the daemon's statements fail: " + failure);
    return;
  }
  checkPrograms(registry, programFaults == ProgramFaults::problems ? report.problems : report.warnings);
}

} // namespace

CheckReport checkConfiguration(const std::string& path, std::streambuf* logLines, ProgramFaults programFaults)
{
  LogDiversion diversion(logLines);
  CheckReport report;
  const std::string unreadable = unreadableFile(path);
  if (!unreadable.empty()) {
    report.problems.push_back("configuration " + path + ": " + unreadable);
    return report;
  }
  ReceiverSettings settings;
  try {
    IniConfig config(path);
    settings = readSettings(config);
  } catch (const ConfigFileError& error) {
    report.problems.push_back("configuration " + path + ": cannot be read: " + error.what());
    return report;
  }
  report.problems = settings.problems;
  if (sendersIgnored(settings))
    report.problems.push_back("[SENDERS] section ignored: it needs [SYSLOG] verify_client=1, and meanwhile every "
                              "sender may report for any host");
  checkTls(settings, report);
  checkDatabase(settings, report, programFaults);
  return report;
}

int printCheckReport(const std::string& path, const CheckReport& report, std::ostream& out)
{
  for (const std::string& problem : report.problems)
    out << problem << '\n';
  for (const std::string& warning : report.warnings)
    out << "warning: " << warning << '\n';
  out << "configuration " << path << ": "
      << (report.problems.empty() ? "OK" : countOf(report.problems.size(), "problem"))
      << (report.warnings.empty() ? "" : ", " + countOf(report.warnings.size(), "warning")) << std::endl;
  return report.problems.empty() ? 0 : 1;
}
