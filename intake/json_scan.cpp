#include "intake/json_scan.h"

#include <utf8.h>

#include <cstdint>
#include <cstring>
#include <iterator>

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

unsigned hexValue(const std::string& text, std::size_t at)
{
  unsigned value = 0;
  for (std::size_t i = at; i < at + 4; ++i) {
    const char c = text[i];
    value <<= 4;
    if (c >= '0' && c <= '9')
      value |= static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f')
      value |= static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      value |= static_cast<unsigned>(c - 'A' + 10);
    else
      return 0x110000;
  }
  return value;
}

} // namespace

void JsonScan::skipSpace()
{
  while (!atEnd() && isSpace(text_[at_]))
    ++at_;
}

bool JsonScan::take(char expected)
{
  skipSpace();
  if (peek() != expected || atEnd())
    return false;
  ++at_;
  return true;
}

bool JsonScan::skipString()
{
  if (peek() != '"')
    return false;
  for (++at_; at_ < text_.size(); ++at_) {
    if (text_[at_] == '\\')
      ++at_;
    else if (text_[at_] == '"')
      return ++at_, true;
  }
  return false;
}

bool JsonScan::skipValue(std::size_t* deepest, std::size_t* values)
{
  if (atEnd())
    return false;
  const char first = text_[at_];
  std::size_t depth = 0, maxDepth = 0, count = 1;
  bool done = false;
  if (first == '"') {
    done = skipString();
  } else if (first == '{' || first == '[') {
    while (!atEnd()) {
      const char c = text_[at_];
      if (c == '"') {
        if (!skipString())
          break;
        continue;
      }
      if (c == '{' || c == '[') {
        maxDepth = std::max(maxDepth, ++depth);
      } else if (c == '}' || c == ']') {
        --depth;
      } else if (c == ',') {
        ++count;
      }
      ++at_;
      if (depth == 0) {
        done = true;
        break;
      }
    }
  } else {
    const std::size_t from = at_;
    while (!atEnd() && std::strchr(",}]", text_[at_]) == nullptr && !isSpace(text_[at_]))
      ++at_;
    done = at_ > from && !atEnd();
  }
  if (deepest != nullptr)
    *deepest = maxDepth;
  if (values != nullptr)
    *values = count + maxDepth;
  return done;
}

JsonMembers::JsonMembers(const std::string& text)
    : text_(text)
    , scan_(text)
{
  object_ = open_ = scan_.take('{');
}

bool JsonMembers::next(JsonMember& member)
{
  if (!open_)
    return false;
  scan_.skipSpace();
  member.commaBefore.reset();
  if (members_ == 0 && scan_.peek() == '}') {
    closed_ = true;
    return open_ = false;
  }
  if (members_ > 0) {
    if (scan_.peek() == '}') {
      closed_ = true;
      return open_ = false;
    }
    if (scan_.peek() != ',')
      return open_ = false;
    member.commaBefore = scan_.at();
    scan_.take(',');
    scan_.skipSpace();
  }
  member.start = scan_.at();
  if (!scan_.skipString())
    return open_ = false;
  member.keyEnd = scan_.at();
  if (!scan_.take(':'))
    return open_ = false;
  scan_.skipSpace();
  member.valueStart = scan_.at();
  if (!scan_.skipValue())
    return open_ = false;
  member.end = scan_.at();
  ++members_;
  return true;
}

bool JsonMembers::keyIs(const JsonMember& member, const std::string& name) const
{
  const std::size_t length = member.keyEnd - member.start;
  if (length == name.size() + 2 && text_.compare(member.start + 1, name.size(), name) == 0)
    return true;
  if (std::memchr(text_.data() + member.start, '\\', length) == nullptr)
    return false;
  std::optional<std::string> key = jsonStringText(text_, member.start, member.keyEnd);
  return key && *key == name;
}

std::optional<std::string> jsonStringText(const std::string& text, std::size_t begin, std::size_t end)
{
  std::string out;
  for (std::size_t at = begin + 1; at + 1 < end; ++at) {
    const char c = text[at];
    if (c != '\\') {
      out += c;
      continue;
    }
    const char kind = text[++at];
    const char* simple = kind == '\0' ? nullptr : std::strchr("\"\\/bfnrt", kind);
    if (simple != nullptr) {
      out += "\"\\/\b\f\n\r\t"[simple - "\"\\/bfnrt"];
      continue;
    }
    if (kind != 'u' || at + 4 >= end)
      return std::nullopt;
    unsigned code = hexValue(text, at + 1);
    at += 4;
    if (code >= 0xDC00 && code <= 0xDFFF)
      return std::nullopt;
    if (code >= 0xD800 && code <= 0xDBFF) {
      if (at + 6 >= end || text[at + 1] != '\\' || text[at + 2] != 'u')
        return std::nullopt;
      const unsigned low = hexValue(text, at + 3);
      if (low < 0xDC00 || low > 0xDFFF)
        return std::nullopt;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
      at += 6;
    }
    if (code > 0x10FFFF)
      return std::nullopt;
    utf8::append(static_cast<std::uint32_t>(code), std::back_inserter(out));
  }
  return out;
}
