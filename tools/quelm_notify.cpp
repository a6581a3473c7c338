// quelm-notify: sends notifications to a Receiver over secure WebSocket.

#include "client/notification_client.h"
#include "core/backoff.h"
#include "core/text.h"
#include "intake/notification.h"
#include "intake/notification_id.h"

#include <json/json.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

const char* const usageText = R"(Usage:
  quelm-notify wss://HOST:PORT/ --host NAME --message TEXT [options]
  quelm-notify wss://HOST:PORT/ --json '{"fromhost":"NAME",...}' [options]
  quelm-notify wss://HOST:PORT/ --stdin [--host NAME] [options]
  quelm-notify wss://HOST:PORT/ [wss://HOST:PORT/...] --confirm [--host NAME] [options]

Sends notifications to a Receiver over secure WebSocket (TLS 1.2). The
Receiver's certificate is verified: its chain against the system's
authorities (or --cacert), its name against the URI's host.

  --host NAME       the sending host, sent as "fromhost"
  --message TEXT    send one notification {"fromhost": NAME, "message": TEXT};
                    any text is escaped as JSON
  --json TEXT       send TEXT as the payload, unchanged
  --stdin           send each non-empty line of standard input as one
                    message: unchanged, or wrapped like --message when
                    --host is given; ends at end of input
                    A payload's "notification_id" (the same in every copy
                    of one notification, so that the Receiver applies it
                    once) is sent as it is, but an empty one is left out.
  --ack             ask the Receiver to reply to every message (WebSocket
                    subprotocol quelm.ack.v1) and wait for all the replies;
                    the exit status then tells what became of the messages
  --confirm         read standard input as --stdin does and answer every
                    line on standard output once the Receiver has replied:
                    the line protocol of rsyslog's omprog with
                    confirmMessages="on" (see below)
  --cacert FILE     verify the Receiver's certificate against the
                    authorities in this PEM file instead of the system's
  --insecure        do not verify the Receiver's certificate
  --cert FILE       present the certificate and unencrypted key in this PEM
                    file to the server (for a Receiver with verify_client=1)
  --timings         print the connection phase timings (microseconds since
                    the connection started) on standard output at the end
  --timeout SECONDS how long to wait for the connection to open and for the
                    closing handshake, and with --ack for the replies,
                    counted from the last message sent (default 10); with
                    --confirm, for the answer to each line, counted from
                    its arrival (default 8, below rsyslog's confirmTimeout)
  --verbose         show the client's progress, the library's log and each
                    reply on standard error
  --help            this text

Exit status: 0 when every message was handed over and the connection closed
normally; 1 when the connection cannot be made, the TLS handshake fails or
the server goes away (one line on standard error says which); 2 for a
usage error.

Exit status with --ack:
  0  every message was stored
  1  the connection cannot be made, the TLS handshake fails, or the Receiver
     did not select quelm.ack.v1 (it gives no replies)
  2  usage error
  3  a message was not stored and sending it again changes nothing: ignored
     (no service for its host, or no usable "fromhost"), rejected (the
     database refused it), forbidden (the sender may not report for that
     host), or larger than the Receiver takes (it closed the connection
     with code 1009: the largest message still without a reply is that one)
  4  a message may be stored if sent again: dropped (the Receiver's queue was
     full), shutdown (the Receiver stopped before handling it), no reply
     within the time-out, or the connection was lost; 4 wins over 3
  One line on standard error counts the messages not stored by reason.

Lines written with --confirm (standard output, flushed after each line):
  OK    once connected with acknowledgements, before any input is read
  OK    for an input line whose message ended for good: stored, ignored,
        rejected or forbidden; also for an empty line, which is not sent,
        and for a line larger than the Receiver takes (it closes with code
        1009: sending it again cannot help), with one line on standard
        error saying so
  A line that is not valid UTF-8 is sent with each invalid sequence
  replaced by a space, in every mode.
  ERROR: not stored (REASON)
        for an input line whose message may be stored if sent again; REASON
        is dropped, shutdown, no reply within N s, connection lost, or
        "no connection: ..." with why none could be made
  Each line is sent and answered before the next one is read; a trailing
  carriage return is removed. After a lost connection the next line
  connects again; after a failed attempt the next one waits 0.5 s, doubling
  up to 5 s, and a line that comes meanwhile gets an ERROR line at once.
  With several URIs (Receivers sharing one database), a failed attempt
  makes the next one go to the next URI, round the list; a lost connection
  is first tried again at the same URI.
  When the first connection cannot be made within the time-out, or the
  Receiver does not select quelm.ack.v1, the only line is "ERROR: cannot
  connect ..." and the exit status is 1. At end of input, after the last
  answer, the exit status is 0; 2 is a usage error.
)";

