#pragma once

#include "core/lock_guarded.h"
#include "intake/notification.h"

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// Most notifications one HTTPS request may carry, and the largest body it
// may have (or the largest message, when that is larger): beyond either the
// whole request is refused with 413 and nothing of it is queued.
inline constexpr std::size_t httpBatchItems = 1000;
inline constexpr std::size_t httpBodyBytes = std::size_t { 16 } << 20;
// One notification of a request nests at most this deep and holds at most
// this many values: beyond, the request is refused before anything of it is
// built (400 and 413).
inline constexpr std::size_t httpItemDepth = 64;
inline constexpr std::size_t httpItemValues = 10000;
// Bodies larger than this are parsed at most two at a time; a third waits
// for a 503.
inline constexpr std::size_t httpLargeBody = std::size_t { 1 } << 20;
inline constexpr int httpLargeParses = 2;

// A request body split into its notifications.
struct NotificationBatch {
  enum class Refusal { none, notJson, tooLarge };
  Refusal refusal = Refusal::none;
  // Why, for the answer's body.
  std::string why;
  // Each notification as the bytes the sender wrote (no re-encoding, keys
  // in their order), for the plugin's input.
  std::vector<std::string> items;
};

// One JSON object, or an array of objects; each invalid UTF-8 sequence is
// first replaced by a space. An item above itemBytes (0: no bound), deeper
// than httpItemDepth or with more than httpItemValues values, or more than
// httpBatchItems of them, refuses the whole body, found by a scan before
// anything is parsed; then each item is parsed alone.
NotificationBatch splitNotificationBatch(const std::string& body, std::size_t itemBytes);

// What an HTTPS request is answered.
struct HttpAnswer {
  int status = 200;
  std::string body;
  // Retry-After in seconds; 0: no such header.
  int retryAfterSeconds = 0;
};

// The answer to a batch once every item has its outcome: the statuses as a
// JSON array in order; 200 when all are final, 503 when one was dropped or
// came during a stop (the caller sends the request again), 403 when the
// sender may report for none of them.
HttpAnswer batchAnswer(const std::vector<Outcome>& outcomes);

// The answer to a notifications request whose headers do not do: a chunked
// body, which the library would read as empty (411), or a type other than
// JSON (415); none when they do.
std::optional<HttpAnswer> headersRefusal(const std::string& transferEncoding, const std::string& contentType);

// An answer with a message of its own: {"error":"WHY"}.
HttpAnswer errorAnswer(int status, const std::string& why);
// The health answer: {"status":"WORD"}.
HttpAnswer statusAnswer(int status, const std::string& word, int retryAfterSeconds = 0);

// Collects the outcomes of one request's notifications (numbered from 1)
// from whichever threads end them; once each has one and the request has
// been sealed, done gets them, once, on the thread of the last.
class BatchReplies : public ReplyChannel {
public:
  BatchReplies(std::size_t count, std::function<void(std::vector<Outcome>)> done);

  void send(std::uint64_t seq, Outcome outcome) override;
  // Every item has been handed out: from now the last outcome ends the
  // request.
  void seal();

private:
  void countDown();

  struct Outcomes {
    std::vector<Outcome> each;
    std::vector<bool> answered;
  };
  LockGuarded<Outcomes> outcomes_;
  // Items without an outcome, plus one until sealed.
  std::atomic<std::size_t> remaining_;
  std::function<void(std::vector<Outcome>)> done_;
};
