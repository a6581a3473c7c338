#pragma once

#include "intake/http_intake.h"
#include "intake/listener_endpoint.h"
#include "intake/listener_settings.h"
#include "intake/notification.h"
#include "intake/notification_queue.h"
#include "intake/sender_rules.h"
#include "intake/throttled_report.h"
#include "intake/tls_context.h"

#include "core/metrics.h"

#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <boost/asio/steady_timer.hpp>

class ReplyHub;

// The secure WebSocket listener: every message becomes a notification on the
// queue. A sender that offers the acknowledgement subprotocol first gets one
// reply per message once its handling has ended; to any other, nothing is
// ever sent back. On the same port, over the same TLS, plain HTTPS requests:
// POST /v1/notifications queues a batch and answers once each item has its
// outcome; GET /v1/health tells whether the Receiver can take notifications.
class NotificationServer {
public:
  using Endpoint = ListenerEndpoint;
  using MessagePtr = websocketpp::config::asio_tls::message_type::ptr;

  NotificationServer(ListenerSettings settings, NotificationQueue& queue);
  ~NotificationServer();
  NotificationServer(const NotificationServer&) = delete;
  NotificationServer& operator=(const NotificationServer&) = delete;

  // Listens and serves until the loop runs out of work (after stop). Throws
  // ListenError "bad listen" when the port cannot be bound.
  void run();
  // Stops listening at once: the Receiver is stopping, and a new sender
  // must go to another. The open sessions go on; what they send is refused
  // (the queue is closed): answered "shutdown" on an acknowledged session,
  // while a one-way session is closed at once with 1001 (going away), so
  // its sender knows to send again. Not to be called from a handler.
  void stopAccepting();
  // Stops listening and closes every open connection with code 1001 (going
  // away). Not to be called from a handler.
  void stop();
  // Ends the event loop at once, whatever is still open: for a stop whose
  // connections do not close in time.
  void abort();

  // For the owner of run's thread: waits until run listens (true) or failed
  // or the time is up (false).
  bool waitListening(std::chrono::milliseconds timeout);
  // The port actually bound (the chosen one when configured as 0); 0 before.
  int listeningPort() const;
  // Why the listen failed, empty if it did not.
  std::string listenError() const;
  // Open WebSocket sessions (not those whose sender has closed them).
  std::size_t connectionCount();
  // Whether the event loop runs a handler posted to it within the time: a
  // loop whose threads are all stuck, or that has ended, does not.
  bool loopAnswers(std::chrono::milliseconds timeout);
  // Connections refused by max_connections, and notifications refused by
  // the sender rules, since the start.
  std::size_t refusedConnections() const { return refusedConnections_; }
  std::size_t forbiddenNotifications() const { return forbidden_; }

private:
  enum class ListenState { notYet, listening, failed };

