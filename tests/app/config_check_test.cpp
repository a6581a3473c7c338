#include "app/receiver_settings.h"
#include "core/ini_config.h"
#include "tests/support/certificates.h"
#include "tests/support/free_port.h"
#include "tests/support/site.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The configuration text with each "SECTION.key" set to its value: the key's first line after the section's header
// replaced, or a line added under the header.
std::string withValues(std::string text, const std::map<std::string, std::string>& values)
{
  for (const auto& [name, value] : values) {
    const std::string header = "[" + name.substr(0, name.find('.')) + "]\n",
                      key = name.substr(name.find('.') + 1) + "=";
    const std::size_t at = text.find(header) + header.size(), own = text.find("\n" + key, at - 1);
    if (own == std::string::npos)
      text.insert(at, key + value + "\n");
    else
      text.replace(own + 1, text.find('\n', own + 1) - own - 1, key + value);
  }
  return text;
}

// What the daemon uses of each value, "name=value;" each.
std::string used(const ReceiverSettings& s)
{
  std::ostringstream text;
  for (const auto& [keyword, value] : s.database.parameters)
    text << keyword << "=" << value << ";";
  const ListenerSettings& l = s.listen;
  text << "answer=" << s.database.answerTimeout.count() << ";number=" << s.connectionNumber << ";cluster=" << s.cluster
       << ";port=" << l.port << ";verify=" << l.tls.verifyClient << ";modern=" << (l.tls.profile == TlsProfile::modern)
       << ";size=" << l.maxMessageSize << ";queue=" << l.queueLimit << ";connections=" << l.maxConnections
       << ";idle=" << l.idleTimeout.count() << ";plugin=" << s.pluginTimeoutSeconds
       << ";alert=" << s.alertTimeoutSeconds << ";thread=" << s.workers << ";cleaning=" << s.cleaningCycleSeconds
       << ";resend=" << s.resendWindowSeconds << ";persistent=" << s.persistentPlugins.size()
       << ";metrics=" << s.metricsListen << ";";
  return text.str();
}

} // namespace

// The declarations read on their own: every value when absent, a value that is not a number, values out of range
// stored as the daemon uses them, a value that is not one of its words, and keys nobody reads.
TEST(ConfigCheckTest, SettingsAreReadAsDeclared)
{
  TempDir dir;
  struct Row {
    std::string config;
    std::vector<std::string> problems, used;
  };
  const std::vector<Row> rows = {
    { "", {},
        { "host=;port=;dbname=;user=;password=;connect_timeout=10;keepalives=1;keepalives_idle=5;keepalives_interval=2;"
          "keepalives_count=3;tcp_user_timeout=10000;answer=30000;number=0;cluster=0;port=0;verify=0;modern=0;size=0;"
          "queue=0;connections=0;idle=0;plugin=0;alert=0;thread=0;cleaning=120;resend=600;persistent=0;metrics=;" } },
    { "[SYSLOG]\nport=65a36\nplugin_timout=5\n[LOG]\nfile=x",
        { "[SYSLOG] port=65a36: not a whole number (read as 65)", "[LOG] file=x: unknown key, ignored",
            "[SYSLOG] plugin_timout=5: unknown key, ignored" },
        { ";port=65;" } },
    { "[POSTGRESQL]\nconnect_timeout=-1\nanswer_timeout=-2\ncluster=2\ntarget_session_attrs=read-write",
        { "[POSTGRESQL] connect_timeout=-1: out of range 0 to 86400",
            "[POSTGRESQL] answer_timeout=-2: out of range 0 to 86400", "[POSTGRESQL] cluster=2: out of range 0 to 1" },
        { "password=;target_session_attrs=read-write;answer=0;number=0;cluster=0;" } },
    { "[SYSLOG]\nplugin_timeout=-5\nalert_timeout=-1\ncleaning_cycle=-1\nresend_window=-3\nidle_timeout=-2\n"
      "queue_limit=-4\nthread=-1",
        { "[SYSLOG] queue_limit=-4: out of range 0 to 100000000",
            "[SYSLOG] idle_timeout=-2: out of range 0 to 86400000",
            "[SYSLOG] plugin_timeout=-5: out of range 0 to 86400", "[SYSLOG] alert_timeout=-1: out of range 0 to 86400",
            "[SYSLOG] thread=-1: out of range 0 to 10000", "[SYSLOG] cleaning_cycle=-1: out of range 0 to 86400",
            "[SYSLOG] resend_window=-3: out of range 0 to 2592000" },
        { ";queue=0;", ";idle=0;plugin=0;alert=0;thread=-1;cleaning=120;resend=0;" } },
    { "[SYSLOG]\ntls_profile=old\nverify_client=1\ncleaning_cycle=0\n[METRICS]\nlisten=9477\n[PLUGINS]\npersistent=/a, "
      "/b,/a",
        { "[SYSLOG] tls_profile=old: not a profile (modern or default): default used" },
        { ";verify=1;modern=0;", ";cleaning=120;", ";persistent=2;metrics=9477;" } },
  };
  for (const Row& row : rows) {
    IniConfig config(dir.write("settings.conf", row.config + "\n"));
    const ReceiverSettings settings = readSettings(config);
    EXPECT_EQ(settings.problems, row.problems) << row.config;
    for (const std::string& part : row.used)
      EXPECT_NE(used(settings).find(part), std::string::npos) << row.config << "\n" << used(settings);
  }
}

