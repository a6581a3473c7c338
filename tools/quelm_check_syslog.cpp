// quelm-check-syslog: the stock plugin for syslog services. Reads one
// notification (a JSON object) on standard input and answers OK, WARNING or
// CRITICAL from the message's syslog severity and regular expressions.
// Started by the daemon as a persistent plugin, it answers one request line
// after another with the same judgement.

#include <cctype>
#include <json/json.h>

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

const char* const usageText = R"(Usage: quelm-check-syslog [options]

Reads one notification, a JSON object such as
  {"fromhost":"fw01","message":"link down","severity":3}
on standard input and prints one line, "STATE: HOST: MESSAGE", on standard
output. The exit status is the state: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.

Thresholds (at least one is required; each option may be repeated):
  -c, --critical REGEX        CRITICAL when the message matches REGEX
  -w, --warning REGEX         WARNING when the message matches REGEX
  --severity-critical LEVEL   CRITICAL when the severity is LEVEL or more
                              severe (a lower number)
  --severity-warning LEVEL    WARNING when the severity is LEVEL or more severe
CRITICAL wins over WARNING; a message that triggers neither is OK.

Input:
  --message-key KEY     key of the message text (default "message")
  --severity-key KEY    key of the syslog severity (default "severity")
  --host-key KEY        key of the sending host, shown in the output
                        (default "fromhost"; may be absent)
  -i, --ignore-case     match the expressions without regard to case (ASCII)
  --length N            longest message text shown in the output, in bytes
                        (default 200, from 20 to 4000)
  --timeout SECONDS     give up with UNKNOWN after SECONDS (default 10)
  --help                this text

Severities are syslog levels: a number 0 to 7 (as a JSON number or text) or
a name: emerg (or panic) 0, alert 1, crit 2, err (or error) 3, warning (or
warn) 4, notice 5, info 6, debug 7; names ignore case. LEVEL in the options
takes the same forms. The severity key is only needed when a severity
threshold is given.

Expressions are ECMAScript regular expressions (as in JavaScript), searched
anywhere in the message; only the first 64 KiB of the message are searched.
Options also take the form --option=VALUE.

UNKNOWN (3) with one line explaining why: a bad option or expression, input
that is not a JSON object, a missing or unreadable key, input larger than
4 MiB, or no answer within the time-out.

With QUELM_PLUGIN_PROTOCOL=1 in the environment and no arguments, it serves
the daemon's persistent-plugin protocol: one request line
  {"seq":N,"args":[OPTIONS...],"input":"NOTIFICATION"}
per notification on standard input, one reply line
  {"output":"STATE: HOST: MESSAGE\n","seq":N,"status":STATE}
on standard output, until end of file. The judgement is that of a run of its
own with those options; --timeout is left to the daemon's own time limit.
)";

enum State { stateOk = 0, stateWarning = 1, stateCritical = 2, stateUnknown = 3 };

const std::size_t mebibyte = std::size_t { 1024 } * 1024;
const std::size_t maxInputBytes = 4 * mebibyte;
const std::size_t maxSearchedBytes = std::size_t { 64 } * 1024;
// The regex engine recurses per character; a large stack keeps a long
// message from overflowing it. The whole plugin runs on one thread with such
// a stack, so that a search never needs a thread of its own.
const std::size_t largeStackBytes = 256 * mebibyte;
// A request carries a notification of up to the input cap with every byte
// escaped as two at most; a longer line is a protocol error.
const std::size_t maxRequestBytes = 2 * maxInputBytes;
// Distinct command lines kept prepared; a daemon passes a few, and the cache
// is emptied when something passes more.
const std::size_t maxPreparedCommandLines = 64;

struct Options {
  std::vector<std::string> critical;
  std::vector<std::string> warning;
  std::optional<int> severityCritical;
  std::optional<int> severityWarning;
  std::string messageKey = "message";
  std::string severityKey = "severity";
  std::string hostKey = "fromhost";
  bool ignoreCase = false;
  std::size_t length = 200;
  unsigned timeoutSeconds = 10;
  bool help = false;
};

const char* stateName(State state)
{
  switch (state) {
  case stateOk:
    return "OK";
  case stateWarning:
    return "WARNING";
  case stateCritical:
    return "CRITICAL";
  default:
    return "UNKNOWN";
  }
}

