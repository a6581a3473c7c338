#pragma once

#include <cstddef>
#include <optional>
#include <string>

// Reads the shape of a JSON text without building anything: where its
// values begin and end, how deep they nest and about how many there are.
// It checks only what it needs to find its way (strings, brackets), so what
// it passes is not proven to be JSON; whoever needs that parses the parts it
// found, each on its own.
class JsonScan {
public:
  explicit JsonScan(const std::string& text, std::size_t at = 0)
      : text_(text)
      , at_(at)
  {
  }

  std::size_t at() const { return at_; }
  bool atEnd() const { return at_ >= text_.size(); }
  // The byte at the position; NUL at the end.
  char peek() const { return atEnd() ? '\0' : text_[at_]; }
  // Steps over one expected byte (after white space); false when another
  // comes.
  bool take(char expected);
  void skipSpace();
  // At an opening quote: past the closing one; false when the text ends
  // first.
  bool skipString();
  // Any value: a string, an object or array (its brackets counted, strings
  // skipped), or a bare word or number; false when the text ends first.
  // deepest and values, when given, get the nesting depth reached and an
  // upper bound on the values inside.
  bool skipValue(std::size_t* deepest = nullptr, std::size_t* values = nullptr);

private:
  const std::string& text_;
  std::size_t at_;
};

// One member of a JSON object, by the positions of its bytes.
struct JsonMember {
  // The comma before it, if any; the opening quote of its key, the byte
  // after the key's closing quote; its value's first byte and the byte
  // after its last.
  std::optional<std::size_t> commaBefore;
  std::size_t start = 0;
  std::size_t keyEnd = 0;
  std::size_t valueStart = 0;
  std::size_t end = 0;
};

// Walks the members of the object a text holds at its top level; stops at
// the end of the object or at the first byte that breaks it.
class JsonMembers {
public:
  explicit JsonMembers(const std::string& text);
  // Whether the text begins as an object.
  bool isObject() const { return object_; }
  // The next complete member; false at the end or at a break.
  bool next(JsonMember& member);
  // Whether the object's closing brace was reached.
  bool closed() const { return closed_; }
  // Whether the member's key is this name (escapes in the key decoded).
  bool keyIs(const JsonMember& member, const std::string& name) const;

private:
  const std::string& text_;
  JsonScan scan_;
  std::size_t members_ = 0;
  bool object_ = false;
  bool open_ = false;
  bool closed_ = false;
};

// The text of the JSON string whose quotes are at begin and end - 1; none
// for an escape that JSON does not have (a lone surrogate among them).
std::optional<std::string> jsonStringText(const std::string& text, std::size_t begin, std::size_t end);
