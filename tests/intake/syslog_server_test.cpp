#include "intake/syslog_server.h"

#include "core/process_state.h"
#include "intake/syslog_exception.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/certificates.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <future>
#include <iostream>
#include <map>

namespace {

class SyslogServerTest : public testing::Test {
protected:
  void SetUp() override
  {
    keyfile = makeCertificatePem(dir, "receiver.pem", "receiver-test");
    cafile = "";
  }

  TempDir dir;
  LogCapture capture;
};

TEST_F(SyslogServerTest, MessagesAreQueuedUnderTheirHostWithThePayloadUnchanged)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  TestClient client(uriFor(server.port()));
  ASSERT_TRUE(client.open()) << client.failureText();

  const std::string plain = R"({"fromhost":"router-1","message":"Link down","severity":3})";
  const std::string spaced = "  {\n \"message\" : \"x\",\n \"fromhost\" : \"sw-2\" }\n";
  struct Sent {
    std::string payload;
    bool binary;
    std::string host;
  };
  const std::vector<Sent> sent = {
    { plain, false, "router-1" },
    { plain, true, "router-1" },
    { spaced, false, "sw-2" },
    { R"({"fromhost":42})", false, "42" },
    { R"({"fromhost":"core-3","message":"cut he)", false, "core-3" },
    { "", false, "daemonbadhost" },
    { "", true, "daemonbadhost" },
    { "<34>Oct 11 22:14:15 mymachine su: 'su root' failed", false, "daemonbadhost" },
    { R"({"message":"no host"})", false, "daemonbadhost" },
    { R"([1,2,3])", false, "daemonbadhost" },
    { R"("just a string")", true, "daemonbadhost" },
    { R"({"fromhost":{"name":"x"}})", false, "daemonbadhost" },
    { R"({"fromhost":["x","y"]})", false, "daemonbadhost" },
    { std::string("\x00\x01\xff{\"fromhost\":\"b\"}", 20), true, "daemonbadhost" },
    { R"({"fromhost":"still-alive"})", false, "still-alive" },
  };
  for (const Sent& item : sent) {
    if (item.binary)
      client.sendBinary(item.payload);
    else
      client.sendText(item.payload);
  }

  std::vector<notification> got = server.collect(sent.size());
  ASSERT_EQ(got.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    EXPECT_EQ(got[i].host, sent[i].host) << "message " << i;
    EXPECT_EQ(got[i].message, sent[i].payload) << "message " << i;
  }
  EXPECT_EQ(server.queue().size(), 0u);
  EXPECT_TRUE(client.closeNormally());
}

TEST_F(SyslogServerTest, HostilePayloadsNeverStopTheServer)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  {
    TestClient client(uriFor(server.port()));
    ASSERT_TRUE(client.open()) << client.failureText();
    client.sendText(std::string(200000, '['));
    client.sendText(R"({"fromhost":"deep","x":)" + std::string(200000, '{'));
    client.sendText(std::string(1 << 20, '"'));
    client.sendBinary(std::string(4096, '\0'));
    auto got = server.collect(4);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].host, "daemonbadhost");
    EXPECT_EQ(got[1].host, "deep");
    EXPECT_EQ(got[2].host, "daemonbadhost");
    EXPECT_EQ(got[3].host, "daemonbadhost");
  }
  TestClient after(uriFor(server.port()));
  ASSERT_TRUE(after.open()) << after.failureText();
  after.sendText(R"({"fromhost":"after"})");
  auto got = server.collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].host, "after");
}

TEST_F(SyslogServerTest, OneConnectionKeepsItsOrder)
{
  RunningServer server(4);
  ASSERT_TRUE(server.listening());
  TestClient client(uriFor(server.port()));
  ASSERT_TRUE(client.open());
  const int count = 2000;
  for (int i = 0; i < count; ++i)
    client.sendText(R"({"fromhost":"seq","n":)" + std::to_string(i) + "}");
  auto got = server.collect(count);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i)
    ASSERT_EQ(got[i].message, R"({"fromhost":"seq","n":)" + std::to_string(i) + "}");
}

