#pragma once

#include <cstddef>
#include <string>

// The "notification_id" member at the top level of a notification's object:
// the sender's name for one notification, the same in every copy it sends,
// so that a copy is recognised and applied once.
struct NotificationId {
  enum class Kind {
    // No such member (or the payload is not an object).
    absent,
    valid,
    // A member that is not a usable id: value says why.
    invalid,
  };
  Kind kind = Kind::absent;
  // The id's text (escapes decoded), or why it is refused.
  std::string value;
};

// Longest id, in bytes of UTF-8.
inline constexpr std::size_t notificationIdBytes = 128;

// Reads the id with a scan of the payload's top level: no tree is built, and
// a payload that does not name it costs one search. A usable id is a JSON
// string of 1 to notificationIdBytes bytes of UTF-8 without control
// characters; any other value, or the member given twice, is invalid. As
// with the host, a member complete before a break in the JSON still counts.
NotificationId notificationIdOf(const std::string& payload);

// The payload without a "notification_id" member whose value is the empty
// string: what a bridge sends when its template had no id to give. Any other
// payload comes back unchanged.
std::string withoutEmptyNotificationId(const std::string& payload);
