#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

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
};

// The word a reply carries for an outcome.
const char* outcomeName(Outcome outcome);

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

  // Tells the sender how its notification ended; nothing on a one-way
  // connection.
  void answer(Outcome outcome) const
  {
    if (replyTo)
      replyTo->send(seq, outcome);
  }
};