struct Options {
  std::string uri;
  // With --confirm, further Receivers to try in turn.
  std::vector<std::string> moreUris;
  std::optional<std::string> host;
  std::optional<std::string> message;
  std::optional<std::string> json;
  std::optional<std::string> certificate;
  std::string authority;
  bool insecure = false;
  bool fromStdin = false;
  bool ack = false;
  bool confirm = false;
  bool timings = false;
  bool verbose = false;
  std::optional<int> timeoutGiven;

  int timeoutSeconds() const { return timeoutGiven.value_or(confirm ? 8 : 10); }
  std::chrono::milliseconds timeout() const { return std::chrono::milliseconds(timeoutSeconds() * 1000L); }
};

int usageError(const std::string& text)
{
  std::cerr << "quelm-notify: " << text << " (see --help)" << std::endl;
  return 2;
}

int failure(const std::string& text)
{
  std::cerr << "quelm-notify: " << text << std::endl;
  return 1;
}

// The payload of one notification from a host name and free text; jsoncpp
// escapes quotes, backslashes and control characters.
std::string wrapMessage(const std::string& host, const std::string& text)
{
  Json::Value payload(Json::objectValue);
  payload["fromhost"] = host;
  payload["message"] = text;
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, payload);
}

// The payload of one line of input: wrapped with --host, sent as it is
// otherwise. A line that is not valid UTF-8 (a syslog line in Latin-1, say)
// is repaired as the Receiver repairs plugin output, each invalid sequence
// becoming a space: a WebSocket text frame must be UTF-8, and a line that
// can never be sent would hold up every line behind it. An empty
// notification_id (a template that had none to give) is left out: the
// Receiver would refuse it.
std::string payloadOf(const std::optional<std::string>& host, const std::string& line)
{
  return host ? wrapMessage(*host, validUtf8(line)) : withoutEmptyNotificationId(validUtf8(line));
}

// Returns an exit status when the command line is not usable.
std::optional<int> parseOptions(int argc, char** argv, Options& options)
{
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&]() -> std::optional<std::string> {
      if (i + 1 >= args.size())
        return std::nullopt;
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << usageText;
      return 0;
    } else if (arg == "--host" || arg == "--message" || arg == "--json" || arg == "--timeout" || arg == "--cert"
        || arg == "--cacert") {
      std::optional<std::string> given = value();
      if (!given)
        return usageError(arg + " needs a value");
      if (arg == "--host")
        options.host = *given;
      else if (arg == "--message")
        options.message = *given;
      else if (arg == "--json")
        options.json = *given;
      else if (arg == "--cert")
        options.certificate = *given;
      else if (arg == "--cacert")
        options.authority = *given;
      else {
        char* end = nullptr;
        long seconds = std::strtol(given->c_str(), &end, 10);
        if (end == given->c_str() || *end != '\0' || seconds <= 0 || seconds > 3600)
          return usageError("--timeout takes a number of seconds from 1 to 3600");
        options.timeoutGiven = static_cast<int>(seconds);
      }
    } else if (arg == "--insecure") {
      options.insecure = true;
    } else if (arg == "--stdin") {
      options.fromStdin = true;
    } else if (arg == "--ack") {
      options.ack = true;
    } else if (arg == "--confirm") {
      options.confirm = true;
    } else if (arg == "--timings") {
      options.timings = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg.rfind("--", 0) == 0) {
      return usageError("unknown option " + arg);
    } else if (options.uri.empty()) {
      options.uri = arg;
    } else if (arg.rfind("wss://", 0) == 0) {
      options.moreUris.push_back(arg);
    } else {
      return usageError("unexpected argument " + arg);
    }
  }
  if (options.uri.empty())
    return usageError("no server URI given");
  if (options.uri.rfind("wss://", 0) != 0)
    return usageError("the server URI must start with wss://");
  if (options.confirm) {
    if (options.message || options.json)
      return usageError("--confirm reads standard input: --message and --json do not apply");
    if (options.timings)
      return usageError("--confirm answers on standard output: --timings does not apply");
  } else if (!options.moreUris.empty()) {
    return usageError("several server URIs need --confirm");
  }
  if (options.confirm) {
    options.fromStdin = true;
    options.ack = true;
  }
  int sources = (options.message ? 1 : 0) + (options.json ? 1 : 0) + (options.fromStdin ? 1 : 0);
  if (sources != 1)
    return usageError("give exactly one of --message, --json and --stdin");
  if (options.message && !options.host)
    return usageError("--message needs --host");
  if (options.json && options.host)
    return usageError("--json sends its payload as given: --host does not apply");
  return std::nullopt;
}

