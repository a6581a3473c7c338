#include "tests/intake/intake_harness.h"
#include "tests/support/free_port.h"

#include <json/json.h>

#include <regex>

namespace {

const std::string notifyPath = QUELM_NOTIFY_PATH;

// The text of a payload that quelm-notify wrapped, else the payload itself.
std::string textOf(const std::string& payload)
{
  Json::Value value;
  std::istringstream in(payload);
  bool wrapped = Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr) && value.isObject()
      && value.getMemberNames() == std::vector<std::string> { "fromhost", "message" };
  return wrapped ? value["message"].asString() : payload;
}

// Stands in for the workers: answers each notification with the outcome its text names and notes "TEXT:SEQ"; "silent"
// is never answered, "hold" is answered stored just before the next one, "quit" stops the listener.
struct Answerer {
  ~Answerer()
  {
    server.queue.stopAndWakeAll(stop);
    thread.join();
  }

  RunningServer& server;
  std::string& seen;
  std::atomic<bool> stop { false };
  std::thread thread { [this] {
    std::vector<Notification> held;
    while (std::optional<NotificationQueue::Lease> taken = server.queue.take(stop)) {
      Notification item = std::move(taken->item());
      taken.reset();
      for (const Notification& late : std::exchange(held, {}))
        late.answer(Outcome::stored);
      std::string text = textOf(item.message);
      seen += text + ":" + std::to_string(item.seq) + " ";
      if (text == "hold")
        held.push_back(item);
      if (text == "quit")
        server.server.stop();
      const std::string word = text.substr(0, text.find_last_not_of(' ') + 1);
      for (int outcome = 0; outcome <= static_cast<int>(Outcome::forbidden); ++outcome)
        if (word == outcomeName(Outcome(outcome)))
          item.answer(Outcome(outcome));
    }
  } };
};

// quelm-notify run against the listener, whose self-signed certificate is the authority it verifies against.
struct NotifyTest : ListenerTest {
  CommandResult notify(const std::vector<std::string>& arguments, const std::string& input = "")
  {
    std::string command = shellQuote(notifyPath) + " --cacert " + shellQuote(settings.tls.certificate);
    for (const std::string& argument : arguments)
      command += " " + shellQuote(argument);
    return runCommand(command, input, 60);
  }
};

TEST_F(NotifyTest, SendsWhatItIsGivenAndExitsWithItsStatus)
{
  settings.maxMessageSize = 256;
  RunningServer server { settings };
  const std::string to = uri(server.port()), refused = uri(freeLoopbackPort());
  const std::string text = "quote \" backslash \\ tab \t new\nline caf\xc3\xa9 {\"fromhost\":\"spoof\"}";
  const std::string json = R"({ "fromhost" : "fw-1", "severity": 2 })";
  // A Receiver whose certificate another authority signed, or that is reached under a name its certificate does not
  // carry, is not sent anything unless told --insecure.
  const std::string foreign = makeAuthority(dir, "foreign"),
                    elsewhere = "wss://127.0.0.2:" + std::to_string(server.port()) + "/";
  // Arguments, standard input, exit status, and what reaches the listener.
  const std::vector<std::tuple<std::vector<std::string>, std::string, int, std::vector<std::string>>> cases = {
    { { to, "--host", "edge-7", "--message", text }, "", 0, { "edge-7 " + text } },
    { { to, "--json", json }, "", 0, { "fw-1 " + json } },
    { { to, "--stdin" }, "{\"fromhost\":\"a\"}\n\r\n{\"fromhost\":\"b\"}\r\n{\"fromhost\":\"c\"}", 0,
        { R"(a {"fromhost":"a"})", R"(b {"fromhost":"b"})", R"(c {"fromhost":"c"})" } },
    { { to, "--stdin", "--host", "relay" }, "first\n\nsecond \"q\"\n", 0, { "relay first", "relay second \"q\"" } },
    { { refused, "--host", "h", "--message", "m" }, "", 1, {} }, { {}, "", 2, {} },
    { { to, "--message", "m" }, "", 2, {} }, { { "http" + to.substr(3), "--json", "{}" }, "", 2, {} },
    { { to, "--json", "{}", "--stdin" }, "", 2, {} }, { { to, "--json", "{}", "--timeout", "0" }, "", 2, {} },
    { { to, refused, "--json", "{}" }, "", 2, {} },
    { { "--cacert", foreign, to, "--host", "h", "--message", "m" }, "", 1, {} },
    { { "--insecure", "--cacert", foreign, to, "--host", "h", "--message", "m" }, "", 0, { "h m" } },
    { { elsewhere, "--host", "h", "--message", "m" }, "", 1, {} },
    { { "--insecure", elsewhere, "--host", "h", "--message", "m" }, "", 0, { "h m" } }
  };
  for (const auto& [arguments, input, status, expected] : cases) {
    CommandResult run = notify(arguments, input);
    EXPECT_EQ(run.status, status) << testing::PrintToString(arguments);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), status == 0 ? 0 : 1) << run.err;
    const bool unverified = status == 1 && (arguments[0] == elsewhere || arguments[1] == foreign);
    EXPECT_EQ(run.err.find("cannot verify the Receiver's certificate: ") != std::string::npos, unverified) << run.err;
    std::vector<std::string> got;
    for (const Notification& item : take(server.queue, expected.size()))
      got.push_back(item.host + " " + textOf(item.message));
    EXPECT_EQ(got, expected);
  }
  EXPECT_EQ(server.queue.size(), 0u);
  EXPECT_EQ(notify({ to, "--confirm", "--host", "h", "--message", "m" }).err,
      "quelm-notify: --confirm reads standard input: --message and --json do not apply (see --help)\n");
  // Without a first connection, --confirm's one answer comes within its time-out.
  const auto began = std::chrono::steady_clock::now();
  CommandResult unreachable = notify({ refused, "--confirm", "--timeout", "1" });
  EXPECT_LT(std::chrono::steady_clock::now() - began, 2s);
  EXPECT_EQ(unreachable.out, "ERROR: cannot connect to " + refused + ": no TCP connection: Connection refused\n");
  EXPECT_EQ(unreachable.status, 1);
  // With --ack the status tells what became of the messages; the listener's close with code 1009 refuses the largest
  // message without a reply for good, and leaves the others unknown.
  const std::string large = std::string(300, 'x') + "\n",
                    refusedForGood = "larger than the Receiver takes (close code 1009)";
  std::string seen;
  Answerer answerer { server, seen };
  const std::vector<std::tuple<std::string, int, std::string>> acks = { { "stored\n", 0, "" },
    { "stored\nignored\nrejected\nforbidden\n", 3, "3 of 4 messages not stored: 1 ignored, 1 rejected, 1 forbidden" },
    { "rejected\ndropped\n", 4, "2 of 2 messages not stored: 1 rejected, 1 dropped" },
    { "shutdown\n", 4, "1 of 1 messages not stored: 1 shutdown" },
    { "stored\nsilent\n", 4, "1 of 2 messages not stored: 1 no reply within 2 s" },
    { large, 3, "1 of 1 messages not stored: 1 " + refusedForGood },
    { "silent\n" + large, 4, "2 of 2 messages not stored: 1 no reply, connection lost, 1 " + refusedForGood } };
  for (const auto& [input, status, error] : acks) {
    CommandResult run = notify({ to, "--stdin", "--host", "h", "--ack", "--timeout", "2" }, input);
    EXPECT_EQ(run.status, status) << input;
    EXPECT_EQ(run.err, error.empty() ? "" : "quelm-notify: " + error + "\n") << input;
  }
}