// One line of at most maxBytes: control characters become spaces, outer
// blanks go, and a cut never splits a UTF-8 sequence.
std::string oneLine(const std::string& text, std::size_t maxBytes)
{
  std::string line;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    line += (byte < 0x20 || byte == 0x7f) ? ' ' : c;
  }
  std::string::size_type first = line.find_first_not_of(' ');
  if (first == std::string::npos)
    return "";
  line = line.substr(first, line.find_last_not_of(' ') - first + 1);
  if (line.size() <= maxBytes)
    return line;
  std::size_t cut = maxBytes;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xc0) == 0x80)
    --cut;
  return line.substr(0, cut) + "...";
}

// What one check gives: the exit status and the bytes of standard output.
struct Answer {
  int status = stateUnknown;
  std::string output;
};

Answer answer(State state, const std::string& text)
{
  return { state, std::string(stateName(state)) + ": " + text + "\n" };
}

Answer unknown(const std::string& why) { return answer(stateUnknown, oneLine(why, 400)); }

// False when the descriptor takes no more (the reader has gone).
bool writeAll(int fd, const std::string& text)
{
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t put = ::write(fd, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR)
      continue;
    if (put <= 0)
      return false;
    done += static_cast<std::size_t>(put);
  }
  return true;
}

std::string lowerAscii(std::string text)
{
  // The plugin never sets a locale: tolower changes ASCII letters only.
  for (char& c : text)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A syslog level from its number or name; nothing for anything else.
std::optional<int> severityFromText(const std::string& raw)
{
  std::string text = lowerAscii(raw);
  std::string::size_type first = text.find_first_not_of(" \t");
  if (first == std::string::npos)
    return std::nullopt;
  text = text.substr(first, text.find_last_not_of(" \t") - first + 1);
  if (text.size() == 1 && text[0] >= '0' && text[0] <= '7')
    return text[0] - '0';
  static const std::pair<const char*, int> names[] = { { "emerg", 0 }, { "panic", 0 }, { "emergency", 0 },
    { "alert", 1 }, { "crit", 2 }, { "critical", 2 }, { "err", 3 }, { "error", 3 }, { "warning", 4 }, { "warn", 4 },
    { "notice", 5 }, { "info", 6 }, { "informational", 6 }, { "debug", 7 } };
  for (const auto& [name, level] : names) {
    if (text == name)
      return level;
  }
  return std::nullopt;
}

std::optional<int> severityFromJson(const Json::Value& value)
{
  if (value.isIntegral()) {
    Json::LargestInt level = value.asLargestInt();
    if (level >= 0 && level <= 7)
      return static_cast<int>(level);
    return std::nullopt;
  }
  if (value.isString())
    return severityFromText(value.asString());
  return std::nullopt;
}

std::optional<unsigned long> wholeNumber(const std::string& text)
{
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos)
    return std::nullopt;
  return std::strtoul(text.c_str(), nullptr, 10);
}

// Returns the reason when the command line cannot be used.
std::optional<std::string> parseOptions(const std::vector<std::string>& args, Options& options)
{
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string arg = args[i];
    std::optional<std::string> inlineValue;
    std::string::size_type eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inlineValue = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    auto value = [&]() -> std::optional<std::string> {
      if (inlineValue)
        return inlineValue;
      if (i + 1 >= args.size())
        return std::nullopt;
      return args[++i];
    };
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      return std::nullopt;
    }
    if (arg == "-i" || arg == "--ignore-case") {
      options.ignoreCase = true;
      continue;
    }
    static const char* const withValue[] = { "-c", "--critical", "-w", "--warning", "--severity-critical",
      "--severity-warning", "--message-key", "--severity-key", "--host-key", "--length", "--timeout" };
    bool known = false;
    for (const char* name : withValue)
      known = known || arg == name;
    if (!known)
      return arg.rfind('-', 0) == 0 ? "unknown option " + arg : "unexpected argument " + arg;
    std::optional<std::string> given = value();
    if (!given)
      return arg + " needs a value";
    if (arg == "-c" || arg == "--critical") {
      options.critical.push_back(*given);
    } else if (arg == "-w" || arg == "--warning") {
      options.warning.push_back(*given);
    } else if (arg == "--severity-critical" || arg == "--severity-warning") {
      std::optional<int> level = severityFromText(*given);
      if (!level)
        return arg + " takes a syslog level 0 to 7 or its name, not '" + *given + "'";
      (arg == "--severity-critical" ? options.severityCritical : options.severityWarning) = level;
    } else if (arg == "--message-key" || arg == "--severity-key" || arg == "--host-key") {
      if (given->empty())
        return arg + " needs a key name";
      (arg == "--message-key"           ? options.messageKey
              : arg == "--severity-key" ? options.severityKey
                                        : options.hostKey)
          = *given;
    } else if (arg == "--length") {
      std::optional<unsigned long> length = wholeNumber(*given);
      if (!length || *length < 20 || *length > 4000)
        return "--length takes a number of bytes from 20 to 4000";
      options.length = *length;
    } else {
      std::optional<unsigned long> seconds = wholeNumber(*given);
      if (!seconds || *seconds < 1 || *seconds > 3600)
        return "--timeout takes a number of seconds from 1 to 3600";
      options.timeoutSeconds = static_cast<unsigned>(*seconds);
    }
  }
  if (options.critical.empty() && options.warning.empty() && !options.severityCritical && !options.severityWarning)
    return "no threshold given: use -c, -w, --severity-critical or --severity-warning";
  return std::nullopt;
}

