#include "intake/notification.h"
#include "intake/syslog_client.h"
#include "intake/syslog_server.h"

#include "core/process_state.h"
#include "tests/intake/intake_harness.h"
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/free_port.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string notifyPath = QUELM_NOTIFY_PATH;

std::string reply(std::uint64_t seq, const char* status)
{
  return "{\"seq\":" + std::to_string(seq) + ",\"status\":\"" + status + "\"}";
}

// The word a test payload carries: the "message" of a wrapped payload, or
// the whole payload.
std::string wordOf(const std::string& payload)
{
  Json::Value value;
  Json::CharReaderBuilder builder;
  std::string errors;
  std::istringstream in(payload);
  if (Json::parseFromStream(builder, in, &value, &errors) && value.isObject() && value["message"].isString())
    return value["message"].asString();
  return payload;
}

// Stands in for the workers: pops the server's notifications and answers
// each with the outcome its word names. "silent" is never answered; "hold"
// is answered `stored` only when the next notification arrives, just before
// that one, so that its reply comes late.
class Answerer {
public:
  explicit Answerer(ExecuteQueue<notification>& queue)
      : queue_(queue)
  {
    thread_ = std::thread([this] { run(); });
  }
  ~Answerer()
  {
    queue_.stopAndWakeAll(stop_);
    thread_.join();
  }

  std::vector<notification> seen()
  {
    std::lock_guard<std::mutex> guard(lock_);
    return seen_;
  }

private:
  void run()
  {
    std::vector<notification> held;
    while (stop_.load() == 0) {
      if (!queue_.waitNotEmptyFor(stop_, 50ms) || stop_.load() != 0)
        continue;
      notification item;
      try {
        item = queue_.pop();
      } catch (const EmptyQueueException&) {
        continue;
      }
      for (const notification& late : held)
        late.answer(Outcome::stored);
      held.clear();
      {
        std::lock_guard<std::mutex> guard(lock_);
        seen_.push_back(item);
      }
      std::string word = wordOf(item.message);
      if (word == "hold")
        held.push_back(item);
      for (Outcome outcome : { Outcome::stored, Outcome::ignored, Outcome::rejected, Outcome::dropped,
               Outcome::shutdown, Outcome::forbidden })
        if (word == outcomeName(outcome))
          item.answer(outcome);
    }
  }

  ExecuteQueue<notification>& queue_;
  std::atomic<int> stop_ { 0 };
  std::mutex lock_;
  std::vector<notification> seen_;
  std::thread thread_;
};

// A real client that keeps the server's replies.
class ReplyingClient {
public:
  explicit ReplyingClient(int port, const std::vector<std::string>& subprotocols = { ackSubprotocol })
      : client_(uriFor(port))
  {
    client_.setOutput(out_);
    client_.setLibraryLogging(false);
    client_.setCloseAction([] {});
    client_.setFailAction([] {});
    for (const std::string& value : subprotocols)
      client_.addSubprotocol(value);
    client_.setReplyAction([this](const std::string& text) {
      std::lock_guard<std::mutex> guard(lock_);
      replies_.push_back(text);
      changed_.notify_all();
    });
  }

  bool open()
  {
    client_.connect();
    return client_.waitOpened(15s) == SyslogClient::Phase::open;
  }
  void send(const std::string& host) { client_.send(R"({"fromhost":")" + host + "\"}"); }
  bool close() { return client_.close(websocketpp::close::status::normal, "") && client_.waitFinished(15s) == SyslogClient::Phase::closed; }
  std::string subprotocol() const { return client_.selectedSubprotocol(); }

  // The replies once `count` came or the time ran out, sorted: replies for
  // different notifications may come in any order.
  std::vector<std::string> replies(std::size_t count, std::chrono::milliseconds timeout = 15s)
  {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, timeout, [&] { return replies_.size() >= count; });
    std::vector<std::string> sorted = replies_;
    std::sort(sorted.begin(), sorted.end());
    return sorted;
  }

private:
  std::ostringstream out_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> replies_;
  SyslogClient client_;
};

