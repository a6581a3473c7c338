#include "intake/notification_id.h"

#include "intake/json_scan.h"

#include <utf8.h>

#include <cstring>
#include <optional>

namespace {

const char idKey[] = "notification_id";

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
  JsonMembers members(payload);
  JsonMember member;
  while (members.next(member)) {
    if (!members.keyIs(member, idKey))
      continue;
    if (found.kind != NotificationId::Kind::absent)
      return { NotificationId::Kind::invalid, "notification_id is given twice" };
    if (payload[member.valueStart] != '"') {
      found = { NotificationId::Kind::invalid, "notification_id is not a string" };
      continue;
    }
    std::optional<std::string> id = jsonStringText(payload, member.valueStart, member.end);
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
  JsonMembers members(payload);
  JsonMember member;
  std::optional<JsonMember> empty;
  while (members.next(member)) {
    if (member.end == member.valueStart + 2 && payload.compare(member.valueStart, 2, "\"\"") == 0
        && members.keyIs(member, idKey)) {
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
    JsonScan after(payload, to);
    if (after.take(','))
      to = after.at();
  }
  return payload.substr(0, from) + payload.substr(to);
}
