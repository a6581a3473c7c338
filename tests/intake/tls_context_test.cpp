#include "intake/tls_context.h"

#include "core/process_state.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <boost/asio/ssl/context.hpp>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <set>
#include <sstream>

namespace {

std::vector<std::string> logMessages(const std::string& text)
{
  // Keeps the "#LEVEL#message" tail of each line.
  std::vector<std::string> messages;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::size_t mark = line.find('#');
    messages.push_back(mark == std::string::npos ? line : line.substr(mark));
  }
  return messages;
}

std::set<std::string> cipherNames(const std::shared_ptr<boost::asio::ssl::context>& context)
{
  std::set<std::string> names;
  STACK_OF(SSL_CIPHER)* ciphers = SSL_CTX_get_ciphers(context->native_handle());
  for (int i = 0; i < sk_SSL_CIPHER_num(ciphers); ++i)
    names.insert(SSL_CIPHER_get_name(sk_SSL_CIPHER_value(ciphers, i)));
  return names;
}

class TlsContextTest : public testing::Test {
protected:
  void SetUp() override
  {
    certificate = makeCertificatePem(dir, "receiver.pem", "receiver-test");
    keyfile = certificate;
    cafile = "/etc/quelm/ca.pem";
  }

  // openssl s_client against a server on loopback; the exit status is 0 only
  // when the handshake succeeded.
  CommandResult probe(int serverPort, const std::string& options)
  {
    return runCommand("openssl s_client -connect 127.0.0.1:" + std::to_string(serverPort) + " " + options, "", 20);
  }

  TempDir dir;
  std::string certificate;
};

TEST_F(TlsContextTest, GoodContextLogsItsStepsInOrder)
{
  LogCapture capture;
  auto context = enableSSLMode(1, {});
  ASSERT_NE(context, nullptr);
  std::vector<std::string> expected = { "#INFO#cafile:/etc/quelm/ca.pem", "#INFO#keyfile:" + certificate,
    "#INFO#SSL ca and key file is OK", "#INFO#SSL context OK:" };
  EXPECT_EQ(logMessages(capture.text()), expected);
  EXPECT_EQ(SSL_CTX_get_min_proto_version(context->native_handle()), TLS1_2_VERSION);
  EXPECT_EQ(SSL_CTX_get_max_proto_version(context->native_handle()), TLS1_2_VERSION);
  EXPECT_EQ(SSL_CTX_get_verify_mode(context->native_handle()), SSL_VERIFY_NONE);
}

TEST_F(TlsContextTest, ModeTwoLogsModernModeAndNarrowsTheCiphers)
{
  LogCapture capture;
  auto modern = enableSSLMode(2, {});
  std::vector<std::string> expected = { "#INFO#cafile:/etc/quelm/ca.pem", "#INFO#keyfile:" + certificate,
    "#INFO#SSL ca and key file is OK", "#INFO#modern mode", "#INFO#SSL context OK:" };
  EXPECT_EQ(logMessages(capture.text()), expected);

  auto broad = enableSSLMode(1, {});
  std::set<std::string> modernNames = cipherNames(modern);
  std::set<std::string> broadNames = cipherNames(broad);
  // Plain RSA key exchange and CAMELLIA are only in the broad list.
  for (const char* name : { "AES128-SHA256", "AES256-GCM-SHA384", "CAMELLIA128-SHA" }) {
    EXPECT_EQ(modernNames.count(name), 0u) << name;
    EXPECT_EQ(broadNames.count(name), 1u) << name;
  }
  for (const std::string& name : modernNames)
    EXPECT_EQ(broadNames.count(name), 1u) << name << " is modern but not broad";
  EXPECT_EQ(modernNames.count("ECDHE-ECDSA-AES128-GCM-SHA256"), 1u);
}

TEST_F(TlsContextTest, CipherListChoiceByMode)
{
  EXPECT_STREQ(cipherListForMode(2), modernCipherList);
  for (int mode : { -1, 0, 1, 3, 100 })
    EXPECT_STREQ(cipherListForMode(mode), broadCipherList) << mode;
  EXPECT_EQ(std::string(modernCipherList).size(), 538u);
  EXPECT_EQ(std::string(broadCipherList).size(), 714u);
}

TEST_F(TlsContextTest, BadKeyFilesAreLoggedNotThrown)
{
  const std::string cases[] = { dir.path() + "/missing.pem", makeMismatchedPem(dir, "mismatch.pem"),
    makeEncryptedCertificatePem(dir, "encrypted.pem", "locked", "kram"), dir.write("garbage.pem", "not a pem\n") };
  for (const std::string& path : cases) {
    keyfile = path;
    LogCapture capture;
    std::shared_ptr<boost::asio::ssl::context> context;
    ASSERT_NO_THROW(context = enableSSLMode(1, {})) << path;
    ASSERT_NE(context, nullptr);
    std::vector<std::string> lines = logMessages(capture.text());
    ASSERT_EQ(lines.size(), 3u) << capture.text();
    EXPECT_EQ(lines[1], "#INFO#keyfile:" + path);
    EXPECT_EQ(lines[2].rfind("#ERR#SSLException: ", 0), 0u) << lines[2];
  }
}