// Reads standard input until its end or just past the cap (which the
// judgement refuses); the daemon closes it after one line. Returns false when
// it cannot be read.
bool readInput(std::string& input, std::string& why)
{
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(0, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      // The one thread of the plugin that calls strerror.
      why = std::string("cannot read standard input: ") + std::strerror(errno); // NOLINT(concurrency-mt-unsafe)
      return false;
    }
    if (got == 0)
      return true;
    input.append(buffer, static_cast<std::size_t>(got));
    if (input.size() > maxInputBytes)
      return true;
  }
}

// Lines read from a descriptor, each at most maxBytes long: the buffer never
// holds more than one line and one read past it.
class LineReader {
public:
  enum class Result { line, end, tooLong, failed };
  LineReader(int fd, std::size_t maxBytes)
      : fd_(fd)
      , maxBytes_(maxBytes)
  {
  }
  // The next line without its newline; an unended last line counts too.
  // After failed, errno says why and the reader is of no further use.
  Result next(std::string& line);

private:
  int fd_;
  std::size_t maxBytes_;
  std::string buffer_;
  // Where the next line begins, and how far it is known to hold no newline.
  std::size_t start_ = 0;
  std::size_t scanned_ = 0;
};

LineReader::Result LineReader::next(std::string& line)
{
  const std::size_t chunkBytes = 65536;
  for (;;) {
    std::size_t end = buffer_.find('\n', scanned_);
    if (end != std::string::npos) {
      if (end - start_ > maxBytes_)
        return Result::tooLong;
      line.assign(buffer_, start_, end - start_);
      start_ = scanned_ = end + 1;
      return Result::line;
    }
    if (buffer_.size() - start_ > maxBytes_)
      return Result::tooLong;
    buffer_.erase(0, start_);
    start_ = 0;
    scanned_ = buffer_.size();
    buffer_.resize(scanned_ + chunkBytes);
    ssize_t got = 0;
    do
      got = ::read(fd_, &buffer_[scanned_], chunkBytes);
    while (got < 0 && errno == EINTR);
    if (got < 0)
      return Result::failed;
    buffer_.resize(scanned_ + static_cast<std::size_t>(got));
    if (got == 0) {
      if (buffer_.empty())
        return Result::end;
      line.swap(buffer_);
      buffer_.clear();
      scanned_ = 0;
      return Result::line;
    }
  }
}

struct Patterns {
  std::vector<std::regex> critical;
  std::vector<std::regex> warning;
};

std::optional<std::string> compile(const Options& options, Patterns& patterns)
{
  auto flags = std::regex::ECMAScript;
  if (options.ignoreCase)
    flags |= std::regex::icase;
  auto add
      = [&](const std::string& text, std::vector<std::regex>& into, const char* option) -> std::optional<std::string> {
    try {
      into.emplace_back(text, flags);
    } catch (const std::regex_error& error) {
      return std::string("bad regular expression for ") + option + " '" + text + "': " + error.what();
    }
    return std::nullopt;
  };
  for (const std::string& text : options.critical) {
    if (auto why = add(text, patterns.critical, "-c"))
      return why;
  }
  for (const std::string& text : options.warning) {
    if (auto why = add(text, patterns.warning, "-w"))
      return why;
  }
  return std::nullopt;
}

// Fills failure when the search itself fails. It runs on the large stack
// that main gives the whole plugin.
bool anyMatches(const std::vector<std::regex>& patterns, const std::string& text, std::string& failure)
{
  try {
    for (const std::regex& pattern : patterns) {
      if (std::regex_search(text, pattern))
        return true;
    }
  } catch (const std::exception& error) {
    failure = error.what();
  }
  return false;
}

// A command line made ready for any number of notifications: its options
// and compiled expressions, or the answer it gets whatever the notification
// (an unusable command line, --help).
struct PreparedCheck {
  Options options;
  Patterns patterns;
  std::optional<Answer> fixed;
};