// The notifications of one host, in queue order.
std::vector<notification> ofHost(const std::vector<notification>& items, const std::string& host)
{
  std::vector<notification> found;
  std::copy_if(items.begin(), items.end(), std::back_inserter(found),
      [&](const notification& item) { return item.host == host; });
  return found;
}

// A listener that selects no subprotocol: it never acknowledges.
void withoutAck(SyslogServer& server)
{
  server.setValidateFunction([](SyslogServer::Endpoint&, std::weak_ptr<void>) { return true; });
}

class AckListenerTest : public testing::Test {
protected:
  void SetUp() override { keyfile = makeCertificatePem(dir, "receiver.pem", "receiver-test"); }

  TempDir dir;
  LogCapture capture;
};

TEST_F(AckListenerTest, EachAcknowledgedConnectionNumbersItsOwnMessages)
{
  RunningServer server;
  ASSERT_TRUE(server.listening());
  ReplyingClient first(server.port());
  ReplyingClient second(server.port());
  ReplyingClient oneWay(server.port(), {});
  // Only the first subprotocol offered is selected.
  ReplyingClient ackOfferedSecond(server.port(), { "other.v1", ackSubprotocol });
  for (ReplyingClient* client : { &first, &second, &oneWay, &ackOfferedSecond })
    ASSERT_TRUE(client->open());
  EXPECT_EQ(first.subprotocol(), ackSubprotocol);
  EXPECT_EQ(ackOfferedSecond.subprotocol(), "other.v1");
  for (int i = 0; i < 3; ++i)
    first.send("first");
  for (int i = 0; i < 2; ++i) {
    second.send("second");
    oneWay.send("one-way");
    ackOfferedSecond.send("offered-second");
  }

  std::vector<notification> got = server.collect(9);
  ASSERT_EQ(got.size(), 9u);
  std::vector<notification> firsts = ofHost(got, "first");
  std::vector<notification> seconds = ofHost(got, "second");
  ASSERT_EQ(firsts.size(), 3u);
  ASSERT_EQ(seconds.size(), 2u);
  for (std::size_t i = 0; i < firsts.size(); ++i)
    EXPECT_EQ(firsts[i].seq, i + 1);
  for (std::size_t i = 0; i < seconds.size(); ++i)
    EXPECT_EQ(seconds[i].seq, i + 1);
  for (const char* host : { "one-way", "offered-second" })
    for (const notification& item : ofHost(got, host)) {
      EXPECT_EQ(item.replyTo, nullptr) << host;
      EXPECT_EQ(item.seq, 0u) << host;
    }

  // Answered out of order; each reply reaches its own connection only.
  firsts[2].answer(Outcome::forbidden);
  seconds[1].answer(Outcome::dropped);
  firsts[0].answer(Outcome::stored);
  seconds[0].answer(Outcome::ignored);
  firsts[1].answer(Outcome::rejected);
  for (const notification& item : got)
    if (!item.replyTo)
      item.answer(Outcome::stored);
  EXPECT_EQ(first.replies(3), (std::vector<std::string> { reply(1, "stored"), reply(2, "rejected"), reply(3, "forbidden") }));
  EXPECT_EQ(second.replies(2), (std::vector<std::string> { reply(1, "ignored"), reply(2, "dropped") }));
  EXPECT_EQ(first.replies(4, 300ms).size(), 3u) << "one reply per message";
  EXPECT_TRUE(oneWay.replies(1, 300ms).empty());
  EXPECT_TRUE(ackOfferedSecond.replies(1, 0ms).empty());
}

TEST_F(AckListenerTest, FullQueueAnswersDroppedAndClosedQueueShutdown)
{
  RunningServer server(2, 0, [](SyslogServer& s) { s.setQueueLimit(2); });
  ASSERT_TRUE(server.listening());
  ReplyingClient client(server.port());
  ASSERT_TRUE(client.open());
  for (int i = 0; i < 4; ++i)
    client.send("busy");
  EXPECT_EQ(client.replies(2), (std::vector<std::string> { reply(3, "dropped"), reply(4, "dropped") }));

  std::vector<notification> queued = server.collect(2);
  ASSERT_EQ(queued.size(), 2u);
  for (const notification& item : queued)
    item.answer(Outcome::stored);
  EXPECT_EQ(client.replies(4).size(), 4u);

  EXPECT_TRUE(server.queue().close().empty());
  client.send("late");
  std::vector<std::string> all = client.replies(5);
  EXPECT_EQ(all, (std::vector<std::string> { reply(1, "stored"), reply(2, "stored"), reply(3, "dropped"), reply(4, "dropped"), reply(5, "shutdown") }));
}

