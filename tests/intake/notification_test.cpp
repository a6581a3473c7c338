#include "intake/http_intake.h"
#include "intake/http_routes.h"
#include "intake/notification_id.h"
#include "intake/notification_queue.h"
#include "intake/throttled_report.h"

#include "core/lock_guarded.h"
#include "tests/intake/intake_harness.h"

#include <gtest/gtest.h>

#include <map>
#include <numeric>
#include <thread>

namespace {

using Kind = NotificationId::Kind;

TEST(NotificationIdTest, ReadFromTheTopLevelByTheRulesOfAnId)
{
  const std::string longest(128, 'x');
  const struct {
    std::string payload;
    Kind kind;
    std::string value {};
  } cases[] = { { R"({"fromhost":"fw01","notification_id":"a1","message":"x"})", Kind::valid, "a1" },
    { R"({ "notification_id" : "9c/é b" })", Kind::valid, "9c/\xc3\xa9 b" },
    // Escapes in the key or the value are read as JSON reads them.
    { R"({"notification\u005fid":"a\"b\\c\/d"})", Kind::valid, "a\"b\\c/d" },
    { R"({"notification_id":"\ud83d\ude00"})", Kind::valid, "\xf0\x9f\x98\x80" },
    { "{\"notification_id\":\"" + longest + "\"}", Kind::valid, longest },
    // Only the top level counts, strings included.
    { R"({"message":"notification_id","data":{"notification_id":"inner"},"list":["notification_id"]})", Kind::absent },
    { R"(["notification_id","x"])", Kind::absent }, { "not json notification_id", Kind::absent },
    { R"({"fromhost":"fw01"})", Kind::absent },
    // A member complete before a break (a cut, a missing comma) still counts; one cut in its middle does not.
    { R"({"notification_id":"early","message":"cut)", Kind::valid, "early" },
    { R"({"notification_id":"early" "message":"x"})", Kind::valid, "early" },
    { R"({"message":"x","notification_id":"cu)", Kind::absent },
    { R"({"notification_id":""})", Kind::invalid, "notification_id is empty" },
    { R"({"notification_id":7})", Kind::invalid, "notification_id is not a string" },
    { R"({"notification_id":null})", Kind::invalid, "notification_id is not a string" },
    { R"({"notification_id":["a"]})", Kind::invalid, "notification_id is not a string" },
    { "{\"notification_id\":\"" + longest + "y\"}", Kind::invalid, "notification_id is longer than 128 bytes" },
    { R"({"notification_id":"a\u0000b"})", Kind::invalid, "notification_id has a control character" },
    { R"({"notification_id":"a\tb"})", Kind::invalid, "notification_id has a control character" },
    { "{\"notification_id\":\"a\xc2\x85\"}", Kind::invalid, "notification_id has a control character" },
    { "{\"notification_id\":\"a\xff\"}", Kind::invalid, "notification_id is not UTF-8" },
    { R"({"notification_id":"\ud83d"})", Kind::invalid, "notification_id has an escape that is not JSON" },
    { R"({"notification_id":"a","notification_id":"a"})", Kind::invalid, "notification_id is given twice" } };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    NotificationId id = notificationIdOf(c.payload);
    EXPECT_EQ(id.kind, c.kind);
    EXPECT_EQ(id.value, c.value);
  }
}

TEST(NotificationIdTest, AnEmptyIdIsLeftOutAndNothingElseChanges)
{
  const std::pair<std::string, std::string> cases[]
      = { { R"({"a":1, "notification_id":"", "b":2})", R"({"a":1, "b":2})" },
          { R"({"notification_id":"" , "b":2})", R"({ "b":2})" }, { R"({"a":1,"notification_id":""})", R"({"a":1})" },
          { R"({"notification_id":""})", R"({})" },
          { R"({"a":1,"notification_id":"x"})", R"({"a":1,"notification_id":"x"})" },
          { R"({"m":{"notification_id":""}})", R"({"m":{"notification_id":""}})" } };
  for (const auto& [payload, sent] : cases)
    EXPECT_EQ(withoutEmptyNotificationId(payload), sent) << payload;
}

