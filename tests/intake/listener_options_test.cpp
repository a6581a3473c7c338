#include "intake/syslog_server.h"

#include "core/process_state.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/certificates.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

namespace {

const std::string notifyPath = QUELM_NOTIFY_PATH;

class ListenerOptionsTest : public testing::Test {
protected:
  void SetUp() override
  {
    keyfile = makeCertificatePem(dir, "receiver.pem", "receiver-test");
    cafile = "";
  }
  void TearDown() override
  {
    verifyClient = 0;
    cafile = "";
  }

  // quelm-notify as a real process; its exit status.
  int notify(int port, const std::vector<std::string>& extra)
  {
    std::vector<std::string> argv { notifyPath, uriFor(port), "--timeout", "10" };
    argv.insert(argv.end(), extra.begin(), extra.end());
    TestProcess sender(argv);
    return sender.wait(30);
  }

  TempDir dir;
  LogCapture capture;
};

TEST_F(ListenerOptionsTest, VerifyClientAcceptsOnlyCertificatesOfTheAuthority)
{
  std::string authority = makeAuthority(dir, "senders");
  std::string other = makeAuthority(dir, "strangers");
  std::string trusted = makeSignedCertificatePem(dir, "trusted.pem", "fw01", authority);
  std::string foreign = makeSignedCertificatePem(dir, "foreign.pem", "fw01", other);
  cafile = authority;
  verifyClient = 1;
  RunningServer server(2, 0, [](SyslogServer& s) { s.logFailedConnections(); });
  ASSERT_TRUE(server.listening()) << server.listenError();

  EXPECT_EQ(notify(server.port(), { "--host", "fw01", "--message", "no certificate" }), 1);
  EXPECT_EQ(notify(server.port(), { "--host", "fw01", "--message", "foreign", "--cert", foreign }), 1);
  EXPECT_EQ(notify(server.port(), { "--host", "fw01", "--message", "trusted", "--cert", trusted }), 0);

  std::vector<notification> got = server.collect(1, 10s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_NE(got[0].message.find("trusted"), std::string::npos);
  EXPECT_EQ(server.queue().size(), 0u);
  std::string log = logText(capture);
  EXPECT_EQ(countOf(log, "#ERR#SyslogServer#connection refused from "), 2u) << log;
}

TEST_F(ListenerOptionsTest, WithoutVerifyClientNoCertificateIsAsked)
{
  RunningServer server(2, 0);
  ASSERT_TRUE(server.listening()) << server.listenError();
  EXPECT_EQ(notify(server.port(), { "--host", "fw01", "--message", "plain" }), 0);
  EXPECT_EQ(server.collect(1, 10s).size(), 1u);
}

TEST_F(ListenerOptionsTest, OversizedMessageClosesOnlyItsConnection)
{
  RunningServer server(2, 0, [](SyslogServer& s) { s.setMaxMessageSize(1024); });
  ASSERT_TRUE(server.listening()) << server.listenError();
  TestClient big(uriFor(server.port()));
  TestClient small(uriFor(server.port()));
  ASSERT_TRUE(big.open());
  ASSERT_TRUE(small.open());
  big.sendText("{\"fromhost\":\"big\",\"message\":\"" + std::string(2000, 'x') + "\"}");
  ASSERT_TRUE(big.waitClosed());
  EXPECT_EQ(big.remoteCloseCode(), 1009);
  small.sendText("{\"fromhost\":\"small\",\"message\":\"" + std::string(900, 'y') + "\"}");
  std::vector<notification> got = server.collect(1, 10s);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].host, "small");
  EXPECT_TRUE(small.closeNormally());
}

TEST_F(ListenerOptionsTest, FullQueueDropsWithOneCountedLineASecond)
{
  RunningServer server(2, 0, [](SyslogServer& s) { s.setQueueLimit(3); });
  ASSERT_TRUE(server.listening()) << server.listenError();
  TestClient client(uriFor(server.port()));
  ASSERT_TRUE(client.open());
  for (int i = 0; i < 10; ++i)
    client.sendText("{\"fromhost\":\"flood" + std::to_string(i) + "\"}");
  ASSERT_TRUE(client.closeNormally());
  EXPECT_EQ(server.queue().size(), 3u);
  std::string log = logText(capture);
  // The first drop is reported at once; the six after it within the same
  // second are only counted.
  EXPECT_EQ(countOf(log, "#ERR#SyslogServer#queue full (3), notification from "), 1u) << log;
  EXPECT_NE(log.find("notification from flood3 dropped; 1 dropped since the last report"), std::string::npos) << log;

  // The six after the first line are reported a second later, although no
  // drop follows them; a later drop starts a new count.
  EXPECT_TRUE(waitFor(5, [&] {
    return logText(capture).find("notification from flood9 dropped; 6 dropped since the last report")
        != std::string::npos;
  })) << logText(capture);
  std::this_thread::sleep_for(1100ms);
  TestClient later(uriFor(server.port()));
  ASSERT_TRUE(later.open());
  later.sendText("{\"fromhost\":\"late\"}");
  ASSERT_TRUE(later.closeNormally());
  log = logText(capture);
  EXPECT_NE(log.find("notification from late dropped; 1 dropped since the last report"), std::string::npos) << log;
  EXPECT_EQ(countOf(log, "#ERR#SyslogServer#queue full (3), notification from "), 3u) << log;
  // What was queued is the oldest, in order.
  std::vector<notification> got = server.collect(3, 5s);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].host, "flood0");
  EXPECT_EQ(got[2].host, "flood2");
}

} // namespace
