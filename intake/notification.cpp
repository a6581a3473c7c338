#include "intake/notification.h"

const char* outcomeName(Outcome outcome)
{
  switch (outcome) {
  case Outcome::stored:
    return "stored";
  case Outcome::ignored:
    return "ignored";
  case Outcome::rejected:
    return "rejected";
  case Outcome::dropped:
    return "dropped";
  case Outcome::shutdown:
    return "shutdown";
  case Outcome::forbidden:
    return "forbidden";
  }
  return "unknown";
}

std::string replyText(std::uint64_t seq, Outcome outcome)
{
  return "{\"seq\":" + std::to_string(seq) + ",\"status\":\"" + outcomeName(outcome) + "\"}";
}