// One line for an answer or a report, whatever a library put in its text.
std::string oneLine(std::string text)
{
  std::replace(text.begin(), text.end(), '\n', ' ');
  std::replace(text.begin(), text.end(), '\r', ' ');
  return text;
}

// Why a connection did not open, from the phase it stopped in.
std::string openFailure(const NotificationClient& client, NotificationClient::Phase phase, int timeoutSeconds)
{
  std::string reason = client.failureText();
  if (phase == NotificationClient::Phase::connecting)
    reason = "no answer within " + std::to_string(timeoutSeconds) + " s";
  else if (phase == NotificationClient::Phase::closed)
    reason = "the server closed the connection during the handshake";
  return reason.empty() ? "unknown error" : oneLine(reason);
}

void configureClient(NotificationClient& client, const Options& options, std::ostream& quiet)
{
  client.setOutput(options.verbose ? std::cerr : quiet);
  client.setLibraryLogging(options.verbose);
  if (options.certificate)
    client.setClientCertificate(*options.certificate);
  client.setServerVerification(!options.insecure, options.authority);
}

int sendAll(const Options& options)
{
  const std::chrono::milliseconds timeout = options.timeout();
  std::ostream quiet(nullptr);
  NotificationClient client(options.uri);
  configureClient(client, options, quiet);
  // The outcome is read from the client's phase; nothing ends the process
  // from the event loop thread.
  client.setCloseAction([] {});
  client.setFailAction([] {});

  client.connect();
  NotificationClient::Phase phase = client.waitOpened(timeout);
  if (phase != NotificationClient::Phase::open)
    return failure("cannot connect to " + options.uri + ": " + openFailure(client, phase, options.timeoutSeconds()));

  auto sendOne = [&](const std::string& payload) -> bool {
    try {
      client.send(payload);
      return true;
    } catch (const std::exception&) {
      return false;
    }
  };

  bool sent = true;
  if (options.message) {
    sent = sendOne(payloadOf(options.host, *options.message));
  } else if (options.json) {
    sent = sendOne(payloadOf(std::nullopt, *options.json));
  } else {
    std::string line;
    while (sent && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      if (line.empty())
        continue;
      sent = client.phase() == NotificationClient::Phase::open && sendOne(payloadOf(options.host, line));
    }
  }
  if (!sent) {
    return failure("the server went away before every message was sent");
  }

  // The server answers our close only after reading every frame sent before
  // it, so a completed closing handshake means every message was received.
  if (!client.close(websocketpp::close::status::normal, ""))
    return failure("the server went away before the connection could be closed");
  phase = client.waitFinished(timeout);
  if (options.timings)
    client.printTimings(std::cout);
  if (phase != NotificationClient::Phase::closed)
    return failure(
        "the server did not complete the closing handshake within " + std::to_string(options.timeoutSeconds()) + " s");
  if (client.remoteCloseCode() != websocketpp::close::status::normal)
    return failure("the server went away (close code " + std::to_string(client.remoteCloseCode()) + ")");
  return 0;
}

// A reply {"seq":N,"status":"WORD"}; nullopt for anything else.
std::optional<std::pair<std::uint64_t, std::string>> parseReply(const std::string& text)
{
  Json::CharReaderBuilder builder;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value value;
  std::string errors;
  if (!reader->parse(text.data(), text.data() + text.size(), &value, &errors) || !value.isObject())
    return std::nullopt;
  const Json::Value& seq = value["seq"];
  const Json::Value& status = value["status"];
  if (!seq.isUInt64() || seq.asUInt64() == 0 || !status.isString())
    return std::nullopt;
  return std::make_pair(static_cast<std::uint64_t>(seq.asUInt64()), status.asString());
}