PreparedCheck prepare(const std::vector<std::string>& args)
{
  PreparedCheck check;
  std::optional<std::string> why = parseOptions(args, check.options);
  if (check.options.help)
    check.fixed = Answer { 0, usageText };
  else if (why)
    check.fixed = unknown(*why + " (see --help)");
  else if ((why = compile(check.options, check.patterns)))
    check.fixed = unknown(*why);
  return check;
}

// The member of a JSON object under key; nullptr when there is none.
const Json::Value* member(const Json::Value& object, const std::string& key)
{
  return object.find(key.data(), key.data() + key.size());
}

// Notifications and requests are read with the same settings.
std::unique_ptr<Json::CharReader> newReader()
{
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  return std::unique_ptr<Json::CharReader>(builder.newCharReader());
}

// The answer to one notification, given all that a run of its own reads on
// standard input. Both modes judge here, so they cannot differ.
Answer judge(const PreparedCheck& check, const std::string& input, Json::CharReader& reader)
{
  if (check.fixed)
    return *check.fixed;
  const Options& options = check.options;
  if (input.size() > maxInputBytes)
    return unknown("input larger than " + std::to_string(maxInputBytes / mebibyte) + " MiB");
  if (input.find_first_not_of(" \t\r\n") == std::string::npos)
    return unknown("no notification on standard input");

  Json::Value root;
  std::string errors;
  if (!reader.parse(input.data(), input.data() + input.size(), &root, &errors))
    return unknown("input is not JSON: " + errors);
  if (!root.isObject())
    return unknown("input is not a JSON object");

  const Json::Value* message = member(root, options.messageKey);
  if (message == nullptr)
    return unknown("no \"" + options.messageKey + "\" key in the notification");
  if (!message->isString())
    return unknown("\"" + options.messageKey + "\" is not a text");
  const std::string text = message->asString();

  std::optional<int> severity;
  if (options.severityCritical || options.severityWarning) {
    const Json::Value* raw = member(root, options.severityKey);
    if (raw == nullptr)
      return unknown("no \"" + options.severityKey + "\" key in the notification");
    severity = severityFromJson(*raw);
    if (!severity) {
      Json::StreamWriterBuilder writer;
      writer["indentation"] = "";
      return unknown("\"" + options.severityKey + "\" is not a syslog severity: " + Json::writeString(writer, *raw));
    }
  }

  const std::string searched = text.substr(0, maxSearchedBytes);
  std::string failure;
  State state = stateOk;
  if ((severity && options.severityCritical && *severity <= *options.severityCritical)
      || anyMatches(check.patterns.critical, searched, failure))
    state = stateCritical;
  else if (failure.empty()
      && ((severity && options.severityWarning && *severity <= *options.severityWarning)
          || anyMatches(check.patterns.warning, searched, failure)))
    state = stateWarning;
  if (!failure.empty())
    return unknown("the regular expression search failed: " + failure);

  std::string summary;
  const Json::Value* host = member(root, options.hostKey);
  if (host != nullptr && host->isString() && !oneLine(host->asString(), 100).empty())
    summary = oneLine(host->asString(), 100) + ": ";
  summary += oneLine(text, options.length);
  return answer(state, summary);
}

// The time-out answer, prepared before the alarm can fire so that the
// handler only writes and exits.
char timeoutLine[128];

void onAlarm(int)
{
  ssize_t ignored = ::write(1, timeoutLine, std::strlen(timeoutLine));
  (void)ignored;
  _exit(stateUnknown);
}

// One notification on standard input, answered on standard output.
Answer checkOnce(const std::vector<std::string>& args)
{
  PreparedCheck check = prepare(args);
  if (check.fixed)
    return *check.fixed;

  std::snprintf(timeoutLine, sizeof timeoutLine, "UNKNOWN: no result within %u s\n", check.options.timeoutSeconds);
  struct sigaction action = {};
  action.sa_handler = onAlarm;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, nullptr);
  ::alarm(check.options.timeoutSeconds);

  std::string input, why;
  if (!readInput(input, why))
    return unknown(why);
  return judge(check, input, *newReader());
}

// The arguments and the input of a request; says why when they cannot be
// used.
std::optional<std::string> requestFields(const Json::Value& request, std::vector<std::string>& args, std::string& input)
{
  const Json::Value* given = member(request, "args");
  if (given == nullptr || !given->isArray())
    return std::string("\"args\" is not an array of texts");
  args.clear();
  for (const Json::Value& arg : *given) {
    if (!arg.isString())
      return std::string("\"args\" is not an array of texts");
    args.push_back(arg.asString());
  }
  const Json::Value* text = member(request, "input");
  if (text == nullptr || !text->isString())
    return std::string("\"input\" is not a text");
  input = text->asString();
  return std::nullopt;
}

