#include "tests/intake/intake_harness.h"
#include "tests/support/command.h"
#include "tests/support/free_port.h"

#include <json/json.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::string notifyPath = QUELM_NOTIFY_PATH;

CommandResult notify(const std::vector<std::string>& arguments, const std::string& input = "")
{
  std::string command = shellQuote(notifyPath);
  for (const std::string& argument : arguments)
    command += " " + shellQuote(argument);
  return runCommand(command, input, 60);
}

// The text of a payload that quelm-notify wrapped, else the payload itself.
std::string textOf(const std::string& payload)
{
  Json::Value value;
  std::istringstream in(payload);
  bool wrapped = Json::parseFromStream(Json::CharReaderBuilder(), in, &value, nullptr) && value.isObject()
      && value.getMemberNames() == std::vector<std::string> { "fromhost", "message" };
  return wrapped ? value["message"].asString() : payload;
}

// Stands in for the workers until it goes: answers each notification with
// the outcome its text names and adds "TEXT:SEQ" to `seen`. "silent" is never
// answered; "hold" is answered `stored` when the next notification comes,
// just before that one.
struct Answerer {
  ~Answerer()
  {
    queue.stopAndWakeAll(stop);
    thread.join();
  }
  void run()
  {
    std::vector<Notification> held;
    for (queue.waitNotEmpty(stop); !stop; queue.waitNotEmpty(stop)) {
      Notification item = queue.pop();
      for (const Notification& late : std::exchange(held, {}))
        late.answer(Outcome::stored);
      std::string text = textOf(item.message);
      seen.push_back(text + ":" + std::to_string(item.seq));
      if (text == "hold")
        held.push_back(item);
      for (Outcome outcome : { Outcome::stored, Outcome::ignored, Outcome::rejected, Outcome::dropped, Outcome::shutdown, Outcome::forbidden })
        if (text == outcomeName(outcome))
          item.answer(outcome);
    }
  }

  NotificationQueue& queue;
  std::vector<std::string>& seen;
  std::atomic<bool> stop { false };
  std::thread thread { [this] { run(); } };
};

// quelm-notify --confirm fed a line at a time through a FIFO, as a log
// daemon feeds its output program; the shell opens the FIFO once it is made.
struct Confirmer {
  Confirmer(const std::string& fifo, int port)
      : process({ "/bin/sh", "-c", (mkfifo(fifo.c_str(), 0600), "exec " + shellQuote(notifyPath) + " " + uri(port) + " --confirm --host relay --timeout 2 <" + fifo) })
  {
    waitFor(10, [&] { return (input = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; });
  }
  // Writes the line, if any, and returns the next answer.
  std::string answer(const std::string* line = nullptr)
  {
    if (line && ::write(input, (*line + "\n").data(), line->size() + 1) <= 0)
      return "(not written)";
    std::string out;
    if (!waitFor(15, [&] { return (out = process.output()).find('\n', used) != std::string::npos; }))
      return "(no answer)";
    std::size_t begin = std::exchange(used, out.find('\n', used) + 1);
    return out.substr(begin, used - begin - 1);
  }
  std::string answer(const std::string& line) { return answer(&line); }

  TestProcess process;
  int input = -1;
  std::size_t used = 0;
};

struct NotifyTest : ListenerTest { };

TEST_F(NotifyTest, SendsWhatItIsGivenAndExitsWithItsStatus)
{
  RunningServer server(settings);
  const std::string to = uri(server.port()), refused = uri(freeLoopbackPort());
  const std::string text = "quote \" backslash \\ tab \t new\nline caf\xc3\xa9 {\"fromhost\":\"spoof\"}";
  const std::string json = R"({ "fromhost" : "fw-1", "severity": 2 })";
  // Arguments, standard input, exit status, and what reaches the listener.
  const std::vector<std::tuple<std::vector<std::string>, std::string, int, std::vector<std::string>>> cases = {
    { { to, "--host", "edge-7", "--message", text }, "", 0, { "edge-7 " + text } },
    { { to, "--json", json }, "", 0, { "fw-1 " + json } },
    { { to, "--stdin" }, "{\"fromhost\":\"a\"}\n\r\n{\"fromhost\":\"b\"}\r\n{\"fromhost\":\"c\"}", 0, { R"(a {"fromhost":"a"})", R"(b {"fromhost":"b"})", R"(c {"fromhost":"c"})" } },
    { { to, "--stdin", "--host", "relay" }, "first\n\nsecond \"q\"\n", 0, { "relay first", "relay second \"q\"" } },
    { { refused, "--host", "h", "--message", "m" }, "", 1, {} }, { {}, "", 2, {} }, { { to, "--message", "m" }, "", 2, {} },
    { { "http" + to.substr(3), "--json", "{}" }, "", 2, {} }, { { to, "--json", "{}", "--stdin" }, "", 2, {} },
    { { to, "--json", "{}", "--timeout", "0" }, "", 2, {} }
  };
  for (const auto& [arguments, input, status, expected] : cases) {
    CommandResult run = notify(arguments, input);
    EXPECT_EQ(run.status, status) << testing::PrintToString(arguments);
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), status == 0 ? 0 : 1) << run.err;
    std::vector<std::string> got;
    for (const Notification& item : take(server.queue, expected.size()))
      got.push_back(item.host + " " + textOf(item.message));
    EXPECT_EQ(got, expected);
  }
  EXPECT_EQ(server.queue.size(), 0u);
}

