#include "intake/syslog_server.h"

#include "core/log.h"
#include "core/process_state.h"
#include "intake/payload_host.h"
#include "intake/syslog_exception.h"
#include "intake/tls_context.h"

#include <boost/version.hpp>
#include <openssl/ssl.h>

#include <thread>
#include <type_traits>
#include <vector>

#if BOOST_VERSION >= 107400
// A connection's SSL object is shared by its reads, writes and shutdown; the
// library keeps them on one strand only with this executor (intake's build
// selects it): the default one lets I/O threads run OpenSSL on the same
// connection at once.
static_assert(std::is_same<boost::asio::ip::tcp::socket::executor_type, boost::asio::executor>::value,
    "intake must be built with BOOST_ASIO_USE_TS_EXECUTOR_AS_DEFAULT");
#endif

namespace {

std::atomic<bool> receiverFailure { false };

// What a connection is created with: TLS 1.2, the server's cipher list and no
// certificate, so that a connection never given its real context fails its
// handshake.
std::shared_ptr<boost::asio::ssl::context> placeholderContext()
{
  auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tlsv12);
  SSL_CTX_set_cipher_list(context->native_handle(), cipherListForMode(1));
  return context;
}

} // namespace

// Carries replies from any thread to the listener's event loop. The channels
// of open connections share it; the server cuts it off when it goes, so a
// late reply from a worker is dropped instead of reaching a freed endpoint.
class ReplyHub {
public:
  explicit ReplyHub(SyslogServer::Endpoint& endpoint)
      : endpoint_(&endpoint)
  {
  }

  // Hands the text to the event loop, which writes it on the connection if
  // it is still open; a reply for a closed connection is dropped.
  void post(const websocketpp::connection_hdl& hdl, std::string text)
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (endpoint_ == nullptr)
      return;
    SyslogServer::Endpoint* endpoint = endpoint_;
    boost::asio::post(endpoint->get_io_service(), [endpoint, hdl, text = std::move(text)] {
      websocketpp::lib::error_code ec;
      endpoint->send(hdl, text, websocketpp::frame::opcode::text, ec);
    });
  }

  void detach()
  {
    std::lock_guard<std::mutex> guard(lock_);
    endpoint_ = nullptr;
  }

private:
  std::mutex lock_;
  SyslogServer::Endpoint* endpoint_;
};

namespace {

// The reply channel of one acknowledged connection.
class ConnectionReplies : public ReplyChannel {
public:
  ConnectionReplies(std::shared_ptr<ReplyHub> hub, websocketpp::connection_hdl hdl)
      : hub_(std::move(hub))
      , hdl_(std::move(hdl))
  {
  }

  void send(std::uint64_t seq, Outcome outcome) override { hub_->post(hdl_, replyText(seq, outcome)); }

  // Numbers the connection's messages; called only from its message handler,
  // which the connection's strand serialises.
  std::uint64_t nextSeq() { return ++lastSeq_; }

private:
  std::shared_ptr<ReplyHub> hub_;
  websocketpp::connection_hdl hdl_;
  std::uint64_t lastSeq_ = 0;
};

} // namespace

SyslogServer::SyslogServer(int port, int threadCount, ExecuteQueue<notification>* queue)
    : replyHub(std::make_shared<ReplyHub>(endpoint))
    , port(port)
    , threadCount(threadCount)
    , queue(queue)
{
  setDefaultSetting();
}

SyslogServer::~SyslogServer() { replyHub->detach(); }

void SyslogServer::setDefaultSetting()
{
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  debugEnabled = false;
  endpoint.clear_access_channels(websocketpp::log::alevel::all);
  endpoint.clear_access_channels(websocketpp::log::alevel::frame_payload);
  endpoint.init_asio();
  endpoint.set_reuse_addr(true);
  endpoint.set_open_handler(websocketpp::lib::bind(&SyslogServer::on_open, this, _1));
  endpoint.set_close_handler(websocketpp::lib::bind(&SyslogServer::on_close, this, _1));
  endpoint.set_message_handler(websocketpp::lib::bind(&SyslogServer::on_message, this, _1, _2));
}

void SyslogServer::setValidateFunction(ValidateFunction fn)
{
  endpoint.set_validate_handler([this, fn](websocketpp::connection_hdl hdl) {
    // An exception here would end an I/O thread: refuse that one connection.
    try {
      return fn(endpoint, hdl);
    } catch (const std::exception& error) {
      write_log("ERR", std::string("SyslogServer#validate: ") + error.what());
      return false;
    }
  });
}

