#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/daemon_config.h"
#include "tests/support/free_port.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;

std::string findRsyslogd()
{
  for (const char* path : { "/usr/sbin/rsyslogd", "/sbin/rsyslogd", "/usr/local/sbin/rsyslogd" }) {
    if (::access(path, X_OK) == 0)
      return path;
  }
  return "";
}

// Replaces the one occurrence of `from`; fails the test when it is missing,
// so that a changed shipped configuration is noticed here.
void replaceOnce(std::string& text, const std::string& from, const std::string& to)
{
  std::string::size_type at = text.find(from);
  ASSERT_NE(at, std::string::npos) << "not in the shipped rsyslog configuration: " << from;
  text.replace(at, from.size(), to);
}

// One syslog line over TCP, retried until rsyslog listens.
bool sendSyslogLine(int port, const std::string& line)
{
  bool sent = false;
  waitFor(20, [&] {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
      std::string framed = line + "\n";
      sent = ::send(fd, framed.data(), framed.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(framed.size());
    }
    ::close(fd);
    return sent;
  });
  return sent;
}

// Processes whose command line mentions `text` (the quelm-notify that
// rsyslog started is not our child, so it is looked up by its arguments).
int processesMentioning(const std::string& text)
{
  int count = 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr)
    return 0;
  while (dirent* entry = ::readdir(proc)) {
    std::string name = entry->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos)
      continue;
    if (readFile("/proc/" + name + "/cmdline").find(text) != std::string::npos)
      ++count;
  }
  ::closedir(proc);
  return count;
}

TEST(RsyslogForwardingTest, ShippedConfigurationPassesRsyslogCheck)
{
  std::string rsyslogd = findRsyslogd();
  if (rsyslogd.empty())
    GTEST_SKIP() << "rsyslogd not found: install the Debian package rsyslog (scripts/install-deps.sh does)";
  CommandResult result = runCommand(
      shellQuote(rsyslogd) + " -N1 -f " + shellQuote(binaryDir + "/packaging/rsyslog-quelm.conf"), "", 30);
  EXPECT_EQ(result.status, 0) << result.out << result.err;
}

