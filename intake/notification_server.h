#pragma once

#include "intake/notification.h"
#include "intake/notification_queue.h"
#include "intake/tls_context.h"

#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include <boost/asio/steady_timer.hpp>

class ReplyHub;

// How the listener runs (section SYSLOG of the configuration).
struct ListenerSettings {
  // TCP port on the IPv6 wildcard; 0 takes any free port.
  int port = 0;
  // Threads running the event loop.
  int ioThreads = 10;
  TlsSettings tls;
  // Largest message in bytes (a larger one closes its connection with
  // "message too big"); 0 keeps the WebSocket library's default.
  std::size_t maxMessageSize = 0;
  // Most notifications waiting in the queue; 0: no limit. A notification
  // that finds the queue full is dropped and counted in an "ERR" line.
  std::size_t queueLimit = 0;
};

// The secure WebSocket listener: every message becomes a notification on the
// queue. A sender that offers the acknowledgement subprotocol first gets one
// reply per message once its handling has ended; to any other, nothing is
// ever sent back.
class NotificationServer {
public:
  using Endpoint = websocketpp::server<websocketpp::config::asio_tls>;
  using MessagePtr = websocketpp::config::asio_tls::message_type::ptr;

  NotificationServer(ListenerSettings settings, NotificationQueue& queue);
  ~NotificationServer();
  NotificationServer(const NotificationServer&) = delete;
  NotificationServer& operator=(const NotificationServer&) = delete;

  // Listens and serves until the loop runs out of work (after stop). Throws
  // ListenError "bad listen" when the port cannot be bound.
  void run();
  // Stops listening and closes every open connection with code 1000. Not to
  // be called from a handler.
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
  std::size_t connectionCount();

private:
  enum class ListenState { notYet, listening, failed };

  void onOpen(const websocketpp::connection_hdl& hdl);
  void onClose(const websocketpp::connection_hdl& hdl);
  void onMessage(const websocketpp::connection_hdl& hdl, const MessagePtr& msg);
  void onFail(const websocketpp::connection_hdl& hdl);
  void setListenState(ListenState state, int boundPort, const std::string& error);
  void runLoop();
  void installConnectionContext(const websocketpp::connection_hdl& hdl);
  void countDrop(const std::string& host);
  // Logs the drops counted since the last report; dropLock held.
  void reportDropsLocked(const std::string& host);
  void withLoopPaused(const std::function<void()>& work);

  const ListenerSettings settings_;
  NotificationQueue& queue_;
  const bool trace_;
  Endpoint endpoint_;
  std::shared_ptr<ReplyHub> replyHub_;

  // Open connections, each with its reply channel (null when the sender did
  // not ask for acknowledgements), and whether stop has run.
  std::mutex connectionLock_;
  std::map<websocketpp::connection_hdl, std::shared_ptr<ReplyChannel>, std::owner_less<websocketpp::connection_hdl>>
      connections_;
  bool stopping_ = false;

  // Queue-full drops since the last report. The timer reports the drops
  // that follow the last report, a second after it.
  std::mutex dropLock_;
  std::size_t dropsSinceReport_ = 0;
  std::chrono::steady_clock::time_point lastDropReport_ {};
  std::string lastDroppedHost_;
  std::unique_ptr<boost::asio::steady_timer> dropTimer_;
  bool dropTimerArmed_ = false;

  // The acceptor is not safe to close while an I/O thread re-arms it: stop
  // parks every loop thread first.
  std::atomic<int> loopThreads_ { 0 };
  std::mutex parkLock_;
  std::condition_variable parkChanged_;
  int parked_ = 0;
  bool parkReleased_ = true;

  mutable std::mutex stateLock_;
  std::condition_variable stateChanged_;
  ListenState listenState_ = ListenState::notYet;
  int boundPort_ = 0;
  std::string listenErrorText_;
};