void SyslogServer::setFunctionSSLContext(SslContextFunction fn)
{
  sslContextFunction = fn;
}

void SyslogServer::setDebugFunction(DebugFunction fn)
{
  debugFunction = fn;
  debugEnabled = true;
}

void SyslogServer::Trace(const std::string& line)
{
  if (debugEnabled && debugFunction != nullptr)
    debugFunction(line);
}

void SyslogServer::setListenState(ListenState state, int bound, const std::string& error)
{
  {
    std::lock_guard<std::mutex> guard(stateLock);
    listenState = state;
    boundPort = bound;
    listenErrorText = error;
  }
  stateChanged.notify_all();
}

bool SyslogServer::waitListening(std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(stateLock);
  stateChanged.wait_for(lock, timeout, [this] { return listenState != ListenState::notYet; });
  return listenState == ListenState::listening;
}

int SyslogServer::listeningPort() const
{
  std::lock_guard<std::mutex> guard(stateLock);
  return boundPort;
}

std::string SyslogServer::listenError() const
{
  std::lock_guard<std::mutex> guard(stateLock);
  return listenErrorText;
}

std::size_t SyslogServer::connectionCount()
{
  std::lock_guard<std::mutex> guard(connectionLock);
  return connections.size();
}

void SyslogServer::run()
{
  // The library makes each connection (and its TLS context) ahead of time,
  // when the previous one is accepted. The real context is therefore built
  // once the TCP connection exists, just before its handshake, and swapped in:
  // a certificate file replaced on disk serves the very next connection.
  endpoint.set_tls_init_handler([](websocketpp::connection_hdl) { return placeholderContext(); });
  endpoint.set_tcp_pre_init_handler([this](websocketpp::connection_hdl hdl) { installConnectionContext(hdl); });

  websocketpp::lib::error_code ec;
  if (port < 0 || port > 65535)
    ec = std::make_error_code(std::errc::invalid_argument);
  else
    endpoint.listen(static_cast<uint16_t>(port), ec);
  if (ec) {
    Trace("THREAD Syslog#error listen");
    setListenState(ListenState::failed, 0, ec.message());
    throw SyslogException("bad listen");
  }
  boost::system::error_code localError;
  int bound = endpoint.get_local_endpoint(localError).port();

  endpoint.start_accept(ec);
  if (ec) {
    setListenState(ListenState::failed, 0, ec.message());
    throw websocketpp::exception(ec);
  }
  setListenState(ListenState::listening, localError ? port : bound, std::string());
  {
    std::lock_guard<std::mutex> guard(dropLock);
    dropTimer = std::make_unique<boost::asio::steady_timer>(endpoint.get_io_service());
  }

  if (threadCount == 1) {
    runLoop();
  } else if (threadCount > 1) {
    std::vector<std::shared_ptr<std::thread>> threads;
    threads.reserve(static_cast<std::size_t>(threadCount));
    for (int i = 0; i < threadCount; ++i)
      threads.push_back(std::make_shared<std::thread>([this] { runLoop(); }));
    for (auto& thread : threads)
      thread->join();
  }
}

void SyslogServer::installConnectionContext(websocketpp::connection_hdl hdl)
{
  try {
    if (sslContextFunction == nullptr)
      return;
    Endpoint::connection_ptr connection = endpoint.get_con_from_hdl(hdl);
    std::shared_ptr<boost::asio::ssl::context> fresh = sslContextFunction(1, hdl);
    if (!fresh)
      return;
    // The SSL object takes its own reference on the new context; the verify
    // mode was copied from the placeholder when the object was made, so it
    // is taken over explicitly.
    SSL* ssl = connection->get_socket().native_handle();
    SSL_set_SSL_CTX(ssl, fresh->native_handle());
    SSL_set_verify(ssl, SSL_CTX_get_verify_mode(fresh->native_handle()), nullptr);
    static const unsigned char sessionContext[] = "quelm-receiver";
    SSL_set_session_id_context(ssl, sessionContext, sizeof sessionContext - 1);
  } catch (const std::exception& error) {
    write_log("ERR", std::string("SSLException: ") + error.what());
  }
}

