// Input: the section name up to the first newline, the key up to the
// second, and the rest is the configuration file the reader parses.
#include "core/ini_config.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

// One file per fuzzing process, rewritten for every input.
std::string scratchPath()
{
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") + "/quelm-fuzz-ini-" + std::to_string(getpid())
      + ".ini";
}

std::string takeLine(std::string& rest)
{
  std::string::size_type end = rest.find('\n');
  std::string line = rest.substr(0, end);
  rest = end == std::string::npos ? std::string() : rest.substr(end + 1);
  return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
  static const std::string path = scratchPath();
  std::string rest(reinterpret_cast<const char*>(data), size);
  std::string section = takeLine(rest);
  std::string key = takeLine(rest);
  {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << rest;
  }

  IniConfig config(path);
  std::string value = config.getKey(section, key);
  // A value is the tail of one line of the file, so it never holds a line
  // break and is never longer than the file.
  if (value.find('\n') != std::string::npos || value.size() > rest.size())
    std::abort();
  config.getKeyToInt(section, key);
  std::map<std::string, std::string>& entries = config.getSection(section);
  for (const auto& [name, text] : entries) {
    if (name.size() + text.size() > rest.size())
      std::abort();
  }
  return 0;
}