TEST_F(SyslogServerTest, ManyConnectionsAtOnce)
{
  RunningServer server(10);
  ASSERT_TRUE(server.listening());
  const int clients = 16;
  const int perClient = 100;
  std::vector<std::unique_ptr<TestClient>> open;
  for (int c = 0; c < clients; ++c) {
    open.push_back(std::make_unique<TestClient>(uriFor(server.port(), c % 2 ? "::1" : "127.0.0.1")));
    ASSERT_TRUE(open.back()->open()) << "client " << c << ": " << open.back()->failureText();
  }
  EXPECT_TRUE(server.waitConnectionCount(clients));
  std::vector<std::thread> senders;
  for (int c = 0; c < clients; ++c)
    senders.emplace_back([&, c] {
      for (int i = 0; i < perClient; ++i)
        open[c]->sendText(R"({"fromhost":"host-)" + std::to_string(c) + R"(","n":)" + std::to_string(i) + "}");
    });
  for (auto& sender : senders)
    sender.join();

  auto got = server.collect(clients * perClient, 30s);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(clients * perClient));
  std::map<std::string, int> next;
  for (const notification& item : got) {
    Json::Value value;
    std::istringstream(item.message) >> value;
    ASSERT_EQ(value["n"].asInt(), next[item.host]) << item.host;
    ++next[item.host];
  }
  EXPECT_EQ(next.size(), static_cast<std::size_t>(clients));

  for (auto& client : open)
    EXPECT_TRUE(client->closeNormally());
  open.clear();
  EXPECT_TRUE(server.waitConnectionCount(0));
}

// Every close runs a read and a TLS shutdown on the same connection; with
// several I/O threads they must still take turns on its SSL object. When they
// do not, the library reports broken records ("asio.ssl" errors), record
// buffers are lost with every connection and SSL_free can crash.
TEST_F(SyslogServerTest, ClosingConnectionsOnSeveralThreadsKeepTheirTlsIntact)
{
  std::ostringstream libraryErrors;
  std::streambuf* saved = std::cerr.rdbuf(libraryErrors.rdbuf());
  struct Restore {
    std::streambuf* saved;
    ~Restore() { std::cerr.rdbuf(saved); }
  } restore { saved };

  // One connection at a time, each opened, used, closed and dropped, as a
  // sender that opens one connection per notification does.
  const int connections = 200;
  {
    RunningServer server(4);
    ASSERT_TRUE(server.listening());
    for (int c = 0; c < connections; ++c) {
      TestClient client(uriFor(server.port()));
      ASSERT_TRUE(client.open()) << "client " << c << ": " << client.failureText();
      client.sendText(R"({"fromhost":"closer","n":)" + std::to_string(c) + "}");
      EXPECT_TRUE(client.closeNormally()) << "client " << c;
    }
    EXPECT_EQ(server.collect(connections, 30s).size(), static_cast<std::size_t>(connections));
    // The server ends each TLS session after its clients left: wait for all.
    EXPECT_TRUE(server.waitConnectionCount(0, 30s));
    // Read before the server stops: stopping shuts down the connection made
    // ahead for the next accept, which never had a session, and logs it.
    std::cerr.rdbuf(saved);
  }
  std::string text = libraryErrors.str();
  EXPECT_EQ(countOf(text, "asio.ssl"), 0u) << text.substr(0, 2000);
  EXPECT_EQ(countOf(text, "TLS related error"), 0u) << text.substr(0, 2000);
}

TEST_F(SyslogServerTest, PortZeroListensOnAChosenPortForBothFamilies)
{
  RunningServer server(2, 0);
  ASSERT_TRUE(server.listening());
  EXPECT_GT(server.port(), 0);
  EXPECT_EQ(server.listenError(), "");
  for (const char* address : { "127.0.0.1", "::1" }) {
    TestClient client(uriFor(server.port(), address));
    EXPECT_TRUE(client.open()) << address << ": " << client.failureText();
  }
}