// Exit status 2 with one line on standard error: the daemon counts a
// protocol error and starts a fresh process.
int protocolError(const std::string& why)
{
  writeAll(2, "quelm-check-syslog: " + oneLine(why, 400) + "\n");
  return 2;
}

// The persistent-plugin protocol: a request line per notification, each
// answered at once by a reply line, until the end of standard input. There
// is no alarm here: the daemon times a request out itself and replaces the
// process.
int servePersistent()
{
  std::unique_ptr<Json::CharReader> reader = newReader();
  Json::StreamWriterBuilder writerBuilder;
  writerBuilder["indentation"] = "";
  writerBuilder["emitUTF8"] = true;
  std::unique_ptr<Json::StreamWriter> writer(writerBuilder.newStreamWriter());
  std::map<std::vector<std::string>, PreparedCheck> prepared;
  LineReader lines(0, maxRequestBytes);
  std::string line, errors, input;
  std::vector<std::string> args;
  std::ostringstream replyText;
  for (;;) {
    LineReader::Result read = lines.next(line);
    if (read == LineReader::Result::end)
      return 0;
    if (read == LineReader::Result::tooLong)
      return protocolError("request line longer than " + std::to_string(maxRequestBytes / mebibyte) + " MiB");
    if (read == LineReader::Result::failed)
      // The one thread of the plugin that calls strerror.
      return protocolError(
          std::string("cannot read standard input: ") + std::strerror(errno)); // NOLINT(concurrency-mt-unsafe)

    Json::Value request;
    if (!reader->parse(line.data(), line.data() + line.size(), &request, &errors))
      return protocolError("request is not JSON: " + errors);
    const Json::Value* seq = request.isObject() ? member(request, "seq") : nullptr;
    if (seq == nullptr || !seq->isIntegral())
      return protocolError("request is not a JSON object with an integer \"seq\"");
    Answer result;
    try {
      if (auto why = requestFields(request, args, input)) {
        result = unknown("unusable request: " + *why);
      } else {
        auto found = prepared.find(args);
        if (found == prepared.end()) {
          if (prepared.size() >= maxPreparedCommandLines)
            prepared.clear();
          found = prepared.emplace(args, prepare(args)).first;
        }
        // A run of its own reads the notification with the newline the
        // daemon ends it with; the input cap counts it the same way.
        input += '\n';
        result = judge(found->second, input, *reader);
      }
    } catch (const std::exception& error) {
      result = unknown(std::string("internal error: ") + error.what());
    }

    Json::Value reply(Json::objectValue);
    // A seq written as 2.0 is still answered as 2.
    reply["seq"] = seq->isUInt64() ? Json::Value(seq->asLargestUInt()) : Json::Value(seq->asLargestInt());
    reply["status"] = result.status;
    reply["output"] = result.output;
    replyText.str("");
    writer->write(reply, &replyText);
    replyText << '\n';
    if (!writeAll(1, replyText.str()))
      return protocolError("cannot write a reply");
  }
}

// Runs body on a thread with a large stack for the regex engine and returns
// its exit status; on this thread when no such thread can be started.
int onLargeStack(const std::function<int()>& body)
{
  struct Job {
    const std::function<int()>* body;
    int status;
  } job { &body, stateUnknown };
  auto run = [](void* argument) -> void* {
    auto* started = static_cast<Job*>(argument);
    try {
      started->status = (*started->body)();
    } catch (const std::exception& error) {
      writeAll(2, std::string("quelm-check-syslog: internal error: ") + error.what() + "\n");
    }
    return nullptr;
  };
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, largeStackBytes);
  pthread_t thread {};
  int error = pthread_create(&thread, &attributes, run, &job);
  pthread_attr_destroy(&attributes);
  if (error != 0)
    run(&job);
  else
    pthread_join(thread, nullptr);
  return job.status;
}

int runOnce(const std::vector<std::string>& args)
{
  Answer result;
  try {
    result = checkOnce(args);
  } catch (const std::exception& error) {
    result = unknown(std::string("internal error: ") + error.what());
  }
  writeAll(1, result.output);
  return result.status;
}

} // namespace

int main(int argc, char** argv)
{
  const std::vector<std::string> args(argv + 1, argv + argc);
  // Read before any other thread runs.
  const char* protocol = std::getenv("QUELM_PLUGIN_PROTOCOL"); // NOLINT(concurrency-mt-unsafe)
  const bool persistent = args.empty() && protocol != nullptr && std::strcmp(protocol, "1") == 0;
  return onLargeStack([&] { return persistent ? servePersistent() : runOnce(args); });
}
