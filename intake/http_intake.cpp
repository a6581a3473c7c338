#include "intake/http_intake.h"

#include "core/text.h"
#include "intake/json_scan.h"

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

namespace {

using Span = std::pair<std::size_t, std::size_t>;

NotificationBatch notJson(const std::string& why)
{
  return refused(NotificationBatch::Refusal::notJson, "the body is not JSON: " + why);
}

// The item at the scan's '{', within the limits: its span is added, or the
// refusal is returned.
std::optional<NotificationBatch> scanItem(JsonScan& scan, std::size_t itemBytes, std::vector<Span>& spans)
{
  if (spans.size() == httpBatchItems)
    return refused(NotificationBatch::Refusal::tooLarge,
        "more than " + std::to_string(httpBatchItems) + " notifications in one request");
  const std::size_t start = scan.at();
  std::size_t depth = 0, values = 0;
  if (!scan.skipValue(&depth, &values))
    return notJson("an item does not end");
  if (depth > httpItemDepth)
    return notJson("an item nests deeper than " + std::to_string(httpItemDepth));
  if (values > httpItemValues)
    return refused(NotificationBatch::Refusal::tooLarge,
        "a notification holds more than " + std::to_string(httpItemValues) + " values");
  if (itemBytes > 0 && scan.at() - start > itemBytes)
    return refused(
        NotificationBatch::Refusal::tooLarge, "a notification is larger than " + std::to_string(itemBytes) + " bytes");
  spans.emplace_back(start, scan.at());
  return std::nullopt;
}

// The items' spans, found by a scan so that the limits apply before anything
// is built; the refusal when the body breaks one.
std::optional<NotificationBatch> scanItems(const std::string& body, std::size_t itemBytes, std::vector<Span>& spans)
{
  JsonScan scan(body);
  scan.skipSpace();
  const bool list = scan.peek() == '[';
  if (scan.peek() != '{' && !list)
    return refused(NotificationBatch::Refusal::notJson, "the body is neither an object nor an array of objects");
  if (list)
    scan.take('[');
  scan.skipSpace();
  if (!list || !scan.take(']')) {
    do {
      scan.skipSpace();
      if (scan.peek() != '{')
        return refused(NotificationBatch::Refusal::notJson, "an item of the array is not an object");
      if (std::optional<NotificationBatch> refusal = scanItem(scan, itemBytes, spans))
        return refusal;
    } while (list && scan.take(','));
    if (list && !scan.take(']'))
      return notJson("the array does not end");
  }
  scan.skipSpace();
  if (!scan.atEnd())
    return notJson("more follows the value");
  return std::nullopt;
}

} // namespace

NotificationBatch splitNotificationBatch(const std::string& raw, std::size_t itemBytes)
{
  // A log line of odd bytes must not cost its whole batch: they are
  // repaired as a WebSocket sender's are.
  const std::string body = validUtf8(raw);
  // The items are found by a scan first; then each is parsed alone, to be
  // sure it is JSON.
  std::vector<Span> spans;
  if (std::optional<NotificationBatch> refusal = scanItems(body, itemBytes, spans))
    return *refusal;
  Json::CharReaderBuilder builder;
  Json::CharReaderBuilder::strictMode(&builder.settings_);
  builder["stackLimit"] = static_cast<int>(httpItemDepth) + 1;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  NotificationBatch batch;
  for (const auto& [start, end] : spans) {
    Json::Value item;
    std::string errors;
    bool parsed = false;
    try {
      parsed = reader->parse(body.data() + start, body.data() + end, &item, &errors);
    } catch (const std::exception& error) {
      errors = error.what();
    }
    if (!parsed)
      return notJson(errors);
    batch.items.push_back(body.substr(start, end - start));
  }
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

std::optional<HttpAnswer> headersRefusal(const std::string& transferEncoding, const std::string& contentType)
{
  if (!transferEncoding.empty())
    return errorAnswer(411, "the body needs a Content-Length");
  std::string type = contentType.substr(0, contentType.find(';'));
  type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
  std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
  if (type != "application/json")
    return errorAnswer(415, "the body must be application/json");
  return std::nullopt;
}

HttpAnswer errorAnswer(int status, const std::string& why) { return oneKeyAnswer(status, "error", why, 0); }

HttpAnswer statusAnswer(int status, const std::string& word, int retryAfterSeconds)
{
  return oneKeyAnswer(status, "status", word, retryAfterSeconds);
}

BatchReplies::BatchReplies(std::size_t count, std::function<void(std::vector<Outcome>)> done)
    : outcomes_(Outcomes { std::vector<Outcome>(count, Outcome::shutdown), std::vector<bool>(count, false) })
    , remaining_(count + 1)
    , done_(std::move(done))
{
}

void BatchReplies::send(std::uint64_t seq, Outcome outcome)
{
  {
    auto outcomes = outcomes_.lock();
    // An item is answered once; anything else is not this request's.
    if (seq == 0 || seq > outcomes->each.size() || outcomes->answered[seq - 1])
      return;
    outcomes->answered[seq - 1] = true;
    outcomes->each[seq - 1] = outcome;
  }
  countDown();
}

void BatchReplies::seal() { countDown(); }

void BatchReplies::countDown()
{
  if (remaining_.fetch_sub(1) != 1)
    return;
  std::vector<Outcome> outcomes;
  outcomes.swap(outcomes_.lock()->each);
  done_(std::move(outcomes));
}