// The real daemon's --check on the shipped sample, pointed at the test database and real certificates (made to end
// within two days: a warning only), then with one fault each: every fault is named and makes the exit status 1.
TEST(ConfigCheckTest, TheShippedSampleChecksCleanAndEachFaultIsNamed)
{
  TempDir dir;
  Site site(dir, "site", 1);
  TestDatabase& db = site.db;
  const std::string sample = withValues(readFile(QUELM_SOURCE_DIR "/packaging/receiver.conf"),
      { { "POSTGRESQL.PGSQL_host", db.host }, { "POSTGRESQL.PGSQL_port", db.port }, { "POSTGRESQL.PGSQL_db", db.name },
          { "POSTGRESQL.PGSQL_username", db.user }, { "POSTGRESQL.PGSQL_pwd", db.password },
          { "LOG.log_file", dir.path() + "/receiver.log" },
          { "SYSLOG.certificate", makeCertificatePem(dir, "receiver.pem", "localhost") },
          { "SYSLOG.cafile", makeAuthority(dir, "senders") } });
  const std::string missing = dir.path() + "/missing.pem", mismatched = makeMismatchedPem(dir, "mismatched.pem");
  const std::string closedPort = std::to_string(freeLoopbackPort());
  const std::string limited = "limited " + std::to_string(::getpid());
  struct Row {
    std::string name;
    std::map<std::string, std::string> values;
    std::string sql, expected;
  };
  const std::vector<Row> rows = {
    { "sample", {}, "", "the certificate expires on " },
    { "missing certificate", { { "SYSLOG.certificate", missing } }, "",
        "[SYSLOG] certificate=" + missing + ": cannot be read: " },
    { "mismatched key", { { "SYSLOG.certificate", mismatched } }, "",
        "[SYSLOG] certificate=" + mismatched + ": the private key cannot be used" },
    { "metrics address", { { "METRICS.listen", "127.0.0.1:99999" } }, "", "[METRICS] listen=127.0.0.1:99999: not" },
    { "sender without pattern", { { "SENDERS.road", "" }, { "SYSLOG.verify_client", "1" } }, "",
        "[SENDERS] road=: no host pattern" },
    { "rules without verified senders", { { "SENDERS.road", "fw*" } }, "", "[SENDERS] section ignored: it needs" },
    { "unreachable database", { { "POSTGRESQL.PGSQL_port", closedPort } }, "",
        "PGSQL_port=" + closedPort + " PGSQL_db=" + db.name + " PGSQL_username=" + db.user
            + ": the database cannot be reached: " },
    { "role that may not create the Receiver's tables",
        { { "POSTGRESQL.PGSQL_username", limited }, { "POSTGRESQL.PGSQL_pwd", "limited" } },
        "CREATE ROLE \"" + limited + "\" LOGIN PASSWORD 'limited'; GRANT SELECT ON ALL TABLES IN SCHEMA public TO \""
            + limited + "\"",
        ": the Receiver's tables quelm_receiver_applied and quelm_receiver_alerts are missing and this database role "
        "may not create them: have the database's owner run schema/receiver.sql" },
    { "missing plugin", {}, "UPDATE quelm_plugins SET plugin_path = '/nowhere/check-fw'",
        "service 1 host00-syslog: plugin /nowhere/check-fw: does not exist" },
  };
  for (const Row& row : rows) {
    if (!row.sql.empty())
      db.exec(row.sql);
    const std::string config = dir.write("receiver.conf", withValues(sample, row.values));
    TestProcess check({ QUELM_BINARY_DIR "/quelm-receiver", "--check", "-f", config });
    const int status = check.wait(30);
    SCOPED_TRACE(row.name + ":\n" + check.output());
    const bool clean = row.name == "sample";
    EXPECT_EQ(status, clean ? 0 : 1);
    EXPECT_NE(check.output().find(row.expected), std::string::npos);
    // Exactly the one problem of the row, in the last line.
    const std::string summary = "configuration " + config + (clean ? ": OK, 1 warning\n" : ": 1 problem");
    EXPECT_NE(check.output().find(summary), std::string::npos);
  }
  // Before a start, a service that cannot run its plugin fails alone: a warning, not a refused start.
  TestProcess startup(
      { QUELM_BINARY_DIR "/quelm-receiver", "--check-startup", "-f", dir.write("receiver.conf", sample) });
  EXPECT_EQ(startup.wait(30), 0) << startup.output();
  EXPECT_NE(startup.output().find("warning: service 1 host00-syslog: plugin /nowhere/check-fw: does not exist"),
      std::string::npos)
      << startup.output();
  EXPECT_NE(::access((dir.path() + "/receiver.log").c_str(), F_OK), 0) << "the check opened the log file";
  EXPECT_EQ(db.scalar("SELECT count(*) FROM pg_tables WHERE tablename LIKE 'quelm_receiver_%'"), "0")
      << "the check created a table";
  db.exec("REVOKE ALL ON ALL TABLES IN SCHEMA public FROM \"" + limited + "\"; DROP ROLE \"" + limited + "\"");
}
