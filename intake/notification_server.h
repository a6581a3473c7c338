#pragma once

#include "core/lock_guarded.h"
#include "intake/admission.h"
#include "intake/connection_table.h"
#include "intake/housekeeping.h"
#include "intake/listener_endpoint.h"
#include "intake/listener_settings.h"
#include "intake/notification_queue.h"
#include "intake/throttled_report.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <string>

class ReplyHub;

// The secure WebSocket listener: every message becomes a notification on the
// queue. A sender that offers the acknowledgement subprotocol first gets one
// reply per message once its handling has ended; to any other, nothing is
// ever sent back. On the same port, over the same TLS, plain HTTPS requests:
// POST /v1/notifications queues a batch and answers once each item has its
// outcome; GET /v1/health tells whether the Receiver can take notifications.
// It wires the endpoint's handlers to its parts: the connection table, the
// routes, admission, the reply hub and the timers.
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
  // Stops listening and has the event loop close every open connection with
  // code 1001 (going away); one still in its handshake closes as it opens.
  // Not to be called from a handler.
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
  std::size_t forbiddenNotifications() const;

private:
  enum class ListenState { notYet, listening, failed };
  struct ListenStatus {
    ListenState state = ListenState::notYet;
    int boundPort = 0;
    std::string error;
  };

  void onOpen(const websocketpp::connection_hdl& hdl);
  void onClose(const websocketpp::connection_hdl& hdl);
  void onMessage(const websocketpp::connection_hdl& hdl, const MessagePtr& msg);
  void onFail(const websocketpp::connection_hdl& hdl);
  void onHttp(const websocketpp::connection_hdl& hdl);
  // Splits a request's body and queues its items; the request is answered
  // once each has its outcome.
  void takeBatch(const Endpoint::connection_ptr& connection);
  void setListenState(ListenState state, int boundPort, const std::string& error);
  void runLoop();
  void installConnectionContext(const websocketpp::connection_hdl& hdl);
  bool admitConnection(const websocketpp::connection_hdl& hdl);
  // Whether a connection's WebSocket session is over (its TLS shutdown may
  // still be under way).
  bool hasEnded(const websocketpp::connection_hdl& hdl);
  // Closes a session with 1001 (going away): the Receiver is stopping.
  void closeForStop(const websocketpp::connection_hdl& hdl);
  void closeIdleSessions();
  // Inside the accept chain (or before the loop runs): closes the acceptor.
  void closeAcceptorOnce();

  const ListenerSettings settings_;
  NotificationQueue& queue_;
  const bool trace_;
  Endpoint endpoint_;
  std::shared_ptr<ReplyHub> replyHub_;
  ConnectionTable connections_;
  // Made once the endpoint's event loop exists.
  std::unique_ptr<Admission> admission_;
  std::unique_ptr<Housekeeping> housekeeping_;
  // Connections refused by max_connections: at most one line a second.
  std::unique_ptr<ThrottledReport> connectionRefusals_;
  std::atomic<std::size_t> refusedConnections_ { 0 };
  // Large request bodies being split now.
  std::atomic<int> largeParses_ { 0 };
  // Set as stop begins: no timer is armed after it, so the loop can run out.
  std::atomic<bool> stopStarted_ { false };

  // The acceptor is closed from inside its own accept chain: asked for, and
  // done.
  std::atomic<bool> acceptorClosing_ { false };
  std::atomic<bool> acceptorClosed_ { false };

  LockGuarded<ListenStatus> listenStatus_;
  std::condition_variable listenChanged_;
};
