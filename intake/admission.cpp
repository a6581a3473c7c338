#include "intake/admission.h"

#include "core/log.h"
#include "intake/notification_id.h"
#include "intake/payload_host.h"

Admission::Admission(
    const ListenerSettings& settings, NotificationQueue& queue, boost::asio::io_service& io, bool trace)
    : settings_(settings)
    , queue_(queue)
    , trace_(trace)
    , drops_(io,
          [limit = std::to_string(settings.queueLimit)](
              const std::string&, const std::string& host, std::size_t count) {
            return "SyslogServer#queue full (" + limit + "), notification from " + logSafe(host) + " dropped; "
                + std::to_string(count) + " dropped since the last report";
          })
    , refusals_(io,
          [](const std::string& identity, const std::string& host, std::size_t count) {
            return "SyslogServer#sender \"" + logSafe(identity) + "\" may not report for " + logSafe(host)
                + ", notification refused; " + std::to_string(count) + " refused since the last report";
          })
    , stopRefusals_(io,
          [](const std::string&, const std::string& host, std::size_t count) {
            return "notification from " + logSafe(host) + " not handled, the Receiver is stopping; "
                + std::to_string(count) + " refused since the last report";
          })
    , badIds_(io, [](const std::string&, const std::string& detail, std::size_t count) {
      return "SyslogServer#notification refused, " + detail + "; " + std::to_string(count)
          + " refused since the last report";
    })
{
}

void Admission::cancelReports()
{
  for (ThrottledReport* report : { &drops_, &refusals_, &stopRefusals_, &badIds_ })
    report->cancel();
}

bool Admission::screen(Notification& item, const std::string& identity)
{
  if (!settings_.senders.allows(identity, item.host)) {
    ++forbidden_;
    count(settings_.metrics, &Metrics::forbidden);
    refusals_.count(identity, item.host);
    item.answer(Outcome::forbidden);
    return false;
  }
  // An id that cannot serve is refused rather than ignored: its sender
  // counts on copies being recognised.
  NotificationId id = notificationIdOf(item.message);
  if (id.kind == NotificationId::Kind::invalid) {
    count(settings_.metrics, &Metrics::rejected);
    badIds_.count(std::string(), "from " + logSafe(item.host) + ": " + id.value);
    item.answer(Outcome::rejected);
    return false;
  }
  if (id.kind == NotificationId::Kind::valid)
    item.id = std::move(id.value);
  if (trace_)
    trace("th_listener#PUSH NOTIF#");
  return true;
}

bool Admission::settle(NotificationQueue::Offer result, const Notification& item)
{
  switch (result) {
  case NotificationQueue::Offer::queued:
    break;
  case NotificationQueue::Offer::attached:
  case NotificationQueue::Offer::applied:
    // A copy: of one still waiting or handled, it gets that one's answer
    // with it; of one already applied, it is answered at once.
    if (trace_)
      trace("th_listener#copy of notification " + logSafe(item.id) + " from " + logSafe(item.host)
          + (result == NotificationQueue::Offer::applied ? ": already applied" : ": joins the one waiting"));
    if (result == NotificationQueue::Offer::applied) {
      count(settings_.metrics, &Metrics::duplicate);
      item.answer(Outcome::duplicate);
    }
    break;
  case NotificationQueue::Offer::full:
    count(settings_.metrics, &Metrics::dropped);
    drops_.count(std::string(), item.host);
    item.answer(Outcome::dropped);
    break;
  case NotificationQueue::Offer::closed:
    // The Receiver is stopping: nobody will handle it. A sender that
    // gets no answers learns it from the close.
    count(settings_.metrics, &Metrics::shutdown);
    stopRefusals_.count(std::string(), item.host);
    if (!item.replyTo)
      return false;
    item.answer(Outcome::shutdown);
    break;
  }
  return true;
}

bool Admission::admit(Notification&& item, const std::string& identity)
{
  if (!screen(item, identity))
    return true;
  // Offered as a copy, so that what the queue does not take is still here
  // to answer; the payload itself is moved.
  Notification kept { item.host, std::string(), item.replyTo, item.seq };
  kept.id = item.id;
  NotificationQueue::Offered offered = queue_.offer(std::move(item), settings_.queueLimit);
  if (offered.dropped) {
    // Queued in place of the newest of the host with the most waiting.
    countAnswered(settings_.metrics, *offered.dropped, Outcome::dropped);
    drops_.count(std::string(), offered.dropped->host);
    offered.dropped->answer(Outcome::dropped);
  }
  return settle(offered.result, kept);
}

void Admission::admitBatch(
    std::vector<std::string>& texts, const std::shared_ptr<ReplyChannel>& replies, const std::string& identity)
{
  // The batch is queued whole or not at all: a batch sent again after a 503
  // finds none of its items queued by the earlier try.
  std::uint64_t seq = 0;
  std::vector<Notification> admitted;
  for (std::string& text : texts) {
    if (trace_)
      trace("THREAD SyslogServer#on_http item:" + logSafe(text));
    Notification item { hostFromPayload(text), std::move(text), replies, ++seq };
    if (settings_.metrics != nullptr)
      item.received = std::chrono::steady_clock::now();
    if (screen(item, identity))
      admitted.push_back(std::move(item));
  }
  const std::vector<NotificationQueue::Offer> results = queue_.offerBatch(admitted, settings_.queueLimit);
  // Each item has the request's reply channel: none closes a session.
  for (std::size_t i = 0; i < admitted.size(); ++i)
    settle(results[i], admitted[i]);
}
