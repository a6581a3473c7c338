#include "intake/http_intake.h"
#include "tests/intake/intake_harness.h"

#include <cstdio>
#include <map>
#include <set>

namespace {

std::string reply(int seq, const char* status)
{
  return R"({"seq":)" + std::to_string(seq) + R"(,"status":")" + status + "\"}";
}

// Every payload, bytes not UTF-8 (in a binary frame) included, is queued unchanged under its host; one over the size
// limit closes only its own connection.
TEST_F(ListenerTest, PayloadsAreQueuedUnchangedUnderTheirHostUnlessTooLarge)
{
  const std::string bad = "daemonbadhost", binary("\0\xff\xfe{\"fromhost\":\"x\"}", 19);
  const std::vector<std::pair<std::string, std::string>> cases = { { R"({"fromhost":"r-1","m":"down"})", "r-1" },
    { R"({"fromhost":"a","fromhost":"b"})", "b" }, { R"({"fromhost":"a","\u0066romhost":"b"})", "b" },
    { R"({"fromhost":42})", "42" }, { R"({"fromhost":true})", "true" }, { R"({"fromhost":null})", "" },
    { R"({"fromhost":"cut","m":"trunc)", "cut" },
    { R"({"a":1,"fromhost":"deep","x":)" + std::string(100000, '['), "deep" }, { R"({"m":"no host"})", bad },
    { R"({"fromhost":{"n":"x"}})", bad }, { R"({"fromhost":["x"]})", bad }, { R"(["fromhost","x"])", bad },
    { "<34>Oct 11 su: failed", bad }, { binary, bad } };
  settings.maxMessageSize = 200000;
  RunningServer server { settings };
  Sender sender(server.port()), big(server.port());
  ASSERT_TRUE(sender.connect() == Phase::open && big.connect() == Phase::open);
  big.client.send(std::string(settings.maxMessageSize + 1, ' '));
  for (const auto& [payload, host] : cases)
    sender.client.send(
        payload, payload == binary ? websocketpp::frame::opcode::binary : websocketpp::frame::opcode::text);
  EXPECT_EQ(big.client.waitFinished(10s), Phase::closed);
  EXPECT_EQ(big.client.remoteCloseCode(), 1009);
  // The hosts take turns; each host's own notifications keep their order.
  std::map<std::string, std::vector<std::string>> got, expected;
  for (const auto& [payload, host] : cases)
    expected[host].push_back(payload);
  for (const Notification& item : take(server.queue, cases.size()))
    got[item.host].push_back(item.message);
  EXPECT_EQ(got, expected);
  // A client destroyed while open closes its session rather than abandoning it to a time-out.
  auto leaving = std::make_unique<Sender>(server.port());
  ASSERT_EQ(leaving->connect(), Phase::open);
  auto leftAt = std::chrono::steady_clock::now();
  leaving.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - leftAt, 3s);
  EXPECT_EQ(server.queue.size(), 0u);
}

TEST_F(ListenerTest, AcknowledgementsAreNumberedPerConnectionAndReachOnlyIt)
{
  std::vector<Notification> got;
  {
    RunningServer server { settings };
    // Two acknowledged senders, a one-way one, one offering the subprotocol second; they send 3, 2, 1 and 1.
    const std::vector<std::vector<std::string>> offers
        = { { ackSubprotocol }, { ackSubprotocol }, {}, { "other.v1", ackSubprotocol } };
    std::vector<std::unique_ptr<Sender>> senders;
    for (std::size_t s = 0; s < offers.size(); ++s) {
      senders.push_back(std::make_unique<Sender>(server.port(), offers[s]));
      ASSERT_EQ(senders[s]->connect(), Phase::open);
      for (std::size_t i = std::min<std::size_t>(s, 2); i < 3; ++i)
        senders[s]->client.send(R"({"fromhost":")" + std::to_string(s) + "\"}");
    }
    got = take(server.queue, 7);
    ASSERT_EQ(got.size(), 7u);
    std::map<std::string, std::vector<std::uint64_t>> numbers;
    for (const Notification& item : got)
      numbers[item.host].push_back(item.seq);
    EXPECT_EQ(numbers, (decltype(numbers) { { "0", { 1, 2, 3 } }, { "1", { 1, 2 } }, { "2", { 0 } }, { "3", { 0 } } }));
    // Answered in reverse order, each with an outcome that tells its number.
    for (auto item = got.rbegin(); item != got.rend(); ++item)
      item->answer(static_cast<Outcome>(item->seq));
    EXPECT_EQ(senders[0]->sortedReplies(3),
        (std::vector<std::string> { reply(1, "ignored"), reply(2, "rejected"), reply(3, "dropped") }));
    EXPECT_EQ(senders[1]->sortedReplies(2), (std::vector<std::string> { reply(1, "ignored"), reply(2, "rejected") }));
    EXPECT_EQ(senders[0]->sortedReplies(4, 300ms).size(), 3u) << "one reply per message";
    EXPECT_TRUE(senders[2]->sortedReplies(1, 300ms).empty() && senders[3]->sortedReplies(1, 0ms).empty());
    // A reply for a closed connection is dropped and reaches no other one.
    ASSERT_TRUE(senders[0]->closeNormally());
    ASSERT_TRUE(waitFor(10, [&] { return server.server.connectionCount() == 3; }));
    got.erase(std::remove_if(got.begin(), got.end(), [](auto& item) { return item.host != "0"; }), got.end());
    got[0].answer(Outcome::stored);
    EXPECT_EQ(senders[1]->sortedReplies(3, 300ms).size(), 2u);
  }
  // The server is gone: a worker that finishes late must not reach it.
  got[1].answer(Outcome::stored);
}

