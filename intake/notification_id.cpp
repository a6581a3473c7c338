#include "intake/notification_id.h"

#include <utf8.h>

#include <cstdint>
#include <cstring>
#include <iterator>
#include <optional>

namespace {

const char idKey[] = "notification_id";

// One member of the top-level object, by the positions of its bytes.
struct Member {
  // The comma before it, if any; the opening quote of its key; the end of
  // its value.
  std::optional<std::size_t> commaBefore;
  std::size_t start = 0;
  std::size_t valueStart = 0;
  std::size_t end = 0;
};

// Walks the members of a payload's top-level object without building
// anything; stops at the end of the object or at the first byte that breaks
// the JSON.
class TopLevel {
public:
  explicit TopLevel(const std::string& text)
      : text_(text)
  {
    skipSpace();
    if (at_ < text_.size() && text_[at_] == '{') {
      ++at_;
      open_ = true;
    }
  }

  // The next complete member; false at the end or at a break.
  bool next(Member& member)
  {
    if (!open_)
      return false;
    skipSpace();
    member.commaBefore.reset();
    if (members_ > 0) {
      if (at_ >= text_.size() || text_[at_] != ',')
        return open_ = false;
      member.commaBefore = at_++;
      skipSpace();
    }
    member.start = at_;
    if (!skipString())
      return open_ = false;
    skipSpace();
    if (at_ >= text_.size() || text_[at_] != ':')
      return open_ = false;
    ++at_;
    skipSpace();
    member.valueStart = at_;
    if (!skipValue())
      return open_ = false;
    member.end = at_;
    ++members_;
    return true;
  }

  const std::string& text() const { return text_; }

private:
  void skipSpace()
  {
    while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_]) != nullptr && text_[at_] != '\0')
      ++at_;
  }

  // At an opening quote: past the closing one.
  bool skipString()
  {
    if (at_ >= text_.size() || text_[at_] != '"')
      return false;
    for (++at_; at_ < text_.size(); ++at_) {
      if (text_[at_] == '\\')
        ++at_;
      else if (text_[at_] == '"')
        return ++at_, true;
    }
    return false;
  }

  // Any value: a string, a nested object or array (its brackets counted,
  // strings skipped), or a bare word or number.
  bool skipValue()
  {
    if (at_ >= text_.size())
      return false;
    const char first = text_[at_];
    if (first == '"')
      return skipString();
    if (first == '{' || first == '[') {
      for (int depth = 0; at_ < text_.size();) {
        const char c = text_[at_];
        if (c == '"') {
          if (!skipString())
            return false;
          continue;
        }
        depth += (c == '{' || c == '[') ? 1 : (c == '}' || c == ']') ? -1 : 0;
        ++at_;
        if (depth == 0)
          return true;
      }
      return false;
    }
    const std::size_t from = at_;
    while (at_ < text_.size() && std::strchr(",}] \t\r\n", text_[at_]) == nullptr)
      ++at_;
    return at_ > from && at_ < text_.size();
  }

  const std::string& text_;
  std::size_t at_ = 0;
  std::size_t members_ = 0;
  bool open_ = false;
};

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

// The text of the JSON string whose quotes are at begin and end - 1; none
// for an escape that is not JSON's (a lone surrogate among them).
std::optional<std::string> decoded(const std::string& text, std::size_t begin, std::size_t end)
{
  std::string out;
  for (std::size_t at = begin + 1; at + 1 < end; ++at) {
    const char c = text[at];
    if (c != '\\') {
      out += c;
      continue;
    }
    const char kind = text[++at];
    const char* simple = std::strchr("\"\\/bfnrt", kind);
    if (simple != nullptr && kind != '\0') {
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

bool isIdKey(const std::string& text, const Member& member, std::size_t keyEnd)
{
  const std::size_t length = keyEnd - member.start;
  if (text.compare(member.start, length, std::string("\"") + idKey + "\"") == 0)
    return true;
  if (std::memchr(text.data() + member.start, '\\', length) == nullptr)
    return false;
  std::optional<std::string> key = decoded(text, member.start, keyEnd);
  return key && *key == idKey;
}

// End of a member's key: the closing quote's next byte.
std::size_t keyEndOf(const std::string& text, const Member& member)
{
  std::size_t at = member.start + 1;
  while (text[at] != '"')
    at += text[at] == '\\' ? 2 : 1;
  return at + 1;
}

// Why a decoded id cannot serve; empty when it can.
std::string problemOf(const std::string& id)
{
  if (id.empty())
    return "notification_id is empty";
  if (id.size() > notificationIdBytes)
    return "notification_id is longer than " + std::to_string(notificationIdBytes) + " bytes";
  if (!utf8::is_valid(id.begin(), id.end()))
    return "notification_id is not UTF-8";
  for (auto at = id.begin(); at != id.end();) {
    const auto code = utf8::next(at, id.end());
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F))
      return "notification_id has a control character";
  }
  return {};
}

// Whether the payload may name the member at all: its key is written out,
// or something is spelled with an escape.
bool mayName(const std::string& payload)
{
  return ::memmem(payload.data(), payload.size(), idKey, sizeof idKey - 1) != nullptr
      || ::memmem(payload.data(), payload.size(), "\\u", 2) != nullptr;
}

} // namespace

NotificationId notificationIdOf(const std::string& payload)
{
  NotificationId found;
  if (!mayName(payload))
    return found;
  TopLevel scan(payload);
  Member member;
  while (scan.next(member)) {
    if (!isIdKey(payload, member, keyEndOf(payload, member)))
      continue;
    if (found.kind != NotificationId::Kind::absent)
      return { NotificationId::Kind::invalid, "notification_id is given twice" };
    if (payload[member.valueStart] != '"') {
      found = { NotificationId::Kind::invalid, "notification_id is not a string" };
      continue;
    }
    std::optional<std::string> id = decoded(payload, member.valueStart, member.end);
    if (!id) {
      found = { NotificationId::Kind::invalid, "notification_id has an escape that is not JSON" };
      continue;
    }
    std::string problem = problemOf(*id);
    found = problem.empty() ? NotificationId { NotificationId::Kind::valid, std::move(*id) }
                            : NotificationId { NotificationId::Kind::invalid, std::move(problem) };
  }
  return found;
}

std::string withoutEmptyNotificationId(const std::string& payload)
{
  if (!mayName(payload))
    return payload;
  TopLevel scan(payload);
  Member member;
  std::optional<Member> empty;
  while (scan.next(member)) {
    if (member.end == member.valueStart + 2 && payload.compare(member.valueStart, 2, "\"\"") == 0
        && isIdKey(payload, member, keyEndOf(payload, member))) {
      empty = member;
      break;
    }
  }
  if (!empty)
    return payload;
  // The member goes with one comma: the one before it, or for the first
  // member the one after it.
  std::size_t from = empty->start, to = empty->end;
  if (empty->commaBefore) {
    from = *empty->commaBefore;
  } else {
    std::size_t after = to;
    while (after < payload.size() && std::strchr(" \t\r\n", payload[after]) != nullptr && payload[after] != '\0')
      ++after;
    if (after < payload.size() && payload[after] == ',')
      to = after + 1;
  }
  return payload.substr(0, from) + payload.substr(to);
}
