#include "core/ini_config.h"
#include "tests/support/command.h"
#include "tests/support/temp_dir.h"
#include "tests/tools/plugin_run.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {

bool isExecutableFile(const std::string& path)
{
  struct stat info { };
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The sample read strictly: "SECTION.key" -> value for every line that is
// neither a comment, a blank nor a section header.
std::map<std::string, std::string> strictEntries(const std::string& path)
{
  std::map<std::string, std::string> entries;
  std::ifstream file(path);
  std::string line, section;
  while (std::getline(file, line)) {
    if (line.empty() || line[0] == '#')
      continue;
    if (line[0] == '[') {
      section = line.substr(1, line.find(']') - 1);
      continue;
    }
    std::string::size_type eq = line.find('=');
    if (eq != std::string::npos)
      entries[section + "." + line.substr(0, eq)] = line.substr(eq + 1);
  }
  return entries;
}

class InstallTest : public ::testing::Test {
  protected:
  void SetUp() override
  {
    CommandResult result = runCommand("DESTDIR=" + shellQuote(dest.path()) + " " + shellQuote(QUELM_CMAKE_COMMAND)
            + " --install " + shellQuote(QUELM_BINARY_DIR),
        "", 120);
    ASSERT_EQ(result.status, 0) << result.out << result.err;
  }

  std::string staged(const std::string& absolute) const { return dest.path() + absolute; }

  TempDir dest;
};

TEST_F(InstallTest, ProgramsAreInstalledAndRun)
{
  for (const char* name : { "quelm-receiver", "quelm-notify", "quelm-check-syslog" })
    EXPECT_TRUE(isExecutableFile(staged(QUELM_INSTALL_BINDIR "/") + name)) << name;
  PluginRun help = runPlugin({ staged(QUELM_INSTALL_BINDIR "/quelm-check-syslog"), "--help" }, "");
  EXPECT_EQ(help.status, 0);
  PluginRun check = runPlugin({ staged(QUELM_INSTALL_BINDIR "/quelm-check-syslog"), "-c", "down" },
      "{\"fromhost\":\"fw01\",\"message\":\"link down\"}\n");
  EXPECT_EQ(check.status, 2);
  EXPECT_EQ(check.out, "CRITICAL: fw01: link down\n");
}

TEST_F(InstallTest, SampleConfigurationGivesEveryKeyItsOwnValue)
{
  std::string sample = staged(QUELM_INSTALL_SYSCONFDIR "/quelm/receiver.conf.sample");
  std::map<std::string, std::string> entries = strictEntries(sample);
  const std::vector<std::string> required = { "LOG.log_file", "POSTGRESQL.connection_number", "POSTGRESQL.PGSQL_host",
    "POSTGRESQL.PGSQL_port", "POSTGRESQL.PGSQL_db", "POSTGRESQL.PGSQL_username", "POSTGRESQL.PGSQL_pwd", "SYSLOG.port",
    "SYSLOG.certificate", "SYSLOG.cafile", "SYSLOG.thread", "SYSLOG.plugin_timeout", "SYSLOG.verify_client",
    "SYSLOG.queue_limit" };
  for (const std::string& key : required)
    EXPECT_EQ(entries.count(key), 1u) << key << " is not set in the sample";
  EXPECT_NE(readFile(sample).find("\n#max_message_size="), std::string::npos);

  // The daemon's reader matches key text anywhere in a line: each lookup
  // must still land on the key's own line.
  IniConfig config(sample);
  for (const auto& [qualified, value] : entries) {
    std::string::size_type dot = qualified.find('.');
    EXPECT_EQ(config.getKey(qualified.substr(0, dot), qualified.substr(dot + 1)), value) << qualified;
    EXPECT_EQ(value.find_first_of(" \t\r"), std::string::npos) << qualified;
  }
}

TEST_F(InstallTest, SystemdUnitAndRsyslogConfigurationPointAtTheInstalledFiles)
{
  std::string unit = readFile(staged(QUELM_INSTALL_UNITDIR "/quelm-receiver.service"));
  ASSERT_FALSE(unit.empty());
  EXPECT_NE(unit.find("\nExecStart=" QUELM_INSTALL_BINDIR "/quelm-receiver -f " QUELM_INSTALL_SYSCONFDIR
                      "/quelm/receiver.conf\n"),
      std::string::npos)
      << unit;
  for (const char* line : { "\nType=simple\n", "\nKillSignal=SIGTERM\n", "\nRestart=on-failure\n" })
    EXPECT_NE(unit.find(line), std::string::npos) << line;
  std::string::size_type stop = unit.find("\nTimeoutStopSec=");
  ASSERT_NE(stop, std::string::npos);
  // The daemon lingers ten seconds after its workers end.
  EXPECT_GT(std::stoi(unit.substr(stop + 16)), 20);

  std::string rsyslog = readFile(staged(QUELM_INSTALL_DATADIR "/quelm/rsyslog-quelm.conf"));
  EXPECT_NE(rsyslog.find("binary=\"" QUELM_INSTALL_BINDIR "/quelm-notify "), std::string::npos) << rsyslog;
  EXPECT_EQ(unit.find('@'), std::string::npos);
  EXPECT_EQ(rsyslog.find('@'), std::string::npos);
}

} // namespace