  void onOpen(const websocketpp::connection_hdl& hdl);
  // The throttled ERR lines: drops, refused senders, refusals at the stop,
  // unusable ids and connections over the limit.
  void makeReports();
  void onClose(const websocketpp::connection_hdl& hdl);
  void onMessage(const websocketpp::connection_hdl& hdl, const MessagePtr& msg);
  void onFail(const websocketpp::connection_hdl& hdl);
  void onHttp(const websocketpp::connection_hdl& hdl);
  // Queues a batch's items whole or not at all; the request is answered once
  // each has its outcome.
  void queueBatch(const Endpoint::connection_ptr& connection, NotificationBatch& batch);
  void takeBatch(const Endpoint::connection_ptr& connection);
  // The sender rules, then the queue, for a notification from any session:
  // each way it can end is answered and counted here.
  void admit(Notification&& item, const std::string& identity, const websocketpp::connection_hdl& hdl);
  // The sender rules and the id: false when the notification was refused
  // (answered and counted here).
  bool screen(Notification& item, const std::string& identity);
  // Answers and counts what the queue did with a notification it did not
  // queue; nothing for one it queued.
  void settle(NotificationQueue::Offer result, const Notification& item, const websocketpp::connection_hdl& hdl);
  // The sender identity of a connection's certificate; a subject with
  // several common names has none, and is logged.
  std::string senderIdentity(Endpoint::connection_type& connection);
  void setListenState(ListenState state, int boundPort, const std::string& error);
  void runLoop();
  void installConnectionContext(const websocketpp::connection_hdl& hdl);
  bool admitConnection(const websocketpp::connection_hdl& hdl);
  // Whether a connection's WebSocket session is over (its TLS shutdown may
  // still be under way); endedLocked counts them, connectionLock_ held.
  bool hasEnded(const websocketpp::connection_hdl& hdl);
  std::size_t endedLocked(
      const std::set<websocketpp::connection_hdl, std::owner_less<websocketpp::connection_hdl>>& connections);
  // Forgets an ended connection; false when it was never admitted.
  bool forgetConnection(const websocketpp::connection_hdl& hdl);
  // With timerLock_ held.
  void armIdleSweepLocked();
  // Gives freed memory back to the system after delay (one trim for a
  // burst of occasions).
  void scheduleTrim(std::chrono::seconds delay);
  void closeIdleSessions();
  // Inside the accept chain (or before the loop runs): closes the acceptor.
  void closeAcceptorOnce();

  const ListenerSettings settings_;
  NotificationQueue& queue_;
  const bool trace_;
  Endpoint endpoint_;
  std::shared_ptr<ReplyHub> replyHub_;

  // One open session: its reply channel (null when the sender did not ask
  // for acknowledgements), the common name of its certificate when the
  // sender rules need it, and when it last sent.
  struct Session {
    std::shared_ptr<ReplyChannel> replies;
    std::string identity;
    std::chrono::steady_clock::time_point lastMessage;
  };
  using HandleLess = std::owner_less<websocketpp::connection_hdl>;
  // Connections from their TCP accept to their end (handshakes included),
  // open sessions, and whether stop has run.
  std::mutex connectionLock_;
  std::set<websocketpp::connection_hdl, HandleLess> live_;
  // A plain HTTP request ends without a handler being told: its handle is
  // dropped from live_ once the set has grown to this.
  std::size_t pruneAt_ = 64;
  std::map<websocketpp::connection_hdl, Session, HandleLess> connections_;
  bool stopping_ = false;
  std::atomic<std::size_t> refusedConnections_ { 0 };
  std::atomic<std::size_t> forbidden_ { 0 };

  // Queue-full drops (one key), refused notifications (per sender) and
  // refused connections (one key): at most one line a second each.
  // Made once the endpoint's event loop exists.
  std::unique_ptr<ThrottledReport> drops_;
  std::unique_ptr<ThrottledReport> refusals_;
  std::unique_ptr<ThrottledReport> connectionRefusals_;
  std::unique_ptr<ThrottledReport> stopRefusals_;
  // Notifications refused for an id that cannot serve (one key).
  std::unique_ptr<ThrottledReport> badIds_;
  std::unique_ptr<boost::asio::steady_timer> idleTimer_;
  // After sessions close, the memory they freed is given back to the system
  // a little later (one trim for a burst of closes).
  std::unique_ptr<boost::asio::steady_timer> trimTimer_;
  std::atomic<bool> trimPending_ { false };
  // Large request bodies being split now.
  std::atomic<int> largeParses_ { 0 };
  // Set as stop begins: no timer is armed after it, so the loop can run out.
  std::atomic<bool> stopStarted_ { false };

  // The acceptor is closed from inside its own accept chain: asked for, and
  // done.
  std::atomic<bool> acceptorClosing_ { false };
  std::atomic<bool> acceptorClosed_ { false };
  // The idle and trim timers, armed from the loop and cancelled by the stop.
  std::mutex timerLock_;

  mutable std::mutex stateLock_;
  std::condition_variable stateChanged_;
  ListenState listenState_ = ListenState::notYet;
  int boundPort_ = 0;
  std::string listenErrorText_;
};