// Collects the answers given on one channel, by message number.
struct Answers : ReplyChannel {
  void send(std::uint64_t seq, Outcome outcome) override { got.lock()->emplace(seq, outcome); }
  LockGuarded<std::map<std::uint64_t, Outcome>> got;
};

// A copy (the same id from the same host) joins the notification while it waits or is handled and gets its answer,
// whatever that is; once applied, a copy is answered at once until the window has passed; another host's, or one
// without an id, is a notification of its own.
TEST(NotificationQueueTest, CopiesJoinTheirOriginalOrAreKnownApplied)
{
  NotificationQueue queue;
  std::atomic<bool> stop { false };
  auto answers = std::make_shared<Answers>();
  std::uint64_t seq = 0;
  auto offer = [&](NotificationQueue& to, const std::string& host, const std::string& id, std::size_t limit = 0) {
    Notification item { host, "text", answers, ++seq };
    item.id = id;
    return to.offer(std::move(item), limit).result;
  };
  using Offer = NotificationQueue::Offer;
  EXPECT_EQ(offer(queue, "fw01", "a"), Offer::queued); // 1
  EXPECT_EQ(offer(queue, "fw01", "a"), Offer::attached); // 2
  EXPECT_EQ(offer(queue, "fw02", "a"), Offer::queued); // 3
  EXPECT_EQ(offer(queue, "fw01", ""), Offer::queued); // 4
  EXPECT_EQ(offer(queue, "fw01", ""), Offer::queued); // 5
  std::optional<NotificationQueue::Lease> taken = queue.take(stop);
  ASSERT_TRUE(taken && taken->item().seq == 1);
  EXPECT_EQ(offer(queue, "fw01", "a"), Offer::attached); // 6: while it is handled
  taken->item().answer(Outcome::duplicate);
  taken->finish(Outcome::duplicate);
  EXPECT_EQ(offer(queue, "fw01", "a"), Offer::applied); // 7
  EXPECT_EQ(queue.size(), 3u);
  EXPECT_EQ(answers->got.copy(),
      (std::map<std::uint64_t, Outcome> {
          { 1, Outcome::duplicate }, { 2, Outcome::duplicate }, { 6, Outcome::duplicate } }));
  // A full queue drops the newest of the busiest host with its copies; what it refuses, and what ends otherwise than
  // applied, leaves no record, so a later copy is new.
  EXPECT_EQ(offer(queue, "fw01", "b"), Offer::queued); // 8
  EXPECT_EQ(offer(queue, "fw01", "b"), Offer::attached); // 9
  NotificationQueue::Offered offered = queue.offer({ "fw03", "text", answers, ++seq }, 4); // 10
  ASSERT_TRUE(offered.dropped);
  EXPECT_EQ(offered.dropped->seq, 8u);
  ASSERT_EQ(offered.dropped->copies.size(), 1u);
  EXPECT_EQ(offered.dropped->copies[0].seq, 9u);
  EXPECT_EQ(offer(queue, "fw01", "b"), Offer::queued); // 11
  taken = queue.take(stop); // 3 (fw02)
  ASSERT_TRUE(taken && taken->item().seq == 3);
  taken->finish(Outcome::shutdown);
  EXPECT_EQ(offer(queue, "fw02", "a"), Offer::queued); // 12
  // What the stop leaves carries its copies.
  EXPECT_EQ(offer(queue, "fw02", "a"), Offer::attached); // 13
  std::deque<Notification> left = queue.close();
  EXPECT_EQ(left.size(), 5u);
  EXPECT_EQ(std::accumulate(left.begin(), left.end(), std::size_t { 0 },
                [](std::size_t copies, const Notification& item) { return copies + item.copies.size(); }),
      1u);
  // An applied id is forgotten after the window.
  NotificationQueue brief;
  brief.setResendWindow(0s);
  EXPECT_EQ(offer(brief, "fw01", "z"), Offer::queued);
  brief.take(stop)->finish(Outcome::stored);
  std::this_thread::sleep_for(5ms);
  EXPECT_EQ(offer(brief, "fw01", "z"), Offer::queued);
  // A lease that ends without an outcome lets its host go all the same.
  NotificationQueue leased;
  leased.push({ "fw09", "one" });
  leased.push({ "fw09", "two" });
  EXPECT_EQ(leased.take(stop)->item().message, "one");
  taken = leased.takeFor(stop, 0ms);
  ASSERT_TRUE(taken);
  EXPECT_EQ(taken->item().message, "two");
}

