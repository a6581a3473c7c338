#include "intake/payload_host.h"

#include "intake/json_scan.h"

#include <json/json.h>

#include <cstring>
#include <memory>
#include <optional>

namespace {

const char* const badHost = "daemonbadhost";

// One reader per I/O thread: a CharReader is not safe to share, and building
// one per message would cost an allocation each time.
Json::CharReader& threadReader()
{
  thread_local std::unique_ptr<Json::CharReader> reader = [] {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = true;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
  }();
  // NOLINTNEXTLINE(clang-analyzer-cplusplus.NewDelete): the analyzer loses track of the thread_local owner.
  return *reader;
}

// The shape almost every sender writes: the object opens with a plain
// "fromhost" string. Its host is known without building the whole document
// (which copies the message text into a tree of its own) as long as nothing
// after it can replace it: a later "fromhost" key, raw or spelled with \u
// escapes. Returns false whenever that is not certain; the full parse then
// decides.
bool plainLeadingHost(const std::string& payload, std::string& host)
{
  static const char prefix[] = "{\"fromhost\":\"";
  const std::size_t prefixLength = sizeof prefix - 1;
  if (payload.size() <= prefixLength || payload.compare(0, prefixLength, prefix) != 0)
    return false;
  std::size_t end = prefixLength;
  for (; end < payload.size(); ++end) {
    unsigned char c = static_cast<unsigned char>(payload[end]);
    if (c == '"')
      break;
    if (c == '\\' || c < 0x20)
      return false;
  }
  if (end == payload.size())
    return false;
  const char* rest = payload.data() + end + 1;
  std::size_t restLength = payload.size() - end - 1;
  if (::memmem(rest, restLength, "fromhost", 8) != nullptr || ::memmem(rest, restLength, "\\u", 2) != nullptr)
    return false;
  host.assign(payload, prefixLength, end - prefixLength);
  return true;
}

// Payloads above this size are never parsed whole to find their host.
const std::size_t wholeParseBytes = 65536;

const char key[] = "fromhost";

// The host of a parsed payload; what was built before a parse error (a
// complete "fromhost" ahead of a truncation) still counts.
std::string hostOfParse(const std::string& payload)
{
  Json::Value root;
  try {
    const char* begin = payload.data();
    threadReader().parse(begin, begin + payload.size(), &root, nullptr);
  } catch (const std::exception&) {
    // Nesting deeper than the reader's limit: like any other parse error,
    // what was built up to that point is used.
  }
  if (!root.isObject())
    return badHost;
  const Json::Value* host = root.find(key, key + sizeof key - 1);
  if (host == nullptr || host->isObject() || host->isArray())
    return badHost;
  try {
    return host->asString();
  } catch (const std::exception&) {
    return badHost;
  }
}

} // namespace

std::string hostFromPayload(const std::string& payload)
{
  std::string plain;
  if (plainLeadingHost(payload, plain))
    return plain;
  // The top level is read by a scan, which builds nothing whatever the
  // payload's size; the last "fromhost" wins, as in a parse. Only a small
  // payload the scan cannot follow (comments, say) is parsed whole.
  JsonMembers members(payload);
  JsonMember member;
  std::optional<JsonMember> host;
  while (members.next(member))
    if (members.keyIs(member, key))
      host = member;
  if (!host && members.isObject() && !members.closed() && payload.size() <= wholeParseBytes)
    return hostOfParse(payload);
  if (!host)
    return badHost;
  const char first = payload[host->valueStart];
  if (first == '"') {
    std::optional<std::string> text = jsonStringText(payload, host->valueStart, host->end);
    return text ? *text : badHost;
  }
  if (first == '{' || first == '[')
    return badHost;
  // A number or a literal, read as the parser reads it.
  return hostOfParse("{\"fromhost\":" + payload.substr(host->valueStart, host->end - host->valueStart) + "}");
}