// The outcome of a message the Receiver refused by closing the connection
// with code 1009 (message too big), which sends no reply.
const char* const tooLarge = "larger than the Receiver takes (close code 1009)";

// True when the message's handling has ended for good: sending it again
// would give the same answer. Any other word (dropped, shutdown, or one this
// tool does not know) leaves the message worth sending again.
bool isFinal(const std::string& status)
{
  return status == outcomeName(Outcome::stored) || status == outcomeName(Outcome::ignored)
      || status == outcomeName(Outcome::rejected) || status == outcomeName(Outcome::forbidden) || status == tooLarge;
}

// One connection that asked for acknowledgements, with the replies it got.
// The client's handlers run on its event loop thread; the owner sends and
// waits on its own.
class AckConnection {
public:
  enum class Opened { yes, failed, withoutAck };

  AckConnection(const Options& options, const std::string& uri)
      : verbose_(options.verbose)
      , client_(uri)
  {
    configureClient(client_, options, quiet_);
    client_.addSubprotocol(ackSubprotocol);
    auto lost = [this] {
      {
        std::lock_guard<std::mutex> guard(lock_);
        lost_ = true;
      }
      changed_.notify_all();
    };
    client_.setCloseAction(lost);
    client_.setFailAction(lost);
    client_.setReplyAction([this](const std::string& text) { onReply(text); });
  }

  // Connects, waiting until the deadline at most; why not when it failed.
  Opened open(std::chrono::steady_clock::time_point deadline, int timeoutSeconds, std::string& reason)
  {
    client_.connect();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    NotificationClient::Phase phase = client_.waitOpened(std::max(left, std::chrono::milliseconds(0)));
    if (phase != NotificationClient::Phase::open) {
      reason = openFailure(client_, phase, timeoutSeconds);
      return Opened::failed;
    }
    if (client_.selectedSubprotocol() != ackSubprotocol) {
      // Closed normally by the client's destructor.
      reason = std::string("the Receiver did not select ") + ackSubprotocol;
      return Opened::withoutAck;
    }
    return Opened::yes;
  }

  // Sends one message; its number on this connection, or 0 when the
  // connection is gone.
  std::uint64_t send(const std::string& payload)
  {
    try {
      client_.send(payload);
    } catch (const std::exception&) {
      std::lock_guard<std::mutex> guard(lock_);
      lost_ = true;
      return 0;
    }
    std::lock_guard<std::mutex> guard(lock_);
    sizes_[++sent_] = payload.size();
    return sent_;
  }

  // The status of message seq; nullopt when no reply came by the deadline or
  // the connection was lost first. Replies to earlier messages, which came
  // too late to count, are forgotten.
  std::optional<std::string> waitReply(std::uint64_t seq, std::chrono::steady_clock::time_point deadline)
  {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_until(guard, deadline, [&] { return replies_.count(seq) != 0 || lost_; });
    std::optional<std::string> status = statuses(seq, seq).front();
    replies_.erase(replies_.begin(), replies_.upper_bound(seq));
    sizes_.erase(sizes_.begin(), sizes_.upper_bound(seq));
    return status;
  }

  // Waits until the deadline at most for a reply to each of the first
  // `count` messages; their statuses, nullopt where none came.
  std::vector<std::optional<std::string>> waitReplies(
      std::uint64_t count, std::chrono::steady_clock::time_point deadline)
  {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_until(guard, deadline, [&] { return replies_.size() >= count || lost_; });
    return statuses(1, count);
  }

  bool lost()
  {
    std::lock_guard<std::mutex> guard(lock_);
    return lost_;
  }

  // Ends the connection with a closing handshake, waiting at most timeout.
  void finish(std::chrono::milliseconds timeout)
  {
    if (client_.close(websocketpp::close::status::normal, ""))
      client_.waitFinished(timeout);
  }

