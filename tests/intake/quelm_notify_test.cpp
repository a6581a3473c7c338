#include "core/process_state.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include "tests/support/free_port.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

CommandResult notify(const std::string& arguments, const std::string& input = "")
{
  return runCommand(shellQuote(QUELM_NOTIFY_PATH) + " " + arguments, input, 60);
}

Json::Value parsed(const std::string& text)
{
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(text);
  EXPECT_TRUE(Json::parseFromStream(builder, in, &value, &errors)) << text;
  return value;
}

bool isOneLine(const std::string& text)
{
  return !text.empty() && text.find('\n') == text.size() - 1;
}

class QuelmNotifyTest : public testing::Test {
protected:
  void SetUp() override { keyfile = makeCertificatePem(dir, "receiver.pem", "receiver-test"); }

  TempDir dir;
  LogCapture capture;
};

TEST_F(QuelmNotifyTest, MessageIsSentAsEscapedJsonAndExitsZero)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  const std::string text = "quote \" backslash \\ tab \t new\nline caf\xc3\xa9 {\"fromhost\":\"spoof\"}";
  CommandResult run = notify(uriFor(server.port()) + " --host " + shellQuote("edge-7") + " --message " + shellQuote(text));
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  auto got = server.collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].host, "edge-7");
  Json::Value payload = parsed(got[0].message);
  EXPECT_EQ(payload["fromhost"].asString(), "edge-7");
  EXPECT_EQ(payload["message"].asString(), text);
  EXPECT_EQ(payload.size(), 2u);
}

TEST_F(QuelmNotifyTest, JsonPayloadIsSentAsGiven)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  const std::string payload = R"({ "fromhost" : "fw-1", "severity": 2, "text": "x" })";
  CommandResult run = notify(uriFor(server.port(), "::1") + " --json " + shellQuote(payload) + " --timings");
  EXPECT_EQ(run.status, 0) << run.err;
  for (const char* label : { "Socket Init: ", "TLS Init: ", "Open: ", "Message: ", "Close: " })
    EXPECT_NE(run.out.find(label), std::string::npos) << label;
  auto got = server.collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].host, "fw-1");
  EXPECT_EQ(got[0].message, payload);
}

TEST_F(QuelmNotifyTest, StdinSendsEveryLineInOrder)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  std::string input;
  const int lines = 300;
  for (int i = 0; i < lines; ++i)
    input += R"({"fromhost":"log-)" + std::to_string(i % 3) + R"(","n":)" + std::to_string(i) + "}\n";
  input += R"({"fromhost":"last-without-newline"})";
  CommandResult run = notify(uriFor(server.port()) + " --stdin", input);
  EXPECT_EQ(run.status, 0) << run.err;
  auto got = server.collect(lines + 1);
  ASSERT_EQ(got.size(), static_cast<std::size_t>(lines + 1));
  for (int i = 0; i < lines; ++i) {
    EXPECT_EQ(got[i].host, "log-" + std::to_string(i % 3));
    EXPECT_EQ(parsed(got[i].message)["n"].asInt(), i);
  }
  EXPECT_EQ(got[lines].host, "last-without-newline");

  // With --host, raw lines are wrapped; empty lines are skipped.
  CommandResult wrapped = notify(uriFor(server.port()) + " --stdin --host relay", "first line\n\nsecond \"line\"\n");
  EXPECT_EQ(wrapped.status, 0) << wrapped.err;
  auto more = server.collect(2);
  ASSERT_EQ(more.size(), 2u);
  EXPECT_EQ(more[0].host, "relay");
  EXPECT_EQ(parsed(more[0].message)["message"].asString(), "first line");
  EXPECT_EQ(parsed(more[1].message)["message"].asString(), "second \"line\"");
  EXPECT_EQ(server.collect(1, 200ms).size(), 0u);
}

TEST_F(QuelmNotifyTest, RefusedConnectionFailsWithOneClearLine)
{
  CommandResult run = notify(uriFor(freeLoopbackPort()) + " --host h --message m");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(isOneLine(run.err)) << run.err;
  EXPECT_EQ(run.err.rfind("quelm-notify: cannot connect to wss://127.0.0.1:", 0), 0u) << run.err;
  EXPECT_NE(run.err.find("refused"), std::string::npos) << run.err;
}

TEST_F(QuelmNotifyTest, FailedTlsHandshakeFailsWithOneClearLine)
{
  keyfile = dir.path() + "/missing.pem";
  RunningServer server;
  ASSERT_TRUE(server.listening());
  CommandResult run = notify(uriFor(server.port()) + " --host h --message m");
  EXPECT_EQ(run.status, 1);
  EXPECT_TRUE(isOneLine(run.err)) << run.err;
  EXPECT_EQ(run.err.rfind("quelm-notify: cannot connect to ", 0), 0u) << run.err;
  EXPECT_EQ(server.queue().size(), 0u);
}

TEST_F(QuelmNotifyTest, UsageErrorsAndHelp)
{
  CommandResult help = notify("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* option : { "--host", "--message", "--json", "--stdin", "--ack", "--confirm", "--timings", "--help" })
    EXPECT_NE(help.out.find(option), std::string::npos) << option;

  for (const char* arguments : { "", "wss://127.0.0.1:1/", "wss://127.0.0.1:1/ --message m",
           "http://127.0.0.1:1/ --json {}", "wss://127.0.0.1:1/ --json {} --stdin", "wss://127.0.0.1:1/ --bogus",
           "wss://127.0.0.1:1/ --ack", "wss://127.0.0.1:1/ --confirm --json {}",
           "wss://127.0.0.1:1/ --confirm --timings" }) {
    CommandResult run = notify(arguments);
    EXPECT_EQ(run.status, 2) << arguments;
    EXPECT_TRUE(isOneLine(run.err)) << arguments << ": " << run.err;
  }
}

} // namespace
