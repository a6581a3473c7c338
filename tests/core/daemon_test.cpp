#include "tests/support/test_process.h"
#include "tests/support/daemon_config.h"

#include <gtest/gtest.h>

#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <sys/stat.h>

namespace {

const std::string daemonPath = std::string(QUELM_BINARY_DIR) + "/quelm-receiver";

size_t positionOf(const std::string& text, const std::string& part)
{
  size_t at = text.find(part);
  EXPECT_NE(at, std::string::npos) << "missing \"" << part << "\" in:\n" << text;
  return at;
}

TEST(DaemonTest, WithoutWorkersStartsAndFinishes)
{
  TestDatabase db;
  TempDir dir;
  std::string config = writeReceiverConfig(dir, db);
  TestProcess daemon({ daemonPath, "-f", config, "-D" });
  EXPECT_EQ(daemon.wait(60), 0);
  std::string log = readFile(dir.path() + "/receiver.log");
  size_t previous = 0;
  for (const char* line :
      { "#INFO#Receiver start....", "#INFO#Receiver configuration open succesful", "#INFO#QUELM Database connection ....",
          "#INFO#Connection database....", "#INFO#Connection database sucessful. Encoding: UTF8",
          "#INFO#PREPARATION REQUEST ", "#INFO#WAIT", "#INFO#Mutex INIT", "#INFO#INSTANCE CORE",
          "#INFO#SYSLOG was starting....", "#INFO#FINISH" }) {
    size_t at = positionOf(log, line);
    EXPECT_GT(at, previous) << line;
    previous = at;
  }
}

TEST(DaemonTest, MissingConfigurationFileExitsOneWithoutALog)
{
  TempDir dir;
  TestProcess daemon({ daemonPath, "-f", dir.path() + "/absent.conf" });
  EXPECT_EQ(daemon.wait(20), 1);
  EXPECT_EQ(daemon.output(), "error: can't open file\n");
  struct stat info;
  EXPECT_NE(stat((dir.path() + "/receiver.log").c_str(), &info), 0);
}

TEST(DaemonTest, DatabaseFailuresExitOneWithTheReasonInTheLog)
{
  TestDatabase db;
  TempDir dir;
  std::string config = writeReceiverConfig(dir, db, { { "POSTGRESQL.PGSQL_pwd", "wrong" } });
  TestProcess wrongPassword({ daemonPath, "-f", config });
  EXPECT_EQ(wrongPassword.wait(30), 1);
  std::string log = readFile(dir.path() + "/receiver.log");
  positionOf(log, "#INFO#Connection database....\n");
  positionOf(log, "password authentication failed");
  EXPECT_EQ(log.find("sucessful"), std::string::npos);

  TempDir other;
  config = writeReceiverConfig(other, db, { { "POSTGRESQL.connection_number", "0" } });
  TestProcess noConnection({ daemonPath, "-f", config });
  EXPECT_EQ(noConnection.wait(30), 1);
  positionOf(readFile(other.path() + "/receiver.log"), "at least one connection");

  // A product database without the error table cannot prepare or load.
  db.exec("DROP TABLE quelm_error_happen");
  TempDir third;
  config = writeReceiverConfig(third, db);
  TestProcess badSchema({ daemonPath, "-f", config });
  EXPECT_EQ(badSchema.wait(30), 1);
  positionOf(readFile(third.path() + "/receiver.log"), "prepare failed:  ");
}

TEST(DaemonTest, UnwritableLogPathIsReportedAndStartUpGoesOn)
{
  TestDatabase db;
  TempDir dir;
  std::string config = writeReceiverConfig(dir, db, { { "LOG.log_file", "/nonexistent-dir/receiver.log" } });
  TestProcess daemon({ daemonPath, "-f", config });
  EXPECT_EQ(daemon.wait(60), 0);
  EXPECT_EQ(daemon.output(), "ERROR can't open file /nonexistent-dir/receiver.log\n");
}

TEST(DaemonTest, SigtermDuringStartUpStillEndsWithFinishAndStatusZero)
{
  TestDatabase db;
  TempDir dir;
  std::string config = writeReceiverConfig(dir, db);
  TestProcess daemon({ daemonPath, "-f", config });
  std::string logPath = dir.path() + "/receiver.log";
  ASSERT_TRUE(waitFor(30, [&] { return readFile(logPath).find("#WAIT") != std::string::npos; }));
  daemon.signal(SIGTERM);
  EXPECT_EQ(daemon.wait(60), 0);
  std::string log = readFile(logPath);
  size_t stop = positionOf(log, "#INFO#stop Receiver... SIGTERM\n");
  size_t finish = positionOf(log, "#INFO#FINISH\n");
  EXPECT_LT(stop, finish);
  EXPECT_EQ(log.size(), finish + std::string("#INFO#FINISH\n").size());
}

} // namespace

namespace {

TEST(DaemonTest, FailedListenStopsInOrderWithStatusOne)
{
  // Hold the port the daemon is told to use.
  int holder = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(holder, 0);
  int off = 0;
  setsockopt(holder, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
  sockaddr_in6 address {};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_any;
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(holder, 1), 0);
  socklen_t length = sizeof address;
  getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length);
  int busyPort = ntohs(address.sin6_port);

  TestDatabase db;
  TempDir dir;
  std::string config = writeReceiverConfig(dir, db, { { "SYSLOG.port", std::to_string(busyPort) }, { "SYSLOG.thread", "2" } });
  TestProcess daemon({ daemonPath, "-f", config });
  EXPECT_EQ(daemon.wait(60), 1);
  ::close(holder);
  std::string log = readFile(dir.path() + "/receiver.log");
  positionOf(log, "#ERR#");
  positionOf(log, "bad listen");
  // Both workers ended before the process did.
  size_t ends = 0;
  for (size_t at = log.find("\tfin thread: "); at != std::string::npos; at = log.find("\tfin thread: ", at + 1))
    ++ends;
  EXPECT_EQ(ends, 2u) << log;
}

} // namespace
