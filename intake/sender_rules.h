#pragma once

#include <map>
#include <string>
#include <vector>

// Which hosts each sender may report for: the lines IDENTITY=PATTERN[,...] of
// the SENDERS section, where IDENTITY is the common name of the sender's
// client certificate and each PATTERN a shell-style glob on the host.
class SenderRules {
public:
  // A line that gives no usable rule: its text before "=", after it, and why.
  struct LineProblem {
    std::string line;
    std::string value;
    std::string why;
  };

  // Rules from the section's entries (line text before "=" -> after it);
  // the section's header and lines without an identity are skipped, spaces
  // around identities and patterns are trimmed, empty patterns dropped. A
  // skipped line with a value, and an identity left without any pattern
  // (it may then report for no host), go to problems when given.
  static SenderRules fromSection(
      const std::map<std::string, std::string>& entries, std::vector<LineProblem>* problems = nullptr);

  // False without any identity line: then every sender may send for any host.
  bool active() const { return !patterns_.empty(); }
  std::size_t identityCount() const { return patterns_.size(); }
  // With active rules, true only when the identity is listed and one of its
  // patterns matches the host; without, always true.
  bool allows(const std::string& identity, const std::string& host) const;

private:
  std::map<std::string, std::vector<std::string>> patterns_;
};