TEST_F(TlsContextTest, MissingFileFailsEachConnectionUntilAValidFileAppears)
{
  keyfile = dir.path() + "/later.pem";
  LogCapture capture;
  RunningServer server;
  ASSERT_TRUE(server.listening());
  for (int attempt = 0; attempt < 2; ++attempt) {
    TestClient client(uriFor(server.port()));
    EXPECT_FALSE(client.open()) << "attempt " << attempt;
  }
  std::string text = logText(capture);
  EXPECT_EQ(countOf(text, "#INFO#cafile:"), 2u);
  EXPECT_EQ(countOf(text, "#INFO#keyfile:" + keyfile), 2u);
  EXPECT_EQ(countOf(text, "#ERR#SSLException: "), 2u);

  makeCertificatePem(dir, "later.pem", "later");
  TestClient client(uriFor(server.port()));
  EXPECT_TRUE(client.open()) << client.failureText();
  client.sendText(R"({"fromhost":"after-fix"})");
  auto got = server.collect(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].host, "after-fix");
  EXPECT_EQ(countOf(logText(capture), "#ERR#SSLException: "), 2u);
}

TEST_F(TlsContextTest, ReplacedCertificateServesTheNextConnection)
{
  LogCapture capture;
  makeCertificatePem(dir, "receiver.pem", "first-cert");
  RunningServer server;
  ASSERT_TRUE(server.listening());
  CommandResult before = probe(server.port(), "-tls1_2");
  ASSERT_EQ(before.status, 0) << before.err;
  EXPECT_NE(before.out.find("CN = first-cert"), std::string::npos) << before.out;

  makeCertificatePem(dir, "receiver.pem", "second-cert");
  CommandResult after = probe(server.port(), "-tls1_2");
  ASSERT_EQ(after.status, 0) << after.err;
  EXPECT_NE(after.out.find("CN = second-cert"), std::string::npos) << after.out;
  EXPECT_EQ(after.out.find("CN = first-cert"), std::string::npos);
}

TEST_F(TlsContextTest, OnlyTls12PeersGetThrough)
{
  LogCapture capture;
  RunningServer server;
  ASSERT_TRUE(server.listening());
  CommandResult tls12 = probe(server.port(), "-tls1_2");
  EXPECT_EQ(tls12.status, 0) << tls12.err;
  EXPECT_NE(tls12.out.find("TLSv1.2"), std::string::npos);

  CommandResult tls13 = probe(server.port(), "-tls1_3");
  EXPECT_NE(tls13.status, 0) << tls13.out;
  // Security level 0 lets this client really offer TLS 1.1: the refusal is
  // the server's.
  CommandResult tls11 = probe(server.port(), "-tls1_1 -cipher 'DEFAULT:@SECLEVEL=0'");
  EXPECT_NE(tls11.status, 0) << tls11.out;
  EXPECT_NE(tls11.err.find("alert protocol version"), std::string::npos) << tls11.err;

  // A peer whose only suite is outside the lists cannot connect either.
  CommandResult foreign = probe(server.port(), "-tls1_2 -cipher 'NULL-SHA256:@SECLEVEL=0'");
  EXPECT_NE(foreign.status, 0) << foreign.out;
}

TEST_F(TlsContextTest, FirstOfferedSubprotocolIsSelected)
{
  LogCapture capture;
  RunningServer server;
  ASSERT_TRUE(server.listening());
  {
    TestClient client(uriFor(server.port()), { "quelm.notify", "syslog.v2" });
    ASSERT_TRUE(client.open()) << client.failureText();
    EXPECT_EQ(client.subprotocol(), "quelm.notify");
  }
  std::string text = logText(capture);
  EXPECT_EQ(countOf(text, "#INFO#Validate check router\n"), 1u);
  EXPECT_EQ(countOf(text, "#INFO#Requested:quelm.notify\n"), 1u);
  EXPECT_EQ(countOf(text, "Requested:syslog.v2"), 0u);

  TestClient plain(uriFor(server.port()));
  ASSERT_TRUE(plain.open()) << plain.failureText();
  EXPECT_EQ(plain.subprotocol(), "");
  EXPECT_EQ(countOf(logText(capture), "#INFO#Validate check router\n"), 2u);
  EXPECT_EQ(countOf(logText(capture), "Requested:"), 1u);
}

} // namespace
