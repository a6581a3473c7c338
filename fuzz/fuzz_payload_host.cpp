// Host extraction from a notification payload, which arrives straight from the network: any bytes must give a host text
// without throwing, and a payload that is not even valid UTF-8 JSON must not crash the parser.
#include "intake/payload_host.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  std::string payload(reinterpret_cast<const char*>(data), size);
  std::string host = hostFromPayload(payload);
  // The host is "daemonbadhost" or comes from inside the payload, as text or as a number or literal the payload spelled
  // out.
  if (host.size() > size + 32 && host != "daemonbadhost")
    std::abort();
  return 0;
}