TEST_F(SyslogServerTest, SecondServerOnAUsedPortFailsWithBadListen)
{
  RunningServer first;
  ASSERT_TRUE(first.listening());
  RunningServer second(2, first.port());
  EXPECT_FALSE(second.listening());
  ASSERT_TRUE(second.waitRunReturned(10s));
  EXPECT_EQ(second.runFailure(), "bad listen");
  EXPECT_NE(second.listenError(), "");
  EXPECT_EQ(second.port(), 0);

  TestClient client(uriFor(first.port()));
  EXPECT_TRUE(client.open()) << "the first server must be untouched";
}

TEST_F(SyslogServerTest, PortOutsideTheTcpRangeIsABadListen)
{
  for (int badPort : { -1, 65536, 70000 }) {
    RunningServer server(1, badPort);
    EXPECT_FALSE(server.listening());
    ASSERT_TRUE(server.waitRunReturned(10s));
    EXPECT_EQ(server.runFailure(), "bad listen") << badPort;
  }
}

TEST_F(SyslogServerTest, StopClosesEveryConnectionWithCode1000AndRunReturns)
{
  RunningServer server(3);
  ASSERT_TRUE(server.listening());
  TestClient one(uriFor(server.port()));
  TestClient two(uriFor(server.port()));
  ASSERT_TRUE(one.open());
  ASSERT_TRUE(two.open());

  server.stop();
  EXPECT_TRUE(one.waitClosed());
  EXPECT_TRUE(two.waitClosed());
  EXPECT_EQ(one.remoteCloseCode(), 1000);
  EXPECT_EQ(two.remoteCloseCode(), 1000);
  ASSERT_TRUE(server.waitRunReturned(15s));
  EXPECT_EQ(server.runFailure(), "");
  EXPECT_EQ(server.connectionCount(), 0u);

  // Not listening any more: the library's invalid-state error, lock free.
  EXPECT_THROW(server.stop(), websocketpp::exception);
  EXPECT_THROW(server.stop(), websocketpp::exception);
  EXPECT_EQ(server.connectionCount(), 0u);
}

TEST_F(SyslogServerTest, StopBeforeRunRaisesInvalidState)
{
  ExecuteQueue<notification> queue;
  SyslogServer server(0, 1, &queue);
  EXPECT_THROW(server.stop(), websocketpp::exception);
  EXPECT_EQ(server.connectionCount(), 0u);
  EXPECT_THROW(server.stop(), websocketpp::exception);
}

TEST_F(SyslogServerTest, TraceLinesOnlyWithADebugFunction)
{
  static std::vector<std::string>* lines = nullptr;
  std::vector<std::string> seen;
  lines = &seen;
  ExecuteQueue<notification> queue;
  SyslogServer server(0, 1, &queue);
  server.Trace("dropped");
  server.setDebugFunction([](const std::string& line) { lines->push_back(line); });
  server.Trace("kept");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0], "kept");
}

// The daemon's network thread on a port already taken: one "ERR" line, the
// failure recorded for start-up, and every waiting consumer released.
TEST_F(SyslogServerTest, FailedListenStopsTheDaemonInOrder)
{
  RunningServer holder;
  ASSERT_TRUE(holder.listening());
  ExecuteQueue<notification> queue;
  executeService = &queue;
  die_quelm = 0;
  port = holder.port();
  auto consumer = std::async(std::launch::async, [&] { queue.waitNotEmpty(die_quelm); });
  EXPECT_EQ(consumer.wait_for(20ms), std::future_status::timeout);
  EXPECT_FALSE(receiverFailed());

  auto network = std::async(std::launch::async, [] { return thread_receiver(nullptr); });
  ASSERT_EQ(network.wait_for(15s), std::future_status::ready);
  EXPECT_EQ(network.get(), nullptr);
  EXPECT_TRUE(receiverFailed());
  EXPECT_EQ(die_quelm.load(), 1);
  EXPECT_EQ(consumer.wait_for(10s), std::future_status::ready);

  std::string text = logText(capture);
  EXPECT_EQ(countOf(text, "#INFO#Start server on " + std::to_string(port) + "\n"), 1u);
  EXPECT_EQ(countOf(text, "#ERR#THREAD Syslog#receiver stopped: bad listen on port " + std::to_string(port)), 1u)
      << text;
  executeService = nullptr;
  die_quelm = 0;
}

} // namespace
