#include "core/ini_config.h"

#include "core/conversions.h"

#include <fstream>

namespace {

const char* const whiteSpace = " \n\r\t\f\v";

// Leading spaces go first, then leading tabs: a space after a tab stays.
std::string stripIndent(const std::string& line)
{
  std::string::size_type start = line.find_first_not_of(' ');
  if (start == std::string::npos)
    return "";
  std::string rest = line.substr(start);
  start = rest.find_first_not_of('\t');
  return start == std::string::npos ? "" : rest.substr(start);
}

std::ifstream openOrThrow(const std::string& fileName)
{
  std::ifstream file(fileName);
  if (!file.is_open())
    throw ConfigFileError("error: can't open file");
  return file;
}

} // namespace

IniConfig::IniConfig(std::string fileName)
    : fileName_(std::move(fileName))
{
}

// Calls visit with every non-comment line of the section's first block, the
// header line included, until visit returns false or the block ends.
template <typename Visit> void scanSection(const std::string& fileName, const std::string& section, Visit visit)
{
  std::ifstream file = openOrThrow(fileName);
  const std::string header = "[" + section + "]";
  bool inSection = false;
  std::string raw;
  while (std::getline(file, raw)) {
    std::string line = stripIndent(raw);
    if (!line.empty() && line[0] == '#')
      continue;
    if (inSection && !line.empty() && line[0] == '[')
      return;
    if (!inSection && line != header)
      continue;
    inSection = true;
    if (!visit(line))
      return;
  }
}

std::string IniConfig::getKey(const std::string& section, const std::string& key)
{
  std::string value;
  // The header line is visited too: a key text inside it matches like any
  // other line.
  scanSection(fileName_, section, [&](const std::string& line) {
    if (line.find(key) == std::string::npos)
      return true;
    std::string::size_type eq = line.find('=');
    value = eq == std::string::npos ? "" : line.substr(eq + 1);
    return false;
  });
  return value;
}

int IniConfig::getKeyToInt(const std::string& section, const std::string& key)
{
  return stringToInt(getKey(section, key));
}

std::map<std::string, std::string>& IniConfig::getSection(const std::string& section)
{
  entries_.clear();
  scanSection(fileName_, section, [&](const std::string& line) {
    std::string::size_type eq = line.find('=');
    if (eq == std::string::npos)
      entries_[line] = "";
    else
      entries_[line.substr(0, eq)] = line.substr(eq + 1);
    return true;
  });
  return entries_;
}

std::string ltrim(const std::string& text)
{
  std::string::size_type start = text.find_first_not_of(whiteSpace);
  return start == std::string::npos ? "" : text.substr(start);
}

std::string rtrim(const std::string& text)
{
  std::string::size_type end = text.find_last_not_of(whiteSpace);
  return end == std::string::npos ? "" : text.substr(0, end + 1);
}

std::string trim(const std::string& text) { return ltrim(rtrim(text)); }