  NotificationClient& client() { return client_; }

private:
  // The statuses of messages first to last, lock_ held: each one's reply, or
  // nullopt. After a close with code 1009, the largest message without a
  // reply is larger than the Receiver takes, whichever one the close was
  // for: its status is tooLarge. (Taking client_'s lock under lock_ is safe:
  // the client calls nothing of ours while it holds its lock.)
  std::vector<std::optional<std::string>> statuses(std::uint64_t first, std::uint64_t last) const
  {
    const bool refused = lost_ && client_.remoteCloseCode() == websocketpp::close::status::message_too_big;
    std::size_t largest = 0;
    for (const auto& [seq, size] : sizes_)
      if (refused && replies_.count(seq) == 0)
        largest = std::max(largest, size);
    std::vector<std::optional<std::string>> found;
    for (std::uint64_t seq = first; seq <= last; ++seq) {
      auto reply = replies_.find(seq);
      auto size = sizes_.find(seq);
      if (reply != replies_.end())
        found.emplace_back(reply->second);
      else if (refused && size != sizes_.end() && size->second == largest)
        found.emplace_back(tooLarge);
      else
        found.emplace_back();
    }
    return found;
  }

  void onReply(const std::string& text)
  {
    if (verbose_)
      std::cerr << "quelm-notify: reply " << text << std::endl;
    std::optional<std::pair<std::uint64_t, std::string>> reply = parseReply(text);
    if (!reply) {
      if (verbose_)
        std::cerr << "quelm-notify: the reply above is not understood, ignored" << std::endl;
      return;
    }
    {
      std::lock_guard<std::mutex> guard(lock_);
      replies_[reply->first] = reply->second;
    }
    changed_.notify_all();
  }

  std::ostream quiet_ { nullptr };
  bool verbose_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::uint64_t, std::string> replies_;
  // The size of each message sent, until its status is taken.
  std::map<std::uint64_t, std::size_t> sizes_;
  std::uint64_t sent_ = 0;
  bool lost_ = false;
  // Last, so that it goes first: its destructor ends the event loop, whose
  // handlers use the members above.
  NotificationClient client_;
};

// --ack: 0 when every message was stored, 4 when one may be stored if sent
// again, otherwise 3.
int sendAcknowledged(const Options& options)
{
  AckConnection connection(options, options.uri);
  std::string reason;
  auto deadline = std::chrono::steady_clock::now() + options.timeout();
  if (connection.open(deadline, options.timeoutSeconds(), reason) != AckConnection::Opened::yes)
    return failure("cannot connect to " + options.uri + ": " + reason);

  std::uint64_t sent = 0;
  bool sendFailed = false;
  auto sendOne = [&](const std::string& payload) {
    if (connection.send(payload) == 0)
      sendFailed = true;
    else
      ++sent;
  };
  if (options.message) {
    sendOne(payloadOf(options.host, *options.message));
  } else if (options.json) {
    sendOne(payloadOf(std::nullopt, *options.json));
  } else {
    std::string line;
    while (!sendFailed && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      if (!line.empty())
        sendOne(payloadOf(options.host, line));
    }
  }

  std::vector<std::optional<std::string>> statuses
      = connection.waitReplies(sent, std::chrono::steady_clock::now() + options.timeout());
  bool lost = connection.lost();
  connection.finish(options.timeout());
  if (options.timings)
    connection.client().printTimings(std::cout);

  // Counted by reason, in the order of the first message with each.
  std::vector<std::pair<std::string, int>> notStored;
  bool retry = sendFailed;
  for (const std::optional<std::string>& status : statuses) {
    if (status && *status == outcomeName(Outcome::stored))
      continue;
    std::string word = status ? *status
                              : (lost ? std::string("no reply, connection lost")
                                      : "no reply within " + std::to_string(options.timeoutSeconds()) + " s");
    retry = retry || !status || !isFinal(*status);
    auto known
        = std::find_if(notStored.begin(), notStored.end(), [&](const auto& entry) { return entry.first == word; });
    if (known == notStored.end())
      notStored.emplace_back(word, 1);
    else
      ++known->second;
  }
  if (sendFailed)
    std::cerr << "quelm-notify: the connection was lost before every message was sent" << std::endl;
  if (!notStored.empty()) {
    int count = 0;
    std::string detail;
    for (const auto& entry : notStored) {
      count += entry.second;
      detail += (detail.empty() ? "" : ", ") + std::to_string(entry.second) + " " + oneLine(entry.first);
    }
    std::cerr << "quelm-notify: " << count << " of " << sent << " messages not stored: " << detail << std::endl;
  }
  if (retry)
    return 4;
  return notStored.empty() ? 0 : 3;
}

