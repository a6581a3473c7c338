#pragma once

#include "intake/listener_settings.h"
#include "intake/notification.h"
#include "intake/notification_queue.h"
#include "intake/throttled_report.h"

#include <boost/asio/io_service.hpp>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// The sender rules, then the queue, for the notifications of every session
// and request: each way one can end is answered, counted and reported here.
class Admission {
public:
  // The settings must outlive it; the reports' timers run on io.
  Admission(const ListenerSettings& settings, NotificationQueue& queue, boost::asio::io_service& io, bool trace);
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // Admits one notification of a session. False when the Receiver is
  // stopping and the notification has no reply channel: its session is to
  // be closed, so that its sender knows to send again.
  bool admit(Notification&& item, const std::string& identity);
  // Queues a request's notifications, each answered on replies by its
  // number from 1, whole or not at all.
  void admitBatch(
      std::vector<std::string>& texts, const std::shared_ptr<ReplyChannel>& replies, const std::string& identity);
  // For a stop: no report is pending after it.
  void cancelReports();
  // Notifications refused by the sender rules since the start.
  std::size_t forbidden() const { return forbidden_; }

private:
  // The sender rules and the id: false when the notification was refused
  // (answered and counted here).
  bool screen(Notification& item, const std::string& identity);
  // Answers and counts what the queue did with a notification it did not
  // queue; false as admit says.
  bool settle(NotificationQueue::Offer result, const Notification& item);

  const ListenerSettings& settings_;
  NotificationQueue& queue_;
  const bool trace_;
  std::atomic<std::size_t> forbidden_ { 0 };
  // Queue-full drops (one key), refused notifications (per sender), refusals
  // at the stop and unusable ids (one key each): at most one line a second.
  ThrottledReport drops_;
  ThrottledReport refusals_;
  ThrottledReport stopRefusals_;
  ThrottledReport badIds_;
};
