#pragma once

#include "intake/execute_queue.h"
#include "intake/notification.h"

#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <map>
#include <string>

#include <boost/asio/steady_timer.hpp>

class ReplyHub;

// The secure WebSocket listener: every message becomes a notification on the
// queue. A sender that offers the acknowledgement subprotocol first gets one
// reply per message once its handling has ended; to any other, nothing is
// ever sent back.
class SyslogServer {
public:
  using Endpoint = websocketpp::server<websocketpp::config::asio_tls>;
  using MessagePtr = websocketpp::config::asio_tls::message_type::ptr;
  using ValidateFunction = bool (*)(Endpoint&, std::weak_ptr<void>);
  using SslContextFunction = std::shared_ptr<boost::asio::ssl::context> (*)(int, std::weak_ptr<void>);
  using DebugFunction = void (*)(const std::string&);

  SyslogServer(int port, int threadCount, ExecuteQueue<notification>* queue);
  virtual ~SyslogServer();
  SyslogServer(const SyslogServer&) = delete;
  SyslogServer& operator=(const SyslogServer&) = delete;

  void setDefaultSetting();
  void setValidateFunction(ValidateFunction fn);
  void setFunctionSSLContext(SslContextFunction fn);
  void setDebugFunction(DebugFunction fn);
  void Trace(const std::string& line);

  // Listens on the IPv6 wildcard (IPv4 too on a dual-stack host) and serves
  // until the loop runs out of work. Throws SyslogException "bad listen".
  void run();
  // Stops listening and closes every open connection with code 1000. Throws
  // websocketpp::exception when the server is not listening. Not to be
  // called from a handler.
  void stop();

  // For the owner of run's thread: waits until run listens (true) or failed
  // or the time is up (false).
  bool waitListening(std::chrono::milliseconds timeout);
  // The port actually bound (the chosen one when configured as 0); 0 before.
  int listeningPort() const;
  // Why the listen failed, empty if it did not.
  std::string listenError() const;
  std::size_t connectionCount();

  // Optional limits. A message larger than the size closes its connection
  // with "message too big"; with a queue limit, a notification that finds
  // the queue full is dropped and counted in an "ERR" line (one a second).
  void setMaxMessageSize(std::size_t bytes);
  void setQueueLimit(std::size_t limit);
  // Writes an "ERR" line for every connection that fails before it opens,
  // such as a sender whose certificate is refused.
  void logFailedConnections();

  void on_open(websocketpp::connection_hdl hdl);
  void on_close(websocketpp::connection_hdl hdl);
  void on_message(websocketpp::connection_hdl hdl, MessagePtr msg);

private:
  enum class ListenState { notYet, listening, failed };

  void setListenState(ListenState state, int boundPort, const std::string& error);
  void runLoop();
  void installConnectionContext(websocketpp::connection_hdl hdl);
  void countDrop(const std::string& host);
  // Logs the drops counted since the last report; dropLock held.
  void reportDropsLocked(const std::string& host);
  void withLoopPaused(const std::function<void()>& work);

  Endpoint endpoint;
  // Open connections, each with its reply channel (null when the sender did
  // not ask for acknowledgements).
  std::map<websocketpp::connection_hdl, std::shared_ptr<ReplyChannel>, std::owner_less<websocketpp::connection_hdl>>
      connections;
  std::shared_ptr<ReplyHub> replyHub;
  int port;
  int threadCount;
  bool debugEnabled = false;
  std::mutex connectionLock;
  bool stopping = false;
  SslContextFunction sslContextFunction = nullptr;
  DebugFunction debugFunction = nullptr;
  ExecuteQueue<notification>* queue;
  std::size_t queueCapacity = 0;
  std::mutex dropLock;
  std::size_t dropsSinceReport = 0;
  std::chrono::steady_clock::time_point lastDropReport {};
  std::string lastDroppedHost;
  // Reports the drops that follow the last report, a second after it.
  std::unique_ptr<boost::asio::steady_timer> dropTimer;
  bool dropTimerArmed = false;

  // The acceptor is not safe to close while an I/O thread re-arms it: stop
  // parks every loop thread first.
  std::atomic<int> loopThreads { 0 };
  std::mutex parkLock;
  std::condition_variable parkChanged;
  int parked = 0;
  bool parkReleased = true;

  mutable std::mutex stateLock;
  std::condition_variable stateChanged;
  ListenState listenState = ListenState::notYet;
  int boundPort = 0;
  std::string listenErrorText;
};

// Body of the daemon's network thread: builds the server on `port` with ten
// I/O threads over `executeService` and runs it for the life of the process.
// If the server cannot run (a failed listen above all), it writes an "ERR"
// line, marks the failure (receiverFailed) and stops the daemon in order:
// die_quelm is raised and every consumer of the queue woken.
void* thread_receiver(void*);

// True once thread_receiver has given up; start-up then ends with status 1.
bool receiverFailed();
