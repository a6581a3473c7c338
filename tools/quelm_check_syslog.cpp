// quelm-check-syslog: the stock plugin for syslog services. Reads one
// notification (a JSON object) on standard input and answers OK, WARNING or
// CRITICAL from the message's syslog severity and regular expressions.

#include <cctype>
#include <json/json.h>

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
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
)";

enum State { stateOk = 0, stateWarning = 1, stateCritical = 2, stateUnknown = 3 };

const std::size_t mebibyte = std::size_t { 1024 } * 1024;
const std::size_t maxInputBytes = 4 * mebibyte;
const std::size_t maxSearchedBytes = std::size_t { 64 } * 1024;
// The regex engine recurses per character; a large stack keeps a long
// message from overflowing it.
const std::size_t matcherStackBytes = 256 * mebibyte;

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

int answer(State state, const std::string& text)
{
  std::cout << stateName(state) << ": " << text << '\n' << std::flush;
  return state;
}

int unknown(const std::string& why) { return answer(stateUnknown, oneLine(why, 400)); }

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
std::optional<std::string> parseOptions(int argc, char** argv, Options& options)
{
  std::vector<std::string> args(argv + 1, argv + argc);
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

// Reads standard input up to the cap; the daemon closes it after one line.
// Returns false when the input is larger than the cap or cannot be read.
bool readInput(std::string& input, std::string& why)
{
  char buffer[65536];
  for (;;) {
    ssize_t got = ::read(0, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0) {
      // The plugin is single-threaded at this point.
      why = std::string("cannot read standard input: ") + std::strerror(errno); // NOLINT(concurrency-mt-unsafe)
      return false;
    }
    if (got == 0)
      return true;
    input.append(buffer, static_cast<std::size_t>(got));
    if (input.size() > maxInputBytes) {
      why = "input larger than " + std::to_string(maxInputBytes / mebibyte) + " MiB";
      return false;
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

struct MatchJob {
  const std::vector<std::regex>* patterns = nullptr;
  const std::string* text = nullptr;
  bool matched = false;
  std::string failure;
};

void* runMatch(void* argument)
{
  auto* job = static_cast<MatchJob*>(argument);
  try {
    for (const std::regex& pattern : *job->patterns) {
      if (std::regex_search(*job->text, pattern)) {
        job->matched = true;
        break;
      }
    }
  } catch (const std::exception& error) {
    job->failure = error.what();
  }
  return nullptr;
}

// Searches on a thread with a large stack; fills failure when the search
// itself fails.
bool anyMatches(const std::vector<std::regex>& patterns, const std::string& text, std::string& failure)
{
  if (patterns.empty())
    return false;
  MatchJob job;
  job.patterns = &patterns;
  job.text = &text;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, matcherStackBytes);
  pthread_t thread {};
  int error = pthread_create(&thread, &attributes, runMatch, &job);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    runMatch(&job);
  } else {
    pthread_join(thread, nullptr);
  }
  failure = job.failure;
  return job.matched;
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

int check(const Options& options)
{
  Patterns patterns;
  if (auto why = compile(options, patterns))
    return unknown(*why);

  std::snprintf(timeoutLine, sizeof timeoutLine, "UNKNOWN: no result within %u s\n", options.timeoutSeconds);
  struct sigaction action = {};
  action.sa_handler = onAlarm;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGALRM, &action, nullptr);
  ::alarm(options.timeoutSeconds);

  std::string input, why;
  if (!readInput(input, why))
    return unknown(why);
  if (input.find_first_not_of(" \t\r\n") == std::string::npos)
    return unknown("no notification on standard input");

  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["failIfExtra"] = true;
  std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  if (!reader->parse(input.data(), input.data() + input.size(), &root, &errors))
    return unknown("input is not JSON: " + errors);
  if (!root.isObject())
    return unknown("input is not a JSON object");

  const Json::Value* message
      = root.find(options.messageKey.data(), options.messageKey.data() + options.messageKey.size());
  if (message == nullptr)
    return unknown("no \"" + options.messageKey + "\" key in the notification");
  if (!message->isString())
    return unknown("\"" + options.messageKey + "\" is not a text");
  const std::string text = message->asString();

  std::optional<int> severity;
  if (options.severityCritical || options.severityWarning) {
    const Json::Value* raw
        = root.find(options.severityKey.data(), options.severityKey.data() + options.severityKey.size());
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
      || anyMatches(patterns.critical, searched, failure))
    state = stateCritical;
  else if (failure.empty()
      && ((severity && options.severityWarning && *severity <= *options.severityWarning)
          || anyMatches(patterns.warning, searched, failure)))
    state = stateWarning;
  if (!failure.empty())
    return unknown("the regular expression search failed: " + failure);

  std::string summary;
  const Json::Value* host = root.find(options.hostKey.data(), options.hostKey.data() + options.hostKey.size());
  if (host != nullptr && host->isString() && !oneLine(host->asString(), 100).empty())
    summary = oneLine(host->asString(), 100) + ": ";
  summary += oneLine(text, options.length);
  return answer(state, summary);
}

} // namespace

int main(int argc, char** argv)
{
  Options options;
  if (auto why = parseOptions(argc, argv, options)) {
    if (!options.help)
      return unknown(*why + " (see --help)");
  }
  if (options.help) {
    std::cout << usageText;
    return 0;
  }
  try {
    return check(options);
  } catch (const std::exception& error) {
    return unknown(std::string("internal error: ") + error.what());
  }
}
