// The parameter tokenizer on any text: it must not fail, and its tokens are never empty, never hold a quote character
// (quotes only delimit), and together are never longer than the text.
#include "services/service.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  std::string text(reinterpret_cast<const char*>(data), size);
  std::size_t total = 0;
  for (const std::string& token : tokenizeParameter(text)) {
    if (token.empty() || token.find_first_of("\"'") != std::string::npos)
      std::abort();
    total += token.size();
  }
  if (total > text.size())
    std::abort();

  Service probe;
  probe.setParameter(text);
  probe.setAlertingParameter(text);
  return 0;
}
