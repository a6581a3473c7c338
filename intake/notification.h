#pragma once

#include "core/metrics.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// How the handling of one notification ended, as told to a sender that asked
// for acknowledgements.
enum class Outcome {
  // The state row is written; its occurrences and alert are done.
  stored,
  // Nothing to do: no syslog service for the host, or no usable "fromhost".
  ignored,
  // The database refused a statement of the record (logged).
  rejected,
  // The queue was full.
  dropped,
  // The Receiver stopped before handling it.
  shutdown,
  // The sender may not report for this host.
  forbidden,
  // A copy of a notification already applied (the same notification_id for
  // the same service): nothing was done again. Its sender is told "stored",
  // since for the sender it is.
  duplicate,
};

// The word a reply carries for an outcome.
const char* outcomeName(Outcome outcome);
// The outcome's own name, for counting and tracing ("duplicate" where the
// reply says "stored").
const char* outcomeLabel(Outcome outcome);

// The WebSocket subprotocol a sender offers first to get one reply per
// message once its handling has ended.
inline constexpr const char* ackSubprotocol = "quelm.ack.v1";

// The reply to message number seq: {"seq":N,"status":"WORD"}.
std::string replyText(std::uint64_t seq, Outcome outcome);

// Where the outcomes of one connection's messages go. Implemented by the
// listener for connections that asked for acknowledgements; send never
// blocks and may be called from any thread.
class ReplyChannel {
public:
  virtual ~ReplyChannel() = default;
  virtual void send(std::uint64_t seq, Outcome outcome) = 0;
};

// Where one answer goes: a connection's channel and the message's number
// on it.
struct ReplyAddress {
  std::shared_ptr<ReplyChannel> replyTo;
  std::uint64_t seq = 0;
};

// One received notification, carried from the network side to the workers.
struct Notification {
  // The message's "fromhost", or "daemonbadhost" when it has none.
  std::string host;
  // The whole payload as received.
  std::string message;
  // Set when the sender asked for acknowledgements: the connection's channel
  // and the message's number on it (from 1).
  std::shared_ptr<ReplyChannel> replyTo {};
  std::uint64_t seq = 0;
  // When the listener took it, for the time-to-stored figure (set only when
  // the daemon counts).
  std::chrono::steady_clock::time_point received {};
  // The sender's notification_id; empty when it gave none.
  std::string id {};
  // Copies of it (the same id from the same host) that came while it waited
  // or was handled: each gets its answer.
  std::vector<ReplyAddress> copies {};

  // Tells the sender, and the senders of its copies, how the notification
  // ended; nothing on a one-way connection.
  void answer(Outcome outcome) const
  {
    if (replyTo)
      replyTo->send(seq, outcome);
    for (const ReplyAddress& copy : copies)
      if (copy.replyTo)
        copy.replyTo->send(copy.seq, outcome);
  }
};

// Counts an answered notification under its outcome, and each of its copies:
// a copy of a stored one as a duplicate, any other under the same outcome.
void countAnswered(Metrics* metrics, const Notification& item, Outcome outcome);
// The copies alone.
void countCopies(Metrics* metrics, const Notification& item, Outcome outcome);