// A real rsyslog receives syslog lines on loopback and hands them, through
// the shipped configuration and quelm-notify, to a running Receiver whose
// service uses the stock plugin.
TEST(RsyslogForwardingTest, SyslogLinesChangeTheServiceState)
{
  std::string rsyslogd = findRsyslogd();
  if (rsyslogd.empty())
    GTEST_SKIP() << "rsyslogd not found: install the Debian package rsyslog (scripts/install-deps.sh does)";

  TestDatabase db;
  TempDir dir;
  std::string plugin = binaryDir + "/tools/quelm-check-syslog";
  db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin + "')");
  db.exec("INSERT INTO quelm_device (device_id, device_name) VALUES (1, 'fw01')");
  db.exec("INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
          "service_parameter, service_previous_state, service_last_stdout) VALUES (1, 'fw01-syslog', 1, 1, "
          "'--severity-critical err --severity-warning warning -c \"link (down|flap)\"', 0, '')");

  int receiverPort = freeLoopbackPort();
  std::string pem = makeCertificatePem(dir, "receiver.pem", "localhost");
  std::string config = writeReceiverConfig(dir, db,
      { { "SYSLOG.port", std::to_string(receiverPort) }, { "SYSLOG.certificate", pem }, { "SYSLOG.thread", "2" } });
  std::string logPath = dir.path() + "/receiver.log";
  TestProcess receiver({ binaryDir + "/quelm-receiver", "-f", config, "-D" });
  ASSERT_TRUE(waitFor(30, [&] { return readFile(logPath).find("SYSLOG was starting....") != std::string::npos; }))
      << readFile(logPath);

  // The shipped configuration, pointed at this build, this Receiver and a
  // loopback port, with a private work directory and a diagnostics file.
  int syslogPort = freeLoopbackPort();
  std::string notifyUri = "wss://127.0.0.1:" + std::to_string(receiverPort) + "/";
  std::string rsyslogConf = readFile(binaryDir + "/packaging/rsyslog-quelm.conf");
  ASSERT_FALSE(rsyslogConf.empty());
  std::string listen = "address=\"127.0.0.1\" port=\"" + std::to_string(syslogPort) + "\"";
  replaceOnce(rsyslogConf, "input(type=\"imudp\" port=\"514\"", "input(type=\"imudp\" " + listen);
  replaceOnce(rsyslogConf, "input(type=\"imtcp\" port=\"514\"", "input(type=\"imtcp\" " + listen);
  replaceOnce(rsyslogConf, QUELM_INSTALL_BINDIR "/quelm-notify wss://127.0.0.1:6514/",
      binaryDir + "/tools/quelm-notify " + notifyUri);
  replaceOnce(rsyslogConf, "template=\"QuelmJson\"\n",
      "template=\"QuelmJson\" output=\"" + dir.path() + "/notify.out\"\n");
  ASSERT_FALSE(HasFatalFailure());
  rsyslogConf = "global(workDirectory=\"" + dir.path() + "\")\n" + rsyslogConf + "\n*.* action(type=\"omfile\" file=\""
      + dir.path() + "/rsyslog.out\")\n";
  std::string confPath = dir.write("rsyslog.conf", rsyslogConf);
  auto rsyslog = std::make_unique<TestProcess>(
      std::vector<std::string> { rsyslogd, "-n", "-f", confPath, "-i", dir.path() + "/rsyslogd.pid" });
  auto diagnostics = [&] {
    return "rsyslogd: " + rsyslog->output() + "\nrsyslog internal: " + readFile(dir.path() + "/rsyslog.out")
        + "\nquelm-notify: " + readFile(dir.path() + "/notify.out") + "\nreceiver log: " + readFile(logPath);
  };
  auto row = [&] { return db.rows("SELECT service_previous_state, service_last_stdout FROM quelm_services")[0]; };
  // The plugin's whole output line is stored, newline included.
  auto reaches = [&](const std::string& state, const std::string& output) {
    return waitFor(30, [&] {
      std::vector<std::string> now = row();
      return now[0] == state && now[1] == output + "\n";
    });
  };

  // <PRI> is facility*8 + severity: user.info, then user.warning, then
  // user.err, then user.info again.
  ASSERT_TRUE(sendSyslogLine(syslogPort, "<14>Jan  5 10:00:00 fw01 linkd: eth0 link down")) << diagnostics();
  ASSERT_TRUE(reaches("2", "CRITICAL: fw01: eth0 link down")) << ::testing::PrintToString(row()) << diagnostics();
  ASSERT_TRUE(sendSyslogLine(syslogPort, "<12>Jan  5 10:01:00 fw01 fand: fan speed high"));
  ASSERT_TRUE(reaches("1", "WARNING: fw01: fan speed high")) << ::testing::PrintToString(row()) << diagnostics();
  ASSERT_TRUE(sendSyslogLine(syslogPort, "<11>Jan  5 10:02:00 fw01 psu: \"power\" supply lost"));
  ASSERT_TRUE(reaches("2", "CRITICAL: fw01: \"power\" supply lost")) << ::testing::PrintToString(row())
                                                                     << diagnostics();
  ASSERT_TRUE(sendSyslogLine(syslogPort, "<14>Jan  5 10:03:00 fw01 linkd: eth0 link up"));
  ASSERT_TRUE(reaches("0", "OK: fw01: eth0 link up")) << ::testing::PrintToString(row()) << diagnostics();
  // Another host's lines reach the Receiver too, and leave this service be.
  ASSERT_TRUE(sendSyslogLine(syslogPort, "<11>Jan  5 10:04:00 nobody app: link down"));
  EXPECT_TRUE(waitFor(30, [&] { return readFile(logPath).find("search nobody") != std::string::npos; }));

  // rsyslog stops its quelm-notify when it stops itself.
  rsyslog->signal(SIGTERM);
  EXPECT_EQ(rsyslog->wait(30), 0) << diagnostics();
  EXPECT_TRUE(waitFor(20, [&] { return processesMentioning(notifyUri) == 0; }));
  EXPECT_EQ(row()[0], "0");
}

} // namespace