// A sender that asks for replies and never reads them is not read either once its unsent replies pass the bound:
// memory stays flat, and another sender is served meanwhile.
TEST_F(ListenerTest, ASenderThatDoesNotReadItsRepliesIsNotReadEither)
{
  RunningServer server { settings };
  std::atomic<bool> stop { false };
  std::atomic<int> answered { 0 };
  std::thread answerer([&] {
    while (std::optional<NotificationQueue::Lease> item = server.queue.take(stop)) {
      item->item().answer(Outcome::stored);
      ++answered;
    }
  });
  // The handshake, then 100,000 frames a second for nine seconds (a client masks its frames; a zero mask leaves them as
  // they are), through socat with segments of 1,000 bytes (the socket's own queue then stays small, and what waits is
  // in the library's), whose output goes to a pipe that nobody reads.
  dir.write("handshake",
      "GET / HTTP/1.1\r\nHost: localhost\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: "
      "dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Protocol: quelm.ack.v1\r\n\r\n");
  dir.write("frames", repeated(std::string("\x81\x90\0\0\0\0", 6) + R"({"fromhost":"h"})", 100000));
  TestProcess deaf({ "/bin/sh", "-c",
      "(cat " + dir.path() + "/handshake; for s in 1 2 3 4 5 6 7 8 9; do sleep 1; cat " + dir.path()
          + "/frames; done; sleep 30) | socat - OPENSSL:127.0.0.1:" + std::to_string(server.port())
          + ",verify=0,mss=1000 2>/dev/null | sleep 61.25",
      "" });
  std::this_thread::sleep_for(4s);
  const long early = residentKib();
  const int answeredEarly = answered;
  std::this_thread::sleep_for(6s);
#ifdef __SANITIZE_THREAD__
  const long shadow = 6; // ThreadSanitizer's shadow memory grows with whatever the process touches
#else
  const long shadow = 1;
#endif
  EXPECT_LT(residentKib() - early, shadow * 8 * 1024) << "the unread replies grow the memory";
  EXPECT_LT(answered - answeredEarly, 100000) << "the sender is still read";
  Sender other(server.port(), { ackSubprotocol });
  ASSERT_EQ(other.connect(), Phase::open);
  other.client.send(R"({"fromhost":"other"})");
  EXPECT_EQ(other.sortedReplies(1, 3s), std::vector<std::string> { reply(1, "stored") });
  runCommand("pkill -f 'sleep 61.25'");
  server.queue.stopAndWakeAll(stop);
  answerer.join();
}

