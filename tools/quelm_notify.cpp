// quelm-notify: sends notifications to a Receiver over secure WebSocket.

#include "intake/syslog_client.h"

#include <json/json.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

const char* const usageText = R"(Usage:
  quelm-notify wss://HOST:PORT/ --host NAME --message TEXT [options]
  quelm-notify wss://HOST:PORT/ --json '{"fromhost":"NAME",...}' [options]
  quelm-notify wss://HOST:PORT/ --stdin [--host NAME] [options]

Sends notifications to a Receiver over secure WebSocket (TLS 1.2). The
server's certificate is not verified.

  --host NAME       the sending host, sent as "fromhost"
  --message TEXT    send one notification {"fromhost": NAME, "message": TEXT};
                    any text is escaped as JSON
  --json TEXT       send TEXT as the payload, unchanged
  --stdin           send each non-empty line of standard input as one
                    message: unchanged, or wrapped like --message when
                    --host is given; ends at end of input
  --cert FILE       present the certificate and unencrypted key in this PEM
                    file to the server (for a Receiver with verify_client=1)
  --timings         print the connection phase timings (microseconds since
                    the connection started) on standard output at the end
  --timeout SECONDS how long to wait for the connection to open and for the
                    closing handshake (default 10)
  --verbose         show the client's progress and the library's log
  --help            this text

Exit status: 0 when every message was handed over and the connection closed
normally; 1 when the connection cannot be made, the TLS handshake fails or
the server goes away (one line on standard error says which); 2 for a
usage error.
)";

struct Options {
  std::string uri;
  std::optional<std::string> host;
  std::optional<std::string> message;
  std::optional<std::string> json;
  std::optional<std::string> certificate;
  bool fromStdin = false;
  bool timings = false;
  bool verbose = false;
  int timeoutSeconds = 10;
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
    } else if (arg == "--host" || arg == "--message" || arg == "--json" || arg == "--timeout" || arg == "--cert") {
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
      else {
        char* end = nullptr;
        long seconds = std::strtol(given->c_str(), &end, 10);
        if (end == given->c_str() || *end != '\0' || seconds <= 0 || seconds > 3600)
          return usageError("--timeout takes a number of seconds from 1 to 3600");
        options.timeoutSeconds = static_cast<int>(seconds);
      }
    } else if (arg == "--stdin") {
      options.fromStdin = true;
    } else if (arg == "--timings") {
      options.timings = true;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else if (arg.rfind("--", 0) == 0) {
      return usageError("unknown option " + arg);
    } else if (options.uri.empty()) {
      options.uri = arg;
    } else {
      return usageError("unexpected argument " + arg);
    }
  }
  if (options.uri.empty())
    return usageError("no server URI given");
  if (options.uri.rfind("wss://", 0) != 0)
    return usageError("the server URI must start with wss://");
  int sources = (options.message ? 1 : 0) + (options.json ? 1 : 0) + (options.fromStdin ? 1 : 0);
  if (sources != 1)
    return usageError("give exactly one of --message, --json and --stdin");
  if (options.message && !options.host)
    return usageError("--message needs --host");
  if (options.json && options.host)
    return usageError("--json sends its payload as given: --host does not apply");
  return std::nullopt;
}

int sendAll(const Options& options)
{
  const std::chrono::milliseconds timeout(options.timeoutSeconds * 1000L);
  std::ostream quiet(nullptr);
  SyslogClient client(options.uri);
  client.setOutput(options.verbose ? std::cerr : quiet);
  client.setLibraryLogging(options.verbose);
  if (options.certificate)
    client.setClientCertificate(*options.certificate);
  // The outcome is read from the client's phase; nothing ends the process
  // from the event loop thread.
  client.setCloseAction([] {});
  client.setFailAction([] {});

  client.connect();
  SyslogClient::Phase phase = client.waitOpened(timeout);
  if (phase != SyslogClient::Phase::open) {
    std::string reason = client.failureText();
    if (phase == SyslogClient::Phase::connecting)
      reason = "no answer within " + std::to_string(options.timeoutSeconds) + " s";
    else if (phase == SyslogClient::Phase::closed)
      reason = "the server closed the connection during the handshake";
    return failure("cannot connect to " + options.uri + ": " + (reason.empty() ? "unknown error" : reason));
  }

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
    sent = sendOne(wrapMessage(*options.host, *options.message));
  } else if (options.json) {
    sent = sendOne(*options.json);
  } else {
    std::string line;
    while (sent && std::getline(std::cin, line)) {
      if (!line.empty() && line.back() == '\r')
        line.pop_back();
      if (line.empty())
        continue;
      sent = client.phase() == SyslogClient::Phase::open
          && sendOne(options.host ? wrapMessage(*options.host, line) : line);
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
  if (phase != SyslogClient::Phase::closed)
    return failure("the server did not complete the closing handshake within "
        + std::to_string(options.timeoutSeconds) + " s");
  if (client.remoteCloseCode() != websocketpp::close::status::normal)
    return failure("the server went away (close code " + std::to_string(client.remoteCloseCode()) + ")");
  return 0;
}

} // namespace

int main(int argc, char** argv)
{
  Options options;
  if (std::optional<int> status = parseOptions(argc, argv, options))
    return *status;
  try {
    return sendAll(options);
  } catch (const std::exception& error) {
    return failure(error.what());
  }
}