// One answer a line, in order, OK only for a final outcome or an empty line: never for a late reply, or a line sent as
// the listener stops or once it is gone. A line too long for the listener can never be taken: it is answered OK once,
// with a line on standard error, and the lines behind it go on; a line that is not UTF-8 is repaired and sent.
TEST_F(NotifyTest, ConfirmAnswersOkOnlyForFinalOutcomes)
{
  settings.port = freeLoopbackPort();
  settings.maxMessageSize = 256;
  const std::string noReply = "ERROR: not stored (no reply within 2 s)", dropped = "ERROR: not stored (dropped)";
  const std::vector<std::pair<std::string, std::string>> lines
      = { { "stored", "OK" }, { "", "OK" }, { "ignored", "OK" }, { "rejected", "OK" }, { "forbidden", "OK" },
          { "dropped", dropped }, { "shutdown", "ERROR: not stored (shutdown)" }, { "silent", noReply },
          { "hold", noReply }, { "dropped", dropped }, { "stored\r", "OK" },
          { std::string(300, 'x'),
              "quelm-notify: a line of 300 bytes is larger than the Receiver takes (close code 1009): not stored\nOK" },
          { "ignored\xe9", "OK" }, { "ignored", "OK" } };
  std::string input, answers = "OK\n"; // the first once connected
  for (const auto& [line, answer] : lines)
    input += line + "\n", answers += answer + "\n";
  // Started first so that it inherits no socket of the listener; it tries to connect until the time-out (2 s), first
  // to a port where nothing listens, then to the listener.
  TestProcess sender({ notifyPath, uri(freeLoopbackPort()), uri(settings.port), "--cacert", settings.tls.certificate,
                         "--confirm", "--host", "relay", "--timeout", "2" },
      input + "quit\nstored\n");
  std::string seen;
  {
    RunningServer server { settings };
    Answerer answerer { server, seen };
    EXPECT_EQ(sender.wait(60), 0);
  }
  std::string out = sender.output();
  EXPECT_EQ(out.substr(0, answers.size()), answers);
  // As the listener stops, timing decides why the last two lines fail and whether "stored" reaches it.
  EXPECT_TRUE(std::regex_match(out.substr(answers.size()), std::regex("(ERROR: not stored \\([^\n]+\\)\n){2}"))) << out;
  const std::string sent = "stored:1 ignored:2 rejected:3 forbidden:4 dropped:5 shutdown:6 silent:7 hold:8 dropped:9 "
                           "stored:10 ignored :1 ignored:2 quit:3 ";
  EXPECT_EQ(seen.substr(0, sent.size()), sent);
}

} // namespace