// A full queue costs the host with the most waiting: its newest notification makes room for another host's, and its own
// new ones are refused; a tie refuses the newcomer. Drops are answered and logged, the first at once, the next three a
// second later although no drop follows them.
TEST_F(ListenerTest, FullQueueDropsAreAnsweredAndLoggedAtMostOnceASecond)
{
  settings.queueLimit = 3;
  RunningServer server { settings };
  Sender sender(server.port(), { ackSubprotocol });
  ASSERT_EQ(sender.connect(), Phase::open);
  auto start = std::chrono::steady_clock::now();
  for (const char* host : { "h1", "h1", "h1", "h1", "h2", "h3", "h3" })
    sender.client.send(R"({"fromhost":")" + std::string(host) + "\"}");
  EXPECT_EQ(sender.sortedReplies(4),
      (std::vector<std::string> {
          reply(2, "dropped"), reply(3, "dropped"), reply(4, "dropped"), reply(7, "dropped") }));
  const std::string line = "#ERR#SyslogServer#queue full (3), notification from ";
  EXPECT_EQ(log.count(line), 1u);
  EXPECT_EQ(log.count(line + "h1 dropped; 1 dropped since the last report\n"), 1u);
  EXPECT_TRUE(waitFor(5, [&] { return log.count(line + "h3 dropped; 3 dropped since the last report\n") == 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(log.count(line), 2u);
  EXPECT_EQ(server.queue.hostsWaiting(), 3u);
  std::multiset<std::string> left;
  for (const Notification& item : server.queue.close())
    left.insert(item.host + ":" + std::to_string(item.seq));
  EXPECT_EQ(left, (std::multiset<std::string> { "h1:1", "h2:5", "h3:6" }));
  sender.client.send(R"({"fromhost":"late"})");
  EXPECT_EQ(sender.sortedReplies(5).back(), reply(8, "shutdown"));
}

// A listen on a port in use or out of range throws and keeps the reason; closes on four I/O threads take turns on each
// connection's SSL object (no broken records reported); stop closes what is open or opening with 1000.
TEST_F(ListenerTest, FailedListenThrowsThenConnectionsCloseIntactAndStopClosesTheRestWith1001)
{
  settings.ioThreads = 4;
  RunningServer server { settings };
  for (int port : { server.port(), -1, 65536 }) {
    settings.port = port;
    RunningServer failed { settings };
    ASSERT_EQ(failed.running.wait_for(10s), std::future_status::ready) << port;
    EXPECT_THROW(failed.running.get(), ListenError) << port;
    EXPECT_NE(failed.server.listenError(), "") << port;
  }
  for (int c = 0; c < 200; ++c)
    ASSERT_TRUE(sendOnce(server.port(), R"({"fromhost":"closer"})")) << c;
  EXPECT_EQ(take(server.queue, 200).size(), 200u);
  EXPECT_TRUE(waitFor(30, [&] { return server.server.connectionCount() == 0; }));
  std::vector<std::unique_ptr<Sender>> senders;
  for (int i = 0; i < 24; ++i)
    senders.push_back(std::make_unique<Sender>(server.port()));
  ASSERT_TRUE(senders[0]->connect() == Phase::open && senders[1]->connect() == Phase::open);
  // The other handshakes are under way while stop runs.
  for (std::size_t i = 2; i < senders.size(); ++i)
    senders[i]->client.connect();
  server.server.stop();
  EXPECT_EQ(server.running.wait_for(15s), std::future_status::ready) << "a connection was left open";
  for (std::size_t i = 0; i < senders.size(); ++i) {
    Phase phase = senders[i]->client.waitFinished(10s);
    int code = senders[i]->client.remoteCloseCode();
    EXPECT_TRUE(phase == Phase::closed ? code == 1001 : i >= 2 && phase == Phase::failed) << i;
  }
  // Read once run returned: no I/O thread writes any more.
  EXPECT_EQ(errors.count("asio.ssl") + errors.count("TLS"), 0u) << readFile(errors.path).substr(0, 2000);
}

// Each handshake reads the certificate file again; an unusable file or an uncertified sender fails only that handshake
// on the one I/O thread; an unreadable authority fails every one (fails closed).
TEST_F(ListenerTest, EachHandshakeReadsTheCertificateFileAndChecksTheSender)
{
  const std::string good = readFile(settings.tls.certificate), authority = makeAuthority(dir, "senders");
  const std::string trusted = makeSignedCertificatePem(dir, "trusted.pem", "fw1", authority);
  // The certificate file's content (empty: no file), the sender's certificate, how the handshake ends.
  const std::vector<std::tuple<std::string, std::string, Phase>> steps
      = { { "", trusted, Phase::failed }, { good, trusted, Phase::open }, { good, "", Phase::failed },
          { good, makeSignedCertificatePem(dir, "foreign.pem", "fw1", makeAuthority(dir, "strangers")), Phase::failed },
          { readFile(makeEncryptedCertificatePem(dir, "locked.pem", "locked", "secret")), trusted, Phase::failed },
          { readFile(makeCertificatePem(dir, "other.pem", "other")), trusted, Phase::open },
          { readFile(makeMismatchedPem(dir, "mismatched.pem")), trusted, Phase::failed },
          { "not a certificate\n", trusted, Phase::failed }, { good, trusted, Phase::open } };
  settings.ioThreads = 1;
  settings.tls = { dir.path() + "/live.pem", authority, true };
  RunningServer server { settings };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const auto& [content, pem, phase] = steps[i];
    content.empty() ? (void)std::remove(settings.tls.certificate.c_str()) : (void)dir.write("live.pem", content);
    EXPECT_EQ(Sender(server.port(), {}, pem).connect(), phase) << "step " << i;
  }
  EXPECT_EQ(log.count("#ERR#SSLException: "), 4u);
  EXPECT_EQ(log.count("#ERR#SyslogServer#connection refused from "), 6u);
  settings.tls.cafile = dir.path() + "/missing-ca.pem";
  RunningServer closed { settings };
  EXPECT_EQ(Sender(closed.port()).connect(), Phase::failed);
  EXPECT_EQ(Sender(closed.port(), {}, trusted).connect(), Phase::failed);
  EXPECT_EQ(log.count("#ERR#SSLException: "), 6u);
  EXPECT_EQ(log.count("#INFO#SSL ca and key file is OK"), 5u) << "once for each context made";
}

// The default profile is TLS 1.2 with the broad list; the modern one adds TLS 1.3 and leaves TLS 1.2 only its AEAD
// suites, for the WebSocket client and the HTTPS requests too.
TEST_F(ListenerTest, TheModernProfileOffersTls13AndNoCbcSuite)
{
  const std::vector<std::pair<std::string, std::string>> clients
      = { { "-tls1_3", "TLSv1.3" }, { "-tls1_2 -cipher ECDHE-ECDSA-AES128-SHA256", "TLSv1.2" },
          { "-tls1_2 -cipher ECDHE-ECDSA-AES128-GCM-SHA256", "TLSv1.2" } };
  for (bool modern : { false, true }) {
    settings.tls.profile = modern ? TlsProfile::modern : TlsProfile::standard;
    RunningServer server { settings };
    const std::string address = "127.0.0.1:" + std::to_string(server.port());
    std::string established;
    for (const auto& [options, protocol] : clients) {
      const std::string said
          = runCommand("openssl s_client -brief -no_ign_eof -connect " + address + " " + options, "", 10).err;
      established += said.find("Protocol version: " + protocol) != std::string::npos ? "1" : "0";
    }
    // The HTTPS requests share the profile.
    const std::string health = "curl -sk --tlsv1.3 -o /dev/null -w '%{http_code}' https://" + address + "/v1/health";
    established += runCommand(health, "", 10).out;
    EXPECT_EQ(established, modern ? "101200" : "011000") << (modern ? "modern" : "default");
    EXPECT_EQ(Sender(server.port()).connect(), Phase::open);
  }
}

// Rules by certificate name and host glob; unlisted names may send nothing, and without any rule everyone may.
TEST(SenderRulesTest, PatternsPerIdentity)
{
  const SenderRules rules = SenderRules::fromSection(
      { { "[SENDERS]", "" }, { "", "" }, { "branch-a ", " fw*, sw0[1-3] ,,core-?" }, { "empty", "" }, { "all", "*" } });
  EXPECT_EQ(rules.identityCount(), 3u);
  const std::vector<std::tuple<const char*, const char*, bool>> cases
      = { { "branch-a", "fw01", true }, { "branch-a", "sw02", true }, { "branch-a", "sw04", false },
          { "branch-a", "core-1", true }, { "branch-a", "core-12", false }, { "branch-a", "xfw01", false },
          { "branch-a", "", false }, { "empty", "fw01", false }, { "all", "anything.example", true },
          { "stranger", "fw01", false }, { "", "fw01", false } };
  for (const auto& [identity, host, allowed] : cases)
    EXPECT_EQ(rules.allows(identity, host), allowed) << identity << " " << host;
  EXPECT_TRUE(SenderRules::fromSection({ { "[SENDERS]", "" } }).allows("stranger", "fw01"));
}

// Beyond max_connections a new connection is closed at once while the others go on; a session idle for
// idle_timeout is closed with 1000 while a busy one stays; a TCP connection that never starts its TLS handshake is
// dropped within seconds.
TEST_F(ListenerTest, SessionLimits)
{
  settings.maxConnections = 2;
  settings.idleTimeout = 2s;
  RunningServer server { settings };
  // A session counts until its sender has closed it, not while the library still waits for its TLS shutdown.
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(sendOnce(server.port(), R"({"fromhost":"once"})")) << i;
  EXPECT_EQ(take(server.queue, 4).size(), 4u);
  Sender busy(server.port()), idle(server.port(), { ackSubprotocol }), third(server.port());
  ASSERT_TRUE(busy.connect() == Phase::open && idle.connect() == Phase::open);
  // A session waiting for its answer is not idle, however long the answer takes; its clock starts from the answer.
  idle.client.send(R"({"fromhost":"waiting"})");
  EXPECT_EQ(third.connect(), Phase::failed);
  EXPECT_EQ(server.server.refusedConnections(), 1u);
  EXPECT_EQ(log.count("#ERR#SyslogServer#max_connections (2) reached, connection from "), 1u);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 12; ++i) {
    busy.client.send(R"({"fromhost":"busy"})");
    std::this_thread::sleep_for(300ms);
  }
  EXPECT_EQ(idle.client.phase(), Phase::open) << "closed while its answer was pending";
  EXPECT_EQ(busy.client.phase(), Phase::open);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 3s);
  std::vector<Notification> taken = take(server.queue, 13);
  ASSERT_EQ(taken.size(), 13u);
  for (const Notification& item : taken)
    item.answer(Outcome::stored);
  auto answered = std::chrono::steady_clock::now();
  EXPECT_EQ(idle.sortedReplies(1), std::vector<std::string> { reply(1, "stored") });
  EXPECT_EQ(idle.client.waitFinished(5s), Phase::closed);
  EXPECT_EQ(idle.client.remoteCloseCode(), 1000);
  EXPECT_GE(std::chrono::steady_clock::now() - answered, 1500ms);
  // The idle one's place is free again.
  EXPECT_TRUE(waitFor(10, [&] { return Sender(server.port()).connect() == Phase::open; }));
  // cat ends when the Receiver closes the connection, before the command's own limit.
  auto opened = std::chrono::steady_clock::now();
  CommandResult raw = runCommand(
      "exec bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(server.port()) + " && exec cat <&3'", "", 15);
  EXPECT_EQ(raw.status, 0) << "still open";
  EXPECT_LT(std::chrono::steady_clock::now() - opened, 12s);
}

} // namespace