TEST_F(AckListenerTest, ReplyAfterItsConnectionOrItsServerIsGoneIsDropped)
{
  std::vector<notification> early;
  {
    RunningServer server;
    ASSERT_TRUE(server.listening());
    {
      ReplyingClient gone(server.port());
      ASSERT_TRUE(gone.open());
      gone.send("gone");
      gone.send("gone");
      early = server.collect(2);
      ASSERT_EQ(early.size(), 2u);
      EXPECT_TRUE(gone.close());
    }
    ASSERT_TRUE(server.waitConnectionCount(0));
    early[0].answer(Outcome::stored);

    // A later connection counts from 1 and never sees the old replies.
    ReplyingClient next(server.port());
    ASSERT_TRUE(next.open());
    next.send("next");
    std::vector<notification> got = server.collect(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].seq, 1u);
    got[0].answer(Outcome::stored);
    EXPECT_EQ(next.replies(1), std::vector<std::string> { reply(1, "stored") });
    early[1].answer(Outcome::rejected);
    next.send("next");
    got = server.collect(1);
    ASSERT_EQ(got.size(), 1u);
    got[0].answer(Outcome::ignored);
    EXPECT_EQ(next.replies(2), (std::vector<std::string> { reply(1, "stored"), reply(2, "ignored") }));
  }
  // The server is destroyed; a worker that finishes late must not reach it.
  early[1].answer(Outcome::stored);
}

// quelm-notify as a process; its exit status and standard error.
CommandResult notify(int port, const std::vector<std::string>& arguments, const std::string& input = "")
{
  std::string command = shellQuote(notifyPath) + " " + shellQuote(uriFor(port));
  for (const std::string& argument : arguments)
    command += " " + shellQuote(argument);
  return runCommand(command, input, 60);
}

class QuelmNotifyAckTest : public AckListenerTest { };

// Closes the connection of a message longer than this: it is lost after
// sending, unanswered.
void smallMessages(SyslogServer& server) { server.setMaxMessageSize(256); }
const std::string tooLong(300, 'x');

TEST_F(QuelmNotifyAckTest, ExitStatusTellsWhatBecameOfTheMessages)
{
  RunningServer server(2, 0, smallMessages);
  ASSERT_TRUE(server.listening());
  Answerer answerer(server.queue());
  const std::string json = R"({"fromhost":"h","message":"ignored"})";
  struct Case {
    std::vector<std::string> arguments;
    std::string input;
    int status;
    std::string error;
  };
  const std::vector<Case> cases = {
    { { "--host", "h", "--message", "stored" }, "", 0, "" },
    { { "--stdin", "--host", "h" }, "stored\n\nstored\r\nstored", 0, "" },
    { { "--json", json }, "", 3, "quelm-notify: 1 of 1 messages not stored: 1 ignored\n" },
    { { "--stdin", "--host", "h" }, "rejected\nstored\nforbidden\nrejected\n", 3,
        "quelm-notify: 3 of 4 messages not stored: 2 rejected, 1 forbidden\n" },
    { { "--stdin", "--host", "h" }, "rejected\ndropped\nstored\n", 4,
        "quelm-notify: 2 of 3 messages not stored: 1 rejected, 1 dropped\n" },
    { { "--host", "h", "--message", "shutdown" }, "", 4, "quelm-notify: 1 of 1 messages not stored: 1 shutdown\n" },
    { { "--stdin", "--host", "h" }, "stored\nsilent\n", 4,
        "quelm-notify: 1 of 2 messages not stored: 1 no reply within 2 s\n" },
    { { "--host", "h", "--message", tooLong }, "", 4,
        "quelm-notify: 1 of 1 messages not stored: 1 no reply, connection lost\n" },
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = c.arguments;
    arguments.insert(arguments.end(), { "--ack", "--timeout", "2" });
    CommandResult run = notify(server.port(), arguments, c.input);
    EXPECT_EQ(run.status, c.status) << c.arguments[0] << " " << c.input << ": " << run.err;
    EXPECT_EQ(run.err, c.error) << c.input;
  }

  CommandResult verbose = notify(server.port(), { "--host", "h", "--message", "stored", "--ack", "--verbose" });
  EXPECT_EQ(verbose.status, 0) << verbose.err;
  EXPECT_NE(verbose.err.find("quelm-notify: reply " + reply(1, "stored") + "\n"), std::string::npos) << verbose.err;
  EXPECT_EQ(verbose.out, "");

  RunningServer plain(2, 0, withoutAck);
  ASSERT_TRUE(plain.listening());
  for (int port : { plain.port(), freeLoopbackPort() }) {
    CommandResult run = notify(port, { "--host", "h", "--message", "stored", "--ack", "--timeout", "2" });
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_EQ(run.err.rfind("quelm-notify: cannot connect to ", 0), 0u) << run.err;
    if (port == plain.port()) {
      EXPECT_NE(run.err.find("did not select quelm.ack.v1"), std::string::npos) << run.err;
    }
  }
}

