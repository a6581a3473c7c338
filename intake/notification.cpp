#include "intake/notification.h"

const char* outcomeName(Outcome outcome) { return outcome == Outcome::duplicate ? "stored" : outcomeLabel(outcome); }

const char* outcomeLabel(Outcome outcome)
{
  switch (outcome) {
  case Outcome::stored:
    return "stored";
  case Outcome::duplicate:
    return "duplicate";
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

namespace {

prometheus::Counter* Metrics::*counterOf(Outcome outcome)
{
  switch (outcome) {
  case Outcome::stored:
    return &Metrics::stored;
  case Outcome::duplicate:
    return &Metrics::duplicate;
  case Outcome::ignored:
    return &Metrics::ignored;
  case Outcome::rejected:
    return &Metrics::rejected;
  case Outcome::dropped:
    return &Metrics::dropped;
  case Outcome::forbidden:
    return &Metrics::forbidden;
  case Outcome::shutdown:
    break;
  }
  return &Metrics::shutdown;
}

} // namespace

void countAnswered(Metrics* metrics, const Notification& item, Outcome outcome)
{
  count(metrics, counterOf(outcome));
  countCopies(metrics, item, outcome);
}

void countCopies(Metrics* metrics, const Notification& item, Outcome outcome)
{
  const Outcome ofCopies = outcome == Outcome::stored ? Outcome::duplicate : outcome;
  for (std::size_t i = 0; i < item.copies.size(); ++i)
    count(metrics, counterOf(ofCopies));
}
