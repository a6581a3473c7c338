#pragma once

#include <string>

// The host a message names: its "fromhost" member converted to text (a
// string as is, a number in decimal, true/false, null as ""), or
// "daemonbadhost" when the payload is not JSON, is not an object, lacks the
// member, or the member is an object or an array. A truncated object whose
// "fromhost" was complete before the break still gives that host. Never
// throws for any payload.
std::string hostFromPayload(const std::string& payload);