// quelm-notify --confirm as rsyslog runs it: lines written to its standard
// input one at a time, each answer read back before the next.
class ConfirmingSender {
public:
  explicit ConfirmingSender(const std::vector<std::string>& argv)
  {
    // A sender that died must fail the test, not kill it on the next write.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      throw std::runtime_error("pipe2 failed");
    std::vector<char*> args;
    for (const std::string& arg : argv)
      args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_ = fork();
    if (pid_ < 0)
      throw std::runtime_error("fork failed");
    if (pid_ == 0) {
      dup2(in[0], 0);
      dup2(out[1], 1);
      // The listeners' sockets are not close-on-exec: a sender that kept
      // one would hold the port of a stopped server.
      ::close_range(3, ~0U, 0);
      execv(args[0], args.data());
      _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
  }
  ~ConfirmingSender()
  {
    closeInput();
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    ::close(output_);
  }

  void write(const std::string& line)
  {
    std::string text = line + "\n";
    ASSERT_EQ(::write(input_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  }

  // The next line without its newline; nullopt at end of output or when
  // none came in time.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 15s)
  {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd fd { output_, POLLIN, 0 };
      if (left <= 0ms || poll(&fd, 1, static_cast<int>(left.count())) <= 0)
        return std::nullopt;
      char chunk[512];
      ssize_t got = read(output_, chunk, sizeof chunk);
      if (got <= 0)
        return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(got));
    }
  }

  void closeInput()
  {
    if (input_ >= 0)
      ::close(input_);
    input_ = -1;
  }

  // The exit status, or -1 when it did not exit in time.
  int wait(std::chrono::milliseconds timeout = 15s)
  {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline)
        return -1;
      std::this_thread::sleep_for(10ms);
    }
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int input_ = -1;
  int output_ = -1;
  std::string buffer_;
};

std::vector<std::string> confirmArguments(int port)
{
  return { notifyPath, uriFor(port), "--confirm", "--host", "relay", "--timeout", "2" };
}

bool isError(const std::optional<std::string>& line)
{
  return line && line->rfind("ERROR: not stored (", 0) == 0 && line->back() == ')';
}

class QuelmNotifyConfirmTest : public AckListenerTest { };

