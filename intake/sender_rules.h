#pragma once

#include <map>
#include <string>
#include <vector>

// Which hosts each sender may report for: the lines IDENTITY=PATTERN[,...] of
// the SENDERS section, where IDENTITY is the common name of the sender's
// client certificate and each PATTERN a shell-style glob on the host.
class SenderRules {
public:
  // Rules from the section's entries (line text before "=" -> after it);
  // the section's header and lines without an identity are skipped, spaces
  // around identities and patterns are trimmed, empty patterns dropped.
  static SenderRules fromSection(const std::map<std::string, std::string>& entries);

  // False without any identity line: then every sender may send for any host.
  bool active() const { return !patterns_.empty(); }
  std::size_t identityCount() const { return patterns_.size(); }
  // With active rules, true only when the identity is listed and one of its
  // patterns matches the host; without, always true.
  bool allows(const std::string& identity, const std::string& host) const;

private:
  std::map<std::string, std::vector<std::string>> patterns_;
};