// At most one line a second per key, however late the timer of a burst's end runs: an event that comes once the
// second has passed but before the timer has run is its, not a line of its own.
TEST(ThrottledReportTest, OneLineASecondEvenWhenItsTimerRunsLate)
{
  boost::asio::io_service loop;
  LogCapture capture;
  auto now = std::chrono::steady_clock::now();
  ThrottledReport report(
      loop,
      [](const std::string& key, const std::string& detail, std::size_t count) {
        return key + " " + detail + " " + std::to_string(count);
      },
      [&now] { return now; });
  report.count("k", "a");
  // The timer is armed a millisecond before the second ends, then the clock passes it.
  now += 999ms;
  report.count("k", "b");
  now += 101ms;
  report.count("k", "c");
  report.count("k", "d");
  EXPECT_EQ(loop.run_one_for(5s), 1u);
  report.count("k", "e");
  EXPECT_EQ(countOf(capture.text(), "#ERR#k "), 2u) << capture.text();
  EXPECT_NE(capture.text().find("#ERR#k d 3\n"), std::string::npos) << capture.text();
}

// Each request goes where its method and path say; a health check during a stop is not held for the database.
TEST(HttpRoutesTest, MethodPathAndHeadersDecideTheAnswer)
{
  using Next = HttpRoute::Next;
  const struct {
    HttpRequestSummary request;
    Next next;
    int status, retryAfter = 0;
    std::string allow {};
  } cases[] = { { { "POST", "/v1/notifications", "", "application/json" }, Next::takeBatch, 200 },
    { { "POST", "/v1/notifications?x=1", "", "application/json; charset=utf-8" }, Next::takeBatch, 200 },
    { { "GET", "/v1/notifications", "", "" }, Next::answer, 405, 0, "POST" },
    { { "POST", "/v1/health", "", "" }, Next::answer, 405, 0, "GET" }, { { "GET", "/", "", "" }, Next::answer, 404 },
    { { "GET", "/v1/health/", "", "" }, Next::answer, 404 },
    { { "GET", "/v1/health?verbose", "", "" }, Next::answer, 200 },
    { { "GET", "/v1/health", "", "", false, true }, Next::checkDatabase, 200 },
    { { "GET", "/v1/health", "", "", true, true }, Next::answer, 503, 5 },
    { { "POST", "/v1/notifications", "", "text/plain" }, Next::answer, 415 },
    { { "POST", "/v1/notifications", "chunked", "application/json" }, Next::answer, 411 } };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.request.method + " " + c.request.target + " " + c.request.contentType);
    const HttpRoute route = routeHttp(c.request);
    EXPECT_EQ(route.next, c.next);
    EXPECT_EQ(route.answer.status, c.status);
    EXPECT_EQ(route.allow, c.allow);
    EXPECT_EQ(route.answer.retryAfterSeconds, c.retryAfter);
  }
  EXPECT_EQ(routeHttp({ "GET", "/v1/health", "", "" }).answer.body, "{\"status\":\"ok\"}\n");
}

