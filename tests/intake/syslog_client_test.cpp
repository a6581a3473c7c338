#include "intake/syslog_client.h"

#include "core/process_state.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/certificates.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include "tests/support/free_port.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <thread>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

class SyslogClientTest : public testing::Test {
protected:
  void SetUp() override { keyfile = makeCertificatePem(dir, "receiver.pem", "receiver-test"); }

  TempDir dir;
  LogCapture capture;
};

TEST_F(SyslogClientTest, UnusableUriIsReportedWithoutConnecting)
{
  std::ostringstream out;
  SyslogClient client("not a uri");
  client.setOutput(out);
  client.setLibraryLogging(false);
  client.connect();
  EXPECT_EQ(client.phase(), SyslogClient::Phase::failed);
  EXPECT_EQ(out.str().rfind("could not create connection because: ", 0), 0u) << out.str();
  EXPECT_EQ(out.str().find("INIT SSL"), std::string::npos);
}

TEST_F(SyslogClientTest, SendBeforeOpenThrows)
{
  SyslogClient client(uriFor(freeLoopbackPort()));
  client.setLibraryLogging(false);
  EXPECT_THROW(client.send(R"({"fromhost":"early"})"), websocketpp::exception);
}

TEST_F(SyslogClientTest, HandshakePrintsItsStepsAndMessagesArrive)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  TestClient client(uriFor(server.port()));
  ASSERT_TRUE(client.open()) << client.failureText();
  EXPECT_EQ(client.output(), "INIT SSL\nEND SSL\nHEELO\n");
  client.sendText(R"({"fromhost":"client-host","message":"hi"})");
  auto got = server.collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].host, "client-host");
  EXPECT_TRUE(client.closeNormally());
  EXPECT_EQ(client.remoteCloseCode(), 1000);
}

TEST_F(SyslogClientTest, RefusedConnectionPrintsTheFailBlockAndGoesOn)
{
  std::ostringstream out;
  {
    SyslogClient client(uriFor(freeLoopbackPort()));
    client.setOutput(out);
    client.setLibraryLogging(false);
    client.setFailAction([] {});
    client.connect();
    EXPECT_EQ(client.waitOpened(15s), SyslogClient::Phase::failed);
    EXPECT_EQ(client.failureText(), "no TCP connection: Connection refused");
  }
  // The TLS context is made before the TCP connection is tried.
  std::string text = out.str();
  ASSERT_EQ(text.rfind("INIT SSL\nEND SSL\nFail handler\n", 0), 0u) << text;
  std::istringstream lines(text.substr(text.find("Fail handler")));
  std::string line;
  std::vector<std::string> block;
  while (std::getline(lines, line))
    block.push_back(line);
  ASSERT_EQ(block.size(), 7u) << out.str();
  EXPECT_EQ(block[0], "Fail handler");
  EXPECT_EQ(block[1].rfind("state: ", 0), 0u);
  EXPECT_EQ(block[3].rfind("close: ", 0), 0u);
  EXPECT_EQ(block[5].rfind("remoteclose: ", 0), 0u);
  EXPECT_NE(block[6].find(" - "), std::string::npos);
}

TEST_F(SyslogClientTest, TimingsFollowThePhases)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  std::ostringstream out;
  SyslogClient client(uriFor(server.port()));
  client.setOutput(out);
  client.setLibraryLogging(false);
  client.setCloseAction([] {});
  client.connect();
  ASSERT_EQ(client.waitOpened(15s), SyslogClient::Phase::open);
  server.stop();
  ASSERT_EQ(client.waitFinished(15s), SyslogClient::Phase::closed);
  std::ostringstream timings;
  client.printTimings(timings);
  std::istringstream lines(timings.str());
  std::map<std::string, std::string> values;
  for (const char* label : { "Socket Init: ", "TLS Init: ", "Open: ", "Message: ", "Close: " }) {
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    ASSERT_EQ(line.rfind(label, 0), 0u) << line;
    values[label] = line.substr(std::string(label).size());
  }
  EXPECT_EQ(values["Message: "], "-") << "no message came from the server";
  long long socketInit = std::stoll(values["Socket Init: "]);
  long long tlsInit = std::stoll(values["TLS Init: "]);
  long long opened = std::stoll(values["Open: "]);
  long long closed = std::stoll(values["Close: "]);
  EXPECT_GE(socketInit, 0);
  EXPECT_GE(tlsInit, 0);
  EXPECT_GE(opened, std::max(socketInit, tlsInit));
  EXPECT_GE(closed, opened);
}

// The default close action ends the process with status 1 after printing
// the timings.
TEST_F(SyslogClientTest, ServerCloseEndsTheProcessWithStatusOneByDefault)
{
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        RunningServer server;
        if (!server.listening())
          std::_Exit(5);
        SyslogClient client(uriFor(server.port()));
        client.setOutput(std::cerr);
        client.setLibraryLogging(false);
        client.connect();
        if (client.waitOpened(15s) != SyslogClient::Phase::open)
          std::_Exit(6);
        server.stop();
        // The close action ends the process from the loop thread; this wait
        // only bounds the test if it does not.
        std::this_thread::sleep_for(15s);
        std::_Exit(7);
      },
      testing::ExitedWithCode(1), "Socket Init: [0-9]+\nTLS Init: [0-9]+\nOpen: [0-9]+\nMessage: -\nClose: [0-9]+\n");
}

} // namespace