void SyslogServer::runLoop()
{
  ++loopThreads;
  // A handler that throws must cost one log line, not an I/O thread.
  for (;;) {
    try {
      endpoint.run();
      --loopThreads;
      return;
    } catch (const std::exception& error) {
      write_log("ERR", std::string("THREAD Syslog#event loop: ") + error.what());
    }
  }
}

void SyslogServer::withLoopPaused(const std::function<void()>& work)
{
  int threads = loopThreads.load();
  if (threads > 0) {
    {
      std::lock_guard<std::mutex> guard(parkLock);
      parked = 0;
      parkReleased = false;
    }
    for (int i = 0; i < threads; ++i)
      boost::asio::post(endpoint.get_io_service(), [this] {
        std::unique_lock<std::mutex> lock(parkLock);
        ++parked;
        parkChanged.notify_all();
        parkChanged.wait(lock, [this] { return parkReleased; });
      });
    std::unique_lock<std::mutex> lock(parkLock);
    // Handlers are short; should one hang, go on rather than hang stop too.
    parkChanged.wait_for(lock, std::chrono::seconds(10), [&] { return parked >= threads; });
  }
  auto release = [this] {
    {
      std::lock_guard<std::mutex> guard(parkLock);
      parkReleased = true;
    }
    parkChanged.notify_all();
  };
  try {
    work();
  } catch (...) {
    release();
    throw;
  }
  release();
}

void SyslogServer::stop()
{
  // Parked before connectionLock is taken: a loop thread waiting for that
  // lock in on_open could not park.
  withLoopPaused([this] { endpoint.stop_listening(); });
  std::vector<websocketpp::connection_hdl> open;
  {
    std::lock_guard<std::mutex> guard(connectionLock);
    stopping = true;
    for (const auto& entry : connections)
      open.push_back(entry.first);
  }
  // Closed outside the lock: a close can run on_close, which takes it. A
  // handle whose connection is already gone is skipped so the others still
  // get closed.
  for (auto& hdl : open) {
    websocketpp::lib::error_code ec;
    endpoint.close(hdl, websocketpp::close::status::normal, "", ec);
  }
}

void SyslogServer::on_open(websocketpp::connection_hdl hdl)
{
  Trace("SyslogServer#on_open:");
  bool late = false;
  std::shared_ptr<ReplyChannel> replies;
  if (endpoint.get_con_from_hdl(hdl)->get_subprotocol() == ackSubprotocol)
    replies = std::make_shared<ConnectionReplies>(replyHub, hdl);
  {
    std::lock_guard<std::mutex> guard(connectionLock);
    connections[hdl] = std::move(replies);
    late = stopping;
  }
  // A handshake that was under way when stop ran is closed as soon as it
  // completes, so that stop leaves no connection open.
  if (late) {
    websocketpp::lib::error_code ec;
    endpoint.close(hdl, websocketpp::close::status::normal, "", ec);
  }
  Trace("SyslogServer#on_open end");
}

void SyslogServer::on_close(websocketpp::connection_hdl hdl)
{
  Trace("SyslogServer#on_close:");
  {
    std::lock_guard<std::mutex> guard(connectionLock);
    connections.erase(hdl);
  }
  Trace("SyslogServer#on_close end");
}

void SyslogServer::on_message(websocketpp::connection_hdl hdl, MessagePtr msg)
{
  try {
    // The message is dropped after this handler: its payload is moved into
    // the notification rather than copied.
    std::string& payload = msg->get_raw_payload();
    if (debugEnabled)
      Trace("THREAD SyslogServer#on_message:" + payload);
    notification item { hostFromPayload(payload), std::move(payload) };
    if (endpoint.get_con_from_hdl(hdl)->get_subprotocol() == ackSubprotocol) {
      std::lock_guard<std::mutex> guard(connectionLock);
      auto found = connections.find(hdl);
      if (found != connections.end() && found->second) {
        item.seq = static_cast<ConnectionReplies&>(*found->second).nextSeq();
        item.replyTo = found->second;
      }
    }
    if (debugEnabled)
      Trace("th_listener#PUSH NOTIF#");
    std::string host = queueCapacity == 0 ? std::string() : item.host;
    std::shared_ptr<ReplyChannel> replyTo = item.replyTo;
    std::uint64_t seq = item.seq;
    switch (queue->offer(std::move(item), queueCapacity)) {
    case ExecuteQueue<notification>::Offer::queued:
      break;
    case ExecuteQueue<notification>::Offer::full:
      countDrop(host);
      if (replyTo)
        replyTo->send(seq, Outcome::dropped);
      break;
    case ExecuteQueue<notification>::Offer::closed:
      // The Receiver is stopping: nobody will handle it.
      if (replyTo)
        replyTo->send(seq, Outcome::shutdown);
      break;
    }
  } catch (const std::exception& error) {
    write_log("ERR", std::string("THREAD SyslogServer#on_message: ") + error.what());
  }
}

