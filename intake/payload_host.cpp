#include "intake/payload_host.h"

#include <json/json.h>

#include <memory>

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
  return *reader;
}

} // namespace

std::string hostFromPayload(const std::string& payload)
{
  Json::Value root;
  try {
    const char* begin = payload.data();
    // The success flag is ignored on purpose: what was built before a parse
    // error (a complete "fromhost" ahead of a truncation) still counts.
    threadReader().parse(begin, begin + payload.size(), &root, nullptr);
  } catch (const std::exception&) {
    // Nesting deeper than the reader's limit: like any other parse error,
    // what was built up to that point is used.
  }
  if (!root.isObject())
    return badHost;
  const Json::Value* host = root.find("fromhost", "fromhost" + 8);
  if (host == nullptr || host->isObject() || host->isArray())
    return badHost;
  try {
    return host->asString();
  } catch (const std::exception&) {
    return badHost;
  }
}