// Beside the WebSocket, curl over the same TLS: a batch is answered once each item has its outcome, the statuses in
// order, under the same sender rules and queue; what is not a batch, or too much of one, is refused whole and queues
// nothing; the health answer follows the database and the stop.
TEST_F(ListenerTest, HttpsBatchesAreAnsweredInOrderOnceEveryItemHasItsOutcome)
{
  const std::string authority = makeAuthority(dir, "senders");
  const std::string fw1 = makeSignedCertificatePem(dir, "fw1.pem", "fw1", authority);
  settings.tls.cafile = authority;
  settings.tls.verifyClient = true;
  settings.senders = SenderRules::fromSection({ { "fw1", "h*" } });
  settings.maxMessageSize = 300;
  settings.queueLimit = 2;
  std::atomic<bool> databaseAnswers { true };
  settings.databaseCheck = [&](const std::function<void(bool)>& answer) { answer(databaseAnswers.load()); };
  RunningServer server { settings };
  const std::string port = std::to_string(server.port());
  // "BODY|CODE|RETRY-AFTER" of one request, a POST unless the body is empty; the body is sent from a file, as is.
  auto https = [&](const std::string& body, const std::string& path = "/v1/notifications") {
    const std::string file = dir.write("body", body);
    return std::async(std::launch::async, [=] {
      CommandResult sent = runCommand("curl -sS --resolve receiver:" + port + ":127.0.0.1 --cacert "
              + shellQuote(settings.tls.certificate) + " --cert " + shellQuote(fw1)
              + " -w '|%{http_code}|%header{retry-after}' "
              + (body.empty() ? "" : "-H 'Content-Type: application/json' --data-binary @" + shellQuote(file) + " ")
              + "https://receiver:" + port + path,
          "", 20);
      return sent.out + sent.err;
    });
  };
  const std::string ok = "\n|200|", full = "\n|503|1", stopping = "\n|503|5", denied = "\n|403|";
  const std::string one = R"({"fromhost":"h1", "message":"down"})", two = R"({"message":"up","fromhost":"h2"})";
  auto single = https(" {\"fromhost\":\"h1\", \"message\":\"d\xe9own\"}\n");
  std::vector<Notification> taken = take(server.queue, 1);
  ASSERT_EQ(taken.size(), 1u);
  EXPECT_EQ(taken[0].message, R"({"fromhost":"h1", "message":"d own"})") << "the bytes sent, repaired";
  EXPECT_EQ(single.wait_for(300ms), std::future_status::timeout) << "answered before the outcome";
  taken[0].answer(Outcome::stored);
  EXPECT_EQ(single.get(), "[{\"status\":\"stored\"}]" + ok);
  // The items end in any order; the answer keeps the request's.
  auto batch = https("[" + one + "," + two + R"(,{"fromhost":"other"}])");
  taken = take(server.queue, 2);
  ASSERT_EQ(taken.size(), 2u);
  EXPECT_EQ(taken[1].message, two);
  taken[1].answer(Outcome::rejected);
  taken[0].answer(Outcome::stored);
  EXPECT_EQ(batch.get(), R"([{"status":"stored"},{"status":"rejected"},{"status":"forbidden"}])" + ok);
  // A batch is queued whole or not at all: with the queue full none of it (sent again, nothing of the first try is
  // found queued), and one larger than the limit once the queue has room.
  auto large = https("[" + one + "," + one + "," + one + "]");
  EXPECT_TRUE(waitFor(10, [&] { return server.queue.size() == 3; }));
  EXPECT_EQ(https("[" + two + "," + two + "]").get(), R"([{"status":"dropped"},{"status":"dropped"}])" + full);
  EXPECT_EQ(server.queue.size(), 3u);
  for (Notification& item : take(server.queue, 3))
    item.answer(Outcome::stored);
  EXPECT_EQ(large.get(), R"([{"status":"stored"},{"status":"stored"},{"status":"stored"}])" + ok);
  // A full queue tells the caller to send again.
  auto waiting = https("[" + one + "," + one + "]");
  EXPECT_TRUE(waitFor(10, [&] { return server.queue.size() == 2; }));
  EXPECT_EQ(https(one).get(), "[{\"status\":\"dropped\"}]" + full);
  // How a body splits and where a request goes are tables of their own; these prove that their refusals reach the
  // answer, which ends with the body when it is a list of statuses, and with the code and Retry-After always.
  const struct {
    std::string body, answer, path = "/v1/notifications";
  } refused[] = { { R"([{"fromhost":"other"},{"fromhost":"x"}])",
                      R"([{"status":"forbidden"},{"status":"forbidden"}])" + denied },
    { R"({"fromhost":"h1")", "|400|" }, { R"({"fromhost":"h1","message":")" + std::string(300, 'x') + "\"}", "|413|" },
    { std::string(httpBodyBytes + 1, ' '), "|413|" }, { "[]", "[]" + ok },
    // Refused by the scan, before a tree of millions of values is built.
    { "[0" + repeated(",0", 4000000) + "]", "|400|" },
    { R"([{"fromhost":"h1","m":[0)" + repeated(",0", httpItemValues) + "]}]", "|413|" }, { "", "|405|" },
    { "", "{\"status\":\"ok\"}" + ok, "/v1/health" },
    { "", "|411|",
        "/v1/notifications -X POST -H 'Content-Type: application/json' -H 'Transfer-Encoding: chunked' -d {}" } };
  // Whatever a refused body held, the memory it took goes back.
  const long before = residentKib();
  for (const auto& [body, answer, path] : refused) {
    const std::string got = https(body, path).get();
    EXPECT_EQ(got.substr(got.size() - std::min(got.size(), answer.size())), answer)
        << body.substr(0, 60) << " " << path;
  }
  EXPECT_LT(residentKib() - before, 8 * 1024);
  databaseAnswers = false;
  EXPECT_EQ(https("", "/v1/health").get(), "{\"status\":\"the database does not answer\"}" + stopping);
  EXPECT_EQ(server.queue.size(), 2u) << "a refused request queued something";
  // Stopping: what waits is answered "shutdown", and so is what comes later.
  for (const Notification& item : server.queue.close())
    item.answer(Outcome::shutdown);
  EXPECT_EQ(waiting.get(), R"([{"status":"shutdown"},{"status":"shutdown"}])" + stopping);
  EXPECT_EQ(https(two).get(), "[{\"status\":\"shutdown\"}]" + stopping);
  server.server.stopAccepting();
  EXPECT_EQ(server.queue.size(), 0u);
}
