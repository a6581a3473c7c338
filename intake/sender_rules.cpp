#include "intake/sender_rules.h"

#include "core/ini_config.h"

#include <fnmatch.h>

#include <sstream>

SenderRules SenderRules::fromSection(
    const std::map<std::string, std::string>& entries, std::vector<LineProblem>* problems)
{
  SenderRules rules;
  for (const auto& [line, value] : entries) {
    std::string identity = trim(line);
    if (identity.empty() && problems != nullptr && !trim(value).empty())
      problems->push_back({ line, value, "no sender identity before '=', ignored" });
    if (identity.empty() || identity[0] == '[')
      continue;
    std::vector<std::string>& patterns = rules.patterns_[identity];
    std::istringstream list(value);
    for (std::string pattern; std::getline(list, pattern, ',');) {
      pattern = trim(pattern);
      if (!pattern.empty())
        patterns.push_back(pattern);
    }
    if (patterns.empty() && problems != nullptr)
      problems->push_back({ line, value, "no host pattern: this sender may report for no host" });
  }
  return rules;
}

bool SenderRules::allows(const std::string& identity, const std::string& host) const
{
  if (!active())
    return true;
  auto found = patterns_.find(identity);
  if (found == patterns_.end())
    return false;
  for (const std::string& pattern : found->second) {
    if (::fnmatch(pattern.c_str(), host.c_str(), 0) == 0)
      return true;
  }
  return false;
}