void SyslogServer::setQueueLimit(std::size_t limit) { queueCapacity = limit; }

void SyslogServer::setMaxMessageSize(std::size_t bytes) { endpoint.set_max_message_size(bytes); }

void SyslogServer::logFailedConnections()
{
  endpoint.set_fail_handler([this](websocketpp::connection_hdl hdl) {
    try {
      Endpoint::connection_ptr connection = endpoint.get_con_from_hdl(hdl);
      std::string reason = connection->get_ec().message();
      std::string detail = connection->get_transport_ec().message();
      if (!detail.empty() && detail != reason)
        reason += " (" + detail + ")";
      write_log("ERR", "SyslogServer#connection refused from " + connection->get_remote_endpoint() + ": " + reason);
    } catch (const std::exception& error) {
      write_log("ERR", std::string("SyslogServer#connection refused: ") + error.what());
    }
  });
}

void SyslogServer::countDrop(const std::string& host)
{
  // At most one line a second; it tells how many were dropped since the
  // last one, so a flood cannot flood the log too. Drops that come after the
  // last line of a burst are reported by a timer a second after it.
  std::lock_guard<std::mutex> guard(dropLock);
  ++dropsSinceReport;
  lastDroppedHost = host;
  auto now = std::chrono::steady_clock::now();
  if (lastDropReport.time_since_epoch().count() == 0 || now - lastDropReport >= std::chrono::seconds(1)) {
    reportDropsLocked(host);
    return;
  }
  if (dropTimerArmed || !dropTimer)
    return;
  dropTimerArmed = true;
  dropTimer->expires_at(lastDropReport + std::chrono::seconds(1));
  dropTimer->async_wait([this](const boost::system::error_code& ec) {
    std::lock_guard<std::mutex> guard(dropLock);
    dropTimerArmed = false;
    if (!ec && dropsSinceReport > 0)
      reportDropsLocked(lastDroppedHost);
  });
}

void SyslogServer::reportDropsLocked(const std::string& host)
{
  write_log("ERR",
      "SyslogServer#queue full (" + std::to_string(queueCapacity) + "), notification from " + host + " dropped; "
          + std::to_string(dropsSinceReport) + " dropped since the last report");
  dropsSinceReport = 0;
  lastDropReport = std::chrono::steady_clock::now();
}

void* thread_receiver(void*)
{
  SyslogServer* server = nullptr;
  std::string failure;
  try {
    write_log("INFO", "Start server on " + std::to_string(port));
    // Left to the end of the process on purpose: its I/O threads may still be
    // running when the process exits.
    server = new SyslogServer(port, 10, executeService);
    server->setValidateFunction(validateSyslog);
    server->setFunctionSSLContext(enableSSLMode);
    if (maxMessageSize > 0)
      server->setMaxMessageSize(static_cast<std::size_t>(maxMessageSize));
    if (queueLimit > 0)
      server->setQueueLimit(static_cast<std::size_t>(queueLimit));
    if (verifyClient == 1)
      server->logFailedConnections();
    // The daemon's Trace writes only in debug mode, which never changes once
    // threads run: without it, skip building trace lines per message.
    if (debug == 1)
      server->setDebugFunction(Trace);
    server->run();
    return nullptr;
  } catch (const SyslogException& error) {
    std::string reason = server->listenError();
    failure = std::string(error.what()) + " on port " + std::to_string(port) + (reason.empty() ? "" : ": " + reason);
  } catch (const std::exception& error) {
    failure = error.what();
  }
  // run failed before it started any I/O thread: nothing uses the server.
  delete server;
  write_log("ERR", "THREAD Syslog#receiver stopped: " + failure);
  receiverFailure = true;
  // Without its listener the daemon is useless: stop it as SIGTERM would.
  if (executeService != nullptr)
    executeService->stopAndWakeAll(die_quelm);
  else
    die_quelm = 1;
  return nullptr;
}

bool receiverFailed()
{
  return receiverFailure.load();
}