// --confirm: rsyslog's omprog confirmation protocol on standard input and
// output; see the usage text.
int confirmLines(const Options& options)
{
  using Clock = std::chrono::steady_clock;
  auto answer = [](const std::string& line) { std::cout << line << std::endl; };

  std::unique_ptr<AckConnection> connection;
  std::string reason;
  Backoff pauses(std::chrono::milliseconds(500), std::chrono::milliseconds(5000));
  Clock::time_point nextAttempt {};
  // The Receivers in turn: a failed attempt moves on to the next one.
  std::vector<std::string> uris { options.uri };
  uris.insert(uris.end(), options.moreUris.begin(), options.moreUris.end());
  std::size_t target = 0;
  auto moveOn = [&] { target = (target + 1) % uris.size(); };

  // The first connection is tried again until the time-out: a Receiver
  // started at the same time as rsyslog may not listen yet.
  Clock::time_point deadline = Clock::now() + options.timeout();
  for (;;) {
    {
      auto attempt = std::make_unique<AckConnection>(options, uris[target]);
      AckConnection::Opened opened = attempt->open(deadline, options.timeoutSeconds(), reason);
      if (opened == AckConnection::Opened::yes) {
        connection = std::move(attempt);
        break;
      }
      // Answered before the attempt goes: a connection still in its
      // handshake may take a while to close.
      if (opened == AckConnection::Opened::withoutAck || Clock::now() + pauses.current() >= deadline) {
        answer("ERROR: cannot connect to " + uris[target] + ": " + reason);
        return 1;
      }
      moveOn();
    } // a failed attempt is closed before the pause
    pauses.sleep(pauses.next());
  }
  pauses.reset();
  answer("OK");

  std::string line;
  while (std::getline(std::cin, line)) {
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    if (line.empty()) {
      answer("OK");
      continue;
    }
    Clock::time_point lineDeadline = Clock::now() + options.timeout();
    if (connection && connection->lost()) {
      // The first attempt after a loss is made at once.
      connection.reset();
      nextAttempt = Clock::now();
    }
    if (!connection) {
      if (Clock::now() < nextAttempt) {
        answer("ERROR: not stored (no connection: " + reason + ")");
        continue;
      }
      auto attempt = std::make_unique<AckConnection>(options, uris[target]);
      if (attempt->open(lineDeadline, options.timeoutSeconds(), reason) != AckConnection::Opened::yes) {
        answer("ERROR: not stored (no connection: " + reason + ")");
        moveOn();
        nextAttempt = Clock::now() + pauses.next();
        continue;
      }
      connection = std::move(attempt);
      pauses.reset();
    }
    std::uint64_t seq = connection->send(payloadOf(options.host, line));
    if (seq == 0) {
      answer("ERROR: not stored (connection lost)");
      continue;
    }
    std::optional<std::string> status = connection->waitReply(seq, lineDeadline);
    if (status == tooLarge) {
      // The Receiver can never take this line: a final answer, or it would
      // be sent again for ever, and every line behind it held up.
      std::cerr << "quelm-notify: a line of " << line.size()
                << " bytes is larger than the Receiver takes (close code 1009): not stored" << std::endl;
      answer("OK");
      continue;
    }
    if (status && isFinal(*status))
      answer("OK");
    else if (status)
      answer("ERROR: not stored (" + oneLine(*status) + ")");
    else if (connection->lost())
      answer("ERROR: not stored (connection lost)");
    else
      answer("ERROR: not stored (no reply within " + std::to_string(options.timeoutSeconds()) + " s)");
  }
  // At end of input the Receiver has answered every line: the connection
  // gets its closing handshake, within the time-out, and nothing more.
  if (connection && !connection->lost())
    connection->finish(options.timeout());
  if (connection)
    connection->client().stopLoop();
  return 0;
}

} // namespace

int main(int argc, char** argv)
{
  Options options;
  if (std::optional<int> status = parseOptions(argc, argv, options))
    return *status;
  try {
    if (options.confirm)
      return confirmLines(options);
    if (options.ack)
      return sendAcknowledged(options);
    return sendAll(options);
  } catch (const std::exception& error) {
    return failure(error.what());
  }
}