// A body splits into its items as the sender wrote them, or is refused whole; the items' outcomes, which come in any
// order and from any thread, make one answer once the request is sealed.
TEST(HttpBatchTest, BodiesSplitIntoTheirItemsAndOutcomesMakeOneAnswer)
{
  using Refusal = NotificationBatch::Refusal;
  const std::string many = "[{}" + repeated(",{}", httpBatchItems),
                    values = R"([{"m":[0)" + repeated(",0", httpItemValues);
  const std::string big = R"({"m":")" + std::string(300, 'x') + "\"}";
  const struct {
    std::string body;
    Refusal refusal;
    std::vector<std::string> items {};
    std::size_t itemBytes = 0;
  } bodies[]
      = { { " {\"fromhost\":\"h1\", \"m\":\"d\xe9own\"}\n", Refusal::none, { R"({"fromhost":"h1", "m":"d own"})" } },
          { R"([{"b":1,"a":"]"} , {"c":[{}]}])", Refusal::none, { R"({"b":1,"a":"]"})", R"({"c":[{}]})" } },
          { "[]", Refusal::none }, { big, Refusal::none, { big } }, { big, Refusal::tooLarge, {}, 300 },
          { many + "]", Refusal::tooLarge }, { values + "]}]", Refusal::tooLarge },
          { R"({"fromhost":"h1")", Refusal::notJson }, { R"([{"fromhost":"h1"},3])", Refusal::notJson },
          { R"({"fromhost":"h1"} {})", Refusal::notJson },
          { std::string(100, '[') + std::string(100, ']'), Refusal::notJson },
          { "[" + std::string(1000, '{') + "]", Refusal::notJson } };
  for (const auto& c : bodies) {
    SCOPED_TRACE(c.body.substr(0, 40));
    const NotificationBatch batch = splitNotificationBatch(c.body, c.itemBytes);
    EXPECT_EQ(batch.refusal, c.refusal) << batch.why;
    EXPECT_EQ(batch.items, c.items);
  }
  using O = Outcome;
  // Items, outcomes sent (in this order, the request sealed after the first), status, Retry-After, body.
  const std::tuple<std::size_t, std::vector<std::pair<std::uint64_t, Outcome>>, int, int, std::string> answers[] = {
    { 3, { { 2, O::rejected }, { 1, O::stored }, { 3, O::ignored } }, 200, 0,
        R"([{"status":"stored"},{"status":"rejected"},{"status":"ignored"}])" },
    // An item answered twice, or one not in the request, changes nothing.
    { 2, { { 1, O::dropped }, { 1, O::stored }, { 4, O::stored }, { 0, O::stored }, { 2, O::stored } }, 503, 1,
        R"([{"status":"dropped"},{"status":"stored"}])" },
    { 2, { { 1, O::shutdown }, { 2, O::dropped } }, 503, 5, R"([{"status":"shutdown"},{"status":"dropped"}])" },
    { 2, { { 1, O::forbidden }, { 2, O::forbidden } }, 403, 0, R"([{"status":"forbidden"},{"status":"forbidden"}])" },
    { 2, { { 2, O::forbidden }, { 1, O::stored } }, 200, 0, R"([{"status":"stored"},{"status":"forbidden"}])" }
  };
  for (const auto& [items, sent, status, retryAfter, body] : answers) {
    std::vector<HttpAnswer> got;
    BatchReplies replies(items, [&](std::vector<Outcome> outcomes) { got.push_back(batchAnswer(outcomes)); });
    for (std::size_t i = 0; i < sent.size(); ++i) {
      if (i == 1)
        replies.seal();
      EXPECT_TRUE(got.empty()) << "answered before every item had its outcome";
      replies.send(sent[i].first, sent[i].second);
    }
    ASSERT_EQ(got.size(), 1u) << body;
    EXPECT_EQ(got[0].status, status) << body;
    EXPECT_EQ(got[0].retryAfterSeconds, retryAfter) << body;
    EXPECT_EQ(got[0].body, body + "\n");
  }
  EXPECT_EQ(batchAnswer({}).body, "[]\n");
}

} // namespace
