#include "intake/http_intake.h"

#include "core/text.h"

#include <json/json.h>

#include <algorithm>
#include <memory>

namespace {

NotificationBatch refused(NotificationBatch::Refusal refusal, std::string why)
{
  NotificationBatch batch;
  batch.refusal = refusal;
  batch.why = std::move(why);
  return batch;
}

// The bytes of one parsed value, as the sender wrote them.
std::string sourceOf(const std::string& body, const Json::Value& value)
{
  const std::size_t start = static_cast<std::size_t>(value.getOffsetStart());
  const std::size_t limit = static_cast<std::size_t>(value.getOffsetLimit());
  return limit > start && limit <= body.size() ? body.substr(start, limit - start) : std::string();
}

std::string compactJson(const Json::Value& value)
{
  Json::StreamWriterBuilder writer;
  writer["indentation"] = "";
  return Json::writeString(writer, value) + "\n";
}

HttpAnswer oneKeyAnswer(int status, const char* key, const std::string& text, int retryAfterSeconds)
{
  Json::Value body(Json::objectValue);
  body[key] = text;
  return HttpAnswer { status, compactJson(body), retryAfterSeconds };
}

} // namespace

NotificationBatch splitNotificationBatch(const std::string& raw, std::size_t itemBytes)
{
  // A log line of odd bytes must not cost its whole batch: they are
  // repaired as a WebSocket sender's are.
  const std::string body = validUtf8(raw);
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  // Notifications are flat: a deep document is refused before it costs stack.
  builder["stackLimit"] = 64;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value document;
  std::string errors;
  bool parsed = false;
  try {
    parsed = reader->parse(body.data(), body.data() + body.size(), &document, &errors);
  } catch (const std::exception& error) {
    errors = error.what();
  }
  if (!parsed)
    return refused(NotificationBatch::Refusal::notJson, "the body is not JSON: " + errors);
  NotificationBatch batch;
  if (document.isObject()) {
    batch.items.push_back(sourceOf(body, document));
  } else if (document.isArray()) {
    if (document.size() > httpBatchItems)
      return refused(NotificationBatch::Refusal::tooLarge,
          "more than " + std::to_string(httpBatchItems) + " notifications in one request");
    for (const Json::Value& item : document) {
      if (!item.isObject())
        return refused(NotificationBatch::Refusal::notJson, "an item of the array is not an object");
      batch.items.push_back(sourceOf(body, item));
    }
  } else {
    return refused(NotificationBatch::Refusal::notJson, "the body is neither an object nor an array of objects");
  }
  if (itemBytes > 0)
    for (const std::string& item : batch.items)
      if (item.size() > itemBytes)
        return refused(NotificationBatch::Refusal::tooLarge,
            "a notification is larger than " + std::to_string(itemBytes) + " bytes");
  return batch;
}

HttpAnswer batchAnswer(const std::vector<Outcome>& outcomes)
{
  HttpAnswer answer;
  Json::Value statuses(Json::arrayValue);
  bool sendAgain = false, stopping = false;
  std::size_t forbidden = 0;
  for (Outcome outcome : outcomes) {
    Json::Value status(Json::objectValue);
    status["status"] = outcomeName(outcome);
    statuses.append(std::move(status));
    sendAgain = sendAgain || outcome == Outcome::dropped || outcome == Outcome::shutdown;
    stopping = stopping || outcome == Outcome::shutdown;
    forbidden += outcome == Outcome::forbidden;
  }
  if (sendAgain) {
    answer.status = 503;
    // A full queue drains in moments; a stopping Receiver is back, or another
    // has taken over, a little later.
    answer.retryAfterSeconds = stopping ? 5 : 1;
  } else if (!outcomes.empty() && forbidden == outcomes.size()) {
    answer.status = 403;
  }
  answer.body = compactJson(statuses);
  return answer;
}

HttpAnswer errorAnswer(int status, const std::string& why) { return oneKeyAnswer(status, "error", why, 0); }

HttpAnswer statusAnswer(int status, const std::string& word, int retryAfterSeconds)
{
  return oneKeyAnswer(status, "status", word, retryAfterSeconds);
}

BatchReplies::BatchReplies(std::size_t count, std::function<void(std::vector<Outcome>)> done)
    : outcomes_(count, Outcome::shutdown)
    , answered_(count, false)
    , remaining_(count + 1)
    , done_(std::move(done))
{
}

void BatchReplies::send(std::uint64_t seq, Outcome outcome)
{
  {
    std::lock_guard<std::mutex> guard(lock_);
    // An item is answered once; anything else is not this request's.
    if (seq == 0 || seq > outcomes_.size() || answered_[seq - 1])
      return;
    answered_[seq - 1] = true;
    outcomes_[seq - 1] = outcome;
  }
  countDown();
}

void BatchReplies::seal() { countDown(); }

void BatchReplies::countDown()
{
  if (remaining_.fetch_sub(1) != 1)
    return;
  std::vector<Outcome> outcomes;
  {
    std::lock_guard<std::mutex> guard(lock_);
    outcomes.swap(outcomes_);
  }
  done_(std::move(outcomes));
}