TEST_F(QuelmNotifyConfirmTest, OkOnlyForMessagesThatEndedForGood)
{
  // One I/O thread: replies leave in the order they were given.
  RunningServer server(1, 0, smallMessages);
  ASSERT_TRUE(server.listening());
  Answerer answerer(server.queue());
  ConfirmingSender sender(confirmArguments(server.port()));
  ASSERT_EQ(sender.readLine(), "OK");

  const std::string noReply = "ERROR: not stored (no reply within 2 s)";
  const std::vector<std::pair<std::string, std::string>> exchanges = {
    { "stored", "OK" },
    { "", "OK" },
    { "ignored", "OK" },
    { "rejected", "OK" },
    { "forbidden", "OK" },
    { "dropped", "ERROR: not stored (dropped)" },
    { "shutdown", "ERROR: not stored (shutdown)" },
    { "silent", noReply },
    { "hold", noReply },
    // The late `stored` for "hold" comes just before this reply.
    { "dropped", "ERROR: not stored (dropped)" },
    { "stored\r", "OK" },
    // Its connection is closed; the next line connects again.
    { tooLong, "ERROR: not stored (connection lost)" },
    { "ignored", "OK" },
  };
  std::vector<std::string> sent;
  for (const auto& [line, answer] : exchanges) {
    sender.write(line);
    EXPECT_EQ(sender.readLine(), answer) << line;
    if (!line.empty() && line != tooLong)
      sent.push_back(line == "stored\r" ? "stored" : line);
  }
  sender.closeInput();
  EXPECT_EQ(sender.wait(), 0);
  EXPECT_EQ(sender.readLine(1s), std::nullopt) << "one answer per line";

  std::vector<notification> seen = answerer.seen();
  std::vector<std::string> words;
  for (const notification& item : seen) {
    EXPECT_EQ(item.host, "relay");
    words.push_back(wordOf(item.message));
  }
  EXPECT_EQ(words, sent);
}

TEST_F(QuelmNotifyConfirmTest, ReconnectsToAReceiverStartedAgain)
{
  const int port = freeLoopbackPort();
  auto server = std::make_unique<RunningServer>(2, port);
  ASSERT_TRUE(server->listening());
  auto answerer = std::make_unique<Answerer>(server->queue());
  ConfirmingSender sender(confirmArguments(port));
  ASSERT_EQ(sender.readLine(), "OK");
  sender.write("stored");
  ASSERT_EQ(sender.readLine(), "OK");

  answerer.reset();
  server.reset();
  // Nobody listens: each line is answered at once, never confirmed.
  for (int i = 0; i < 3; ++i) {
    auto start = std::chrono::steady_clock::now();
    sender.write("stored");
    std::optional<std::string> line = sender.readLine();
    EXPECT_TRUE(isError(line)) << line.value_or("(none)");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s) << line.value_or("(none)");
  }

  server = std::make_unique<RunningServer>(2, port);
  ASSERT_TRUE(server->listening());
  answerer = std::make_unique<Answerer>(server->queue());
  // Answered with errors while the back-off lasts (5 s at most), then OK.
  std::optional<std::string> line;
  auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    sender.write("stored");
    line = sender.readLine();
    if (line == "OK")
      break;
    ASSERT_TRUE(isError(line)) << line.value_or("(none)");
    std::this_thread::sleep_for(100ms);
  }
  EXPECT_EQ(line, "OK");
  std::vector<notification> seen = answerer->seen();
  ASSERT_EQ(seen.size(), 1u) << "only the confirmed line reached the new Receiver";
  EXPECT_EQ(seen[0].seq, 1u);
  sender.closeInput();
  EXPECT_EQ(sender.wait(), 0);
}

TEST_F(QuelmNotifyConfirmTest, FirstConnectionFailureIsOneErrorLineAndStatusOne)
{
  RunningServer plain(2, 0, withoutAck);
  ASSERT_TRUE(plain.listening());
  for (int port : { freeLoopbackPort(), plain.port() }) {
    std::vector<std::string> arguments = confirmArguments(port);
    arguments.back() = "1";
    ConfirmingSender sender(arguments);
    std::optional<std::string> line = sender.readLine();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->rfind("ERROR: cannot connect to " + uriFor(port) + ": ", 0), 0u) << *line;
    if (port == plain.port()) {
      EXPECT_NE(line->find("did not select quelm.ack.v1"), std::string::npos) << *line;
    }
    EXPECT_EQ(sender.wait(), 1);
    EXPECT_EQ(sender.readLine(1s), std::nullopt);
  }
}

} // namespace