TEST_F(NotifyTest, AckExitStatusTellsWhatBecameOfTheMessages)
{
  RunningServer server(settings);
  std::vector<std::string> seen;
  Answerer answerer { server.queue, seen };
  const std::vector<std::tuple<std::string, int, std::string>> cases = { { "stored\n", 0, "" },
    { "stored\nignored\nrejected\nforbidden\n", 3, "3 of 4 messages not stored: 1 ignored, 1 rejected, 1 forbidden" },
    { "rejected\ndropped\n", 4, "2 of 2 messages not stored: 1 rejected, 1 dropped" },
    { "shutdown\n", 4, "1 of 1 messages not stored: 1 shutdown" },
    { "stored\nsilent\n", 4, "1 of 2 messages not stored: 1 no reply within 2 s" } };
  for (const auto& [input, status, error] : cases) {
    CommandResult run = notify({ uri(server.port()), "--stdin", "--host", "h", "--ack", "--timeout", "2" }, input);
    EXPECT_EQ(run.status, status) << input;
    EXPECT_EQ(run.err, error.empty() ? "" : "quelm-notify: " + error + "\n") << input;
  }
}

TEST_F(NotifyTest, ConfirmAnswersOkOnlyForFinalOutcomes)
{
  settings.port = freeLoopbackPort();
  settings.maxMessageSize = 256;
  // Started before any listener, so that it inherits none of their sockets;
  // it tries its first connection until the time-out.
  Confirmer sender(dir.path() + "/lines", settings.port);
  std::vector<std::string> seen;
  {
    RunningServer server(settings);
    Answerer answerer { server.queue, seen };
    ASSERT_EQ(sender.answer(), "OK");
    // The late `stored` for "hold" comes just before the reply to the line
    // after it; the line too long for the listener loses the connection.
    const std::string noReply = "ERROR: not stored (no reply within 2 s)", dropped = "ERROR: not stored (dropped)";
    const std::vector<std::pair<std::string, std::string>> lines = { { "stored", "OK" }, { "", "OK" }, { "ignored", "OK" },
      { "rejected", "OK" }, { "forbidden", "OK" }, { "dropped", dropped }, { "shutdown", "ERROR: not stored (shutdown)" },
      { "silent", noReply }, { "hold", noReply }, { "dropped", dropped }, { "stored\r", "OK" },
      { std::string(300, 'x'), "ERROR: not stored (connection lost)" }, { "ignored", "OK" } };
    for (const auto& [line, answer] : lines)
      EXPECT_EQ(sender.answer(line), answer) << line;
  }
  EXPECT_EQ(seen, (std::vector<std::string> { "stored:1", "ignored:2", "rejected:3", "forbidden:4", "dropped:5", "shutdown:6", "silent:7", "hold:8", "dropped:9", "stored:10", "ignored:1" }));
  // The listener is gone: the line is not confirmed.
  EXPECT_EQ(sender.answer("stored").rfind("ERROR: not stored (", 0), 0u);
  ::close(sender.input);
  EXPECT_EQ(sender.process.wait(15), 0);
}

} // namespace
