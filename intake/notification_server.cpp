#include "intake/notification_server.h"

#include <poll.h>

#include "core/log.h"
#include "intake/http_intake.h"
#include "intake/http_routes.h"
#include "intake/listen_error.h"
#include "intake/notification_id.h"
#include "intake/payload_host.h"
#include "intake/reply_hub.h"

#include <boost/version.hpp>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <malloc.h>

#include <future>
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

// What a connection is created with: TLS 1.2, the server's cipher list and no
// certificate, so that a connection never given its real context fails its
// handshake.
std::shared_ptr<boost::asio::ssl::context> placeholderContext()
{
  // One for all connections: each holds it only until its real one is in.
  static const std::shared_ptr<boost::asio::ssl::context> shared = [] {
    auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_server);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(context->native_handle(), cipherListForMode(1));
    return context;
  }();
  return shared;
}

// The common name of the certificate the peer presented; empty without one.
// The one common name of the peer's certificate; empty when there is none.
// A subject with several has no identity (ambiguous is set): which of them
// would be the sender is anybody's guess.
std::string peerCommonName(SSL* ssl, bool& ambiguous)
{
  ambiguous = false;
  std::unique_ptr<X509, decltype(&X509_free)> certificate(SSL_get1_peer_certificate(ssl), &X509_free);
  if (!certificate)
    return std::string();
  X509_NAME* subject = X509_get_subject_name(certificate.get());
  int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
  if (at < 0)
    return std::string();
  if (X509_NAME_get_index_by_NID(subject, NID_commonName, at) >= 0) {
    ambiguous = true;
    return std::string();
  }
  unsigned char* text = nullptr;
  int length = ASN1_STRING_to_UTF8(&text, X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, at)));
  if (length < 0)
    return std::string();
  std::string name(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
  OPENSSL_free(text);
  return name;
}

// Opens and closes a TCP connection to the Receiver's own port on loopback
// (IPv6, then IPv4), so that its accept chain runs once; within a second at
// most.
void knock(int port)
{
  for (const char* address : { "::1", "127.0.0.1" }) {
    boost::system::error_code ec;
    boost::asio::io_service io;
    boost::asio::ip::tcp::socket socket(io);
    const boost::asio::ip::tcp::endpoint own(boost::asio::ip::make_address(address, ec), static_cast<unsigned short>(port));
    if (ec)
      continue;
    socket.open(own.protocol(), ec);
    if (ec)
      continue;
    socket.non_blocking(true, ec);
    socket.connect(own, ec);
    if (ec == boost::asio::error::in_progress || ec == boost::asio::error::would_block) {
      pollfd watched { socket.native_handle(), POLLOUT, 0 };
      if (::poll(&watched, 1, 1000) == 1 && (watched.revents & (POLLERR | POLLHUP)) == 0)
        return;
    } else if (!ec) {
      return;
    }
  }
}

} // namespace

namespace {

// A connection that failed in its TLS handshake, or did not finish it in
// time.
bool isTlsHandshakeFailure(const websocketpp::lib::error_code& error)
{
  namespace socket = websocketpp::transport::asio::socket;
  return error == socket::make_error_code(socket::error::tls_handshake_failed)
      || error == socket::make_error_code(socket::error::tls_handshake_timeout);
}

} // namespace

NotificationServer::NotificationServer(ListenerSettings settings, NotificationQueue& queue)
    : settings_(std::move(settings))
    , queue_(queue)
    , trace_(traceEnabled())
    , replyHub_(std::make_shared<ReplyHub>(endpoint_))
{
  // A large request body or message lives in a block of its own, given back
  // to the system when it is freed: the I/O threads' arenas would otherwise
  // keep what one large request took, whatever a trim does.
  static const int largeBlocksMapped = ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
  (void)largeBlocksMapped;
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  endpoint_.clear_access_channels(websocketpp::log::alevel::all);
  endpoint_.clear_access_channels(websocketpp::log::alevel::frame_payload);
  endpoint_.init_asio();
  endpoint_.set_reuse_addr(true);
  endpoint_.set_open_handler(websocketpp::lib::bind(&NotificationServer::onOpen, this, _1));
  endpoint_.set_close_handler(websocketpp::lib::bind(&NotificationServer::onClose, this, _1));
  endpoint_.set_message_handler(websocketpp::lib::bind(&NotificationServer::onMessage, this, _1, _2));
  endpoint_.set_validate_handler([this](const websocketpp::connection_hdl& hdl) {
    // An exception here would end an I/O thread: refuse that one connection.
    try {
      return selectFirstSubprotocol(endpoint_, hdl);
    } catch (const std::exception& error) {
      writeLog("ERR", std::string("SyslogServer#validate: ") + error.what());
      return false;
    }
  });
  endpoint_.set_http_handler(websocketpp::lib::bind(&NotificationServer::onHttp, this, _1));
  if (settings_.maxMessageSize > 0)
    endpoint_.set_max_message_size(settings_.maxMessageSize);
  // A larger body is answered 413 by the library before it is read: 16 MiB,
  // or the largest message when one larger is configured.
  endpoint_.set_max_http_body_size(std::max(httpBodyBytes, settings_.maxMessageSize));
  endpoint_.set_fail_handler(websocketpp::lib::bind(&NotificationServer::onFail, this, _1));
  makeReports();
}

void NotificationServer::makeReports()
{
  const std::string limit = std::to_string(settings_.queueLimit);
  drops_ = std::make_unique<ThrottledReport>(
      endpoint_.get_io_service(), [limit](const std::string&, const std::string& host, std::size_t count) {
        return "SyslogServer#queue full (" + limit + "), notification from " + logSafe(host) + " dropped; "
            + std::to_string(count) + " dropped since the last report";
      });
  refusals_ = std::make_unique<ThrottledReport>(
      endpoint_.get_io_service(), [](const std::string& identity, const std::string& host, std::size_t count) {
        return "SyslogServer#sender \"" + logSafe(identity) + "\" may not report for " + logSafe(host)
            + ", notification refused; " + std::to_string(count) + " refused since the last report";
      });
  stopRefusals_ = std::make_unique<ThrottledReport>(
      endpoint_.get_io_service(), [](const std::string&, const std::string& host, std::size_t count) {
        return "notification from " + logSafe(host) + " not handled, the Receiver is stopping; " + std::to_string(count)
            + " refused since the last report";
      });
  badIds_ = std::make_unique<ThrottledReport>(
      endpoint_.get_io_service(), [](const std::string&, const std::string& detail, std::size_t count) {
        return "SyslogServer#notification refused, " + detail + "; " + std::to_string(count)
            + " refused since the last report";
      });
  const std::string most = std::to_string(settings_.maxConnections);
  connectionRefusals_ = std::make_unique<ThrottledReport>(
      endpoint_.get_io_service(), [most](const std::string&, const std::string& peer, std::size_t count) {
        return "SyslogServer#max_connections (" + most + ") reached, connection from " + peer + " closed; "
            + std::to_string(count) + " closed since the last report";
      });
}

NotificationServer::~NotificationServer() { replyHub_->detach(); }

void NotificationServer::setListenState(ListenState state, int bound, const std::string& error)
{
  {
    std::lock_guard<std::mutex> guard(stateLock_);
    listenState_ = state;
    boundPort_ = bound;
    listenErrorText_ = error;
  }
  stateChanged_.notify_all();
}

bool NotificationServer::waitListening(std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(stateLock_);
  stateChanged_.wait_for(lock, timeout, [this] { return listenState_ != ListenState::notYet; });
  return listenState_ == ListenState::listening;
}

int NotificationServer::listeningPort() const
{
  std::lock_guard<std::mutex> guard(stateLock_);
  return boundPort_;
}

std::string NotificationServer::listenError() const
{
  std::lock_guard<std::mutex> guard(stateLock_);
  return listenErrorText_;
}

std::size_t NotificationServer::connectionCount()
{
  std::lock_guard<std::mutex> guard(connectionLock_);
  std::size_t ended = 0;
  for (const auto& entry : connections_)
    ended += hasEnded(entry.first);
  return connections_.size() - ended;
}

bool NotificationServer::hasEnded(const websocketpp::connection_hdl& hdl)
{
  websocketpp::lib::error_code ec;
  Endpoint::connection_ptr connection = endpoint_.get_con_from_hdl(hdl, ec);
  return ec || connection->get_state() == websocketpp::session::state::closed;
}

std::size_t NotificationServer::endedLocked(const std::set<websocketpp::connection_hdl, HandleLess>& connections)
{
  std::size_t ended = 0;
  for (const auto& hdl : connections)
    ended += hasEnded(hdl);
  return ended;
}

bool NotificationServer::loopAnswers(std::chrono::milliseconds timeout)
{
  // Shared with the handler, which may run after this has given up.
  auto ran = std::make_shared<std::promise<void>>();
  std::future<void> answered = ran->get_future();
  endpoint_.get_io_service().post([ran] { ran->set_value(); });
  return answered.wait_for(timeout) == std::future_status::ready;
}

void NotificationServer::run()
{
  // The library makes each connection (and its TLS context) ahead of time,
  // when the previous one is accepted. The real context is therefore built
  // once the TCP connection exists, just before its handshake, and swapped in:
  // a certificate file replaced on disk serves the very next connection.
  endpoint_.set_tls_init_handler([](const websocketpp::connection_hdl&) { return placeholderContext(); });
  endpoint_.set_tcp_pre_init_handler([this](const websocketpp::connection_hdl& hdl) { installConnectionContext(hdl); });

  websocketpp::lib::error_code ec;
  if (settings_.port < 0 || settings_.port > 65535)
    ec = std::make_error_code(std::errc::invalid_argument);
  else
    endpoint_.listen(static_cast<uint16_t>(settings_.port), ec);
  if (ec) {
    trace("THREAD Syslog#error listen");
    setListenState(ListenState::failed, 0, ec.message());
    throw ListenError("bad listen");
  }
  boost::system::error_code localError;
  int bound = endpoint_.get_local_endpoint(localError).port();

  endpoint_.start_accept(ec);
  if (ec) {
    setListenState(ListenState::failed, 0, ec.message());
    throw ListenError("bad listen");
  }
  setListenState(ListenState::listening, localError ? settings_.port : bound, std::string());
  // A stop that came before the port was known closes it now.
  if (acceptorClosing_)
    knock(listeningPort());
  {
    std::lock_guard<std::mutex> guard(timerLock_);
    trimTimer_ = std::make_unique<boost::asio::steady_timer>(endpoint_.get_io_service());
    if (settings_.idleTimeout.count() > 0) {
      idleTimer_ = std::make_unique<boost::asio::steady_timer>(endpoint_.get_io_service());
      armIdleSweepLocked();
    }
  }

  std::vector<std::thread> threads;
  threads.reserve(static_cast<std::size_t>(std::max(settings_.ioThreads - 1, 0)));
  for (int i = 1; i < settings_.ioThreads; ++i)
    threads.emplace_back([this] { runLoop(); });
  if (settings_.ioThreads >= 1)
    runLoop();
  for (auto& thread : threads)
    thread.join();
}

void NotificationServer::installConnectionContext(const websocketpp::connection_hdl& hdl)
{
  boost::system::error_code ignored;
  Endpoint::connection_ptr connection;
  try {
    connection = endpoint_.get_con_from_hdl(hdl);
    // Here the accept chain is between an accept and the next: the one place
    // where the acceptor may be closed.
    if (acceptorClosing_) {
      closeAcceptorOnce();
      connection->get_socket().lowest_layer().close(ignored);
      return;
    }
    if (!admitConnection(hdl)) {
      connection->get_socket().lowest_layer().close(ignored);
      return;
    }
    // Replies are small and each is waited for: send them at once, not
    // after the sender has acknowledged the previous one.
    connection->get_socket().lowest_layer().set_option(boost::asio::ip::tcp::no_delay(true), ignored);
    // Fail closed: a connection whose context is not exactly as configured
    // is cut before its handshake.
    std::shared_ptr<boost::asio::ssl::context> fresh = makeTlsContext(settings_.tls, settings_.tls.mode());
    SSL* ssl = connection->get_socket().native_handle();
    static const unsigned char sessionContext[] = "quelm-receiver";
    if (fresh && adoptTlsContext(ssl, fresh->native_handle(), settings_.tls.mode())
        && SSL_set_session_id_context(ssl, sessionContext, sizeof sessionContext - 1) == 1)
      return;
    if (fresh)
      writeLog("ERR", "SSLException: the TLS settings could not be applied to the connection");
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("SSLException: ") + error.what());
  }
  if (connection)
    connection->get_socket().lowest_layer().close(ignored);
}

void NotificationServer::runLoop()
{
  // A handler that throws must cost one log line, not an I/O thread.
  for (;;) {
    try {
      endpoint_.run();
      return;
    } catch (const std::exception& error) {
      writeLog("ERR", std::string("THREAD Syslog#event loop: ") + error.what());
    }
  }
}

void NotificationServer::stopAccepting()
{
  // The acceptor is closed from inside the accept chain, where no I/O thread
  // re-arms it meanwhile: the next connection accepted closes it (and is
  // closed itself). A connection of the Receiver's own makes that happen at
  // once; the loop goes on serving the open sessions throughout.
  if (acceptorClosing_.exchange(true))
    return;
  const int port = listeningPort();
  if (port > 0)
    knock(port);
}

void NotificationServer::closeAcceptorOnce()
{
  if (acceptorClosed_.exchange(true))
    return;
  try {
    websocketpp::lib::error_code ec;
    endpoint_.stop_listening(ec);
  } catch (const std::exception&) {
    // Never listened, or closed already: nothing to accept from.
  }
}

void NotificationServer::stop()
{
  // Closing everything at once makes the library report each torn-down
  // handshake and socket on standard error: noise for a stop.
  endpoint_.clear_error_channels(websocketpp::log::elevel::all);
  stopStarted_ = true;
  stopAccepting();
  for (ThrottledReport* report :
      { drops_.get(), refusals_.get(), connectionRefusals_.get(), stopRefusals_.get(), badIds_.get() })
    report->cancel();
  {
    std::lock_guard<std::mutex> guard(timerLock_);
    if (idleTimer_)
      idleTimer_->cancel();
    if (trimTimer_)
      trimTimer_->cancel();
  }
  std::vector<websocketpp::connection_hdl> open;
  {
    std::lock_guard<std::mutex> guard(connectionLock_);
    stopping_ = true;
    for (const auto& entry : connections_)
      open.push_back(entry.first);
  }
  // Closed outside the lock: a close can run onClose, which takes it. A
  // handle whose connection is already gone is skipped so the others still
  // get closed.
  for (auto& hdl : open) {
    websocketpp::lib::error_code ec;
    endpoint_.close(hdl, websocketpp::close::status::going_away, "the Receiver is stopping", ec);
  }
}

void NotificationServer::abort() { endpoint_.stop(); }

void NotificationServer::onOpen(const websocketpp::connection_hdl& hdl)
{
  trace("SyslogServer#on_open:");
  bool late = false;
  Endpoint::connection_ptr connection = endpoint_.get_con_from_hdl(hdl);
  Session session { nullptr, std::string(), std::chrono::steady_clock::now() };
  if (connection->get_subprotocol() == ackSubprotocol)
    session.replies = std::make_shared<ConnectionReplies>(replyHub_, hdl);
  if (settings_.senders.active())
    session.identity = senderIdentity(*connection);
  {
    std::lock_guard<std::mutex> guard(connectionLock_);
    connections_[hdl] = std::move(session);
    late = stopping_;
  }
  // A handshake that was under way when stop ran is closed as soon as it
  // completes, so that stop leaves no connection open.
  if (late) {
    websocketpp::lib::error_code ec;
    endpoint_.close(hdl, websocketpp::close::status::going_away, "the Receiver is stopping", ec);
  }
  trace("SyslogServer#on_open end");
}

void NotificationServer::onClose(const websocketpp::connection_hdl& hdl)
{
  trace("SyslogServer#on_close:");
  forgetConnection(hdl);
  // Late enough for the closed sessions' sockets to be gone (their TLS
  // shutdown may take the library's 5 s time-out).
  scheduleTrim(std::chrono::seconds(10));
  trace("SyslogServer#on_close end");
}

void NotificationServer::onMessage(const websocketpp::connection_hdl& hdl, const MessagePtr& msg)
{
  try {
    // The message is dropped after this handler: its payload is moved into
    // the notification rather than copied.
    std::string& payload = msg->get_raw_payload();
    if (trace_)
      trace("THREAD SyslogServer#on_message:" + logSafe(payload));
    Notification item { hostFromPayload(payload), std::move(payload) };
    if (settings_.metrics != nullptr)
      item.received = std::chrono::steady_clock::now();
    // The session is looked up only when something needs it: the idle clock,
    // the sender rules or the replies. A plain one-way sender takes no lock.
    const bool rules = settings_.senders.active(), idleClock = settings_.idleTimeout.count() > 0;
    std::string identity;
    if (rules || idleClock || endpoint_.get_con_from_hdl(hdl)->get_subprotocol() == ackSubprotocol) {
      std::lock_guard<std::mutex> guard(connectionLock_);
      auto found = connections_.find(hdl);
      if (found != connections_.end()) {
        Session& session = found->second;
        if (idleClock)
          session.lastMessage = std::chrono::steady_clock::now();
        if (rules)
          identity = session.identity;
        if (session.replies) {
          item.seq = static_cast<ConnectionReplies&>(*session.replies).nextSeq();
          item.replyTo = session.replies;
        }
      }
    }
    admit(std::move(item), identity, hdl);
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("THREAD SyslogServer#on_message: ") + error.what());
  }
}

std::string NotificationServer::senderIdentity(Endpoint::connection_type& connection)
{
  bool ambiguous = false;
  std::string identity = peerCommonName(connection.get_socket().native_handle(), ambiguous);
  if (ambiguous)
    writeLog("ERR",
        "SyslogServer#client certificate of " + logSafe(connection.get_remote_endpoint())
            + " has more than one common name: no sender identity, its notifications are refused");
  return identity;
}

bool NotificationServer::screen(Notification& item, const std::string& identity)
{
  if (!settings_.senders.allows(identity, item.host)) {
    ++forbidden_;
    count(settings_.metrics, &Metrics::forbidden);
    refusals_->count(identity, item.host);
    item.answer(Outcome::forbidden);
    return false;
  }
  // An id that cannot serve is refused rather than ignored: its sender
  // counts on copies being recognised.
  NotificationId id = notificationIdOf(item.message);
  if (id.kind == NotificationId::Kind::invalid) {
    count(settings_.metrics, &Metrics::rejected);
    badIds_->count(std::string(), "from " + logSafe(item.host) + ": " + id.value);
    item.answer(Outcome::rejected);
    return false;
  }
  if (id.kind == NotificationId::Kind::valid)
    item.id = std::move(id.value);
  if (trace_)
    trace("th_listener#PUSH NOTIF#");
  return true;
}

void NotificationServer::settle(NotificationQueue::Offer result, const Notification& item,
    const websocketpp::connection_hdl& hdl)
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
    drops_->count(std::string(), item.host);
    item.answer(Outcome::dropped);
    break;
  case NotificationQueue::Offer::closed: {
    // The Receiver is stopping: nobody will handle it. A sender that
    // gets no answers learns it from the close.
    count(settings_.metrics, &Metrics::shutdown);
    stopRefusals_->count(std::string(), item.host);
    websocketpp::lib::error_code ec;
    if (item.replyTo)
      item.answer(Outcome::shutdown);
    else
      endpoint_.close(hdl, websocketpp::close::status::going_away, "the Receiver is stopping", ec);
    break;
  }
  }
}

void NotificationServer::admit(Notification&& item, const std::string& identity, const websocketpp::connection_hdl& hdl)
{
  if (!screen(item, identity))
    return;
  // Offered as a copy, so that what the queue does not take is still here
  // to answer; the payload itself is moved.
  Notification kept { item.host, std::string(), item.replyTo, item.seq };
  kept.id = item.id;
  NotificationQueue::Offered offered = queue_.offer(std::move(item), settings_.queueLimit);
  if (offered.dropped) {
    // Queued in place of the newest of the host with the most waiting.
    countAnswered(settings_.metrics, *offered.dropped, Outcome::dropped);
    drops_->count(std::string(), offered.dropped->host);
    offered.dropped->answer(Outcome::dropped);
  }
  settle(offered.result, kept, hdl);
}

void NotificationServer::onHttp(const websocketpp::connection_hdl& hdl)
{
  Endpoint::connection_ptr connection;
  try {
    connection = endpoint_.get_con_from_hdl(hdl);
    const websocketpp::http::parser::request& request = connection->get_request();
    if (trace_)
      trace("THREAD SyslogServer#on_http: " + logSafe(request.get_method() + " " + request.get_uri()));
    const HttpRoute route = routeHttp({ request.get_method(), request.get_uri(), request.get_header("Transfer-Encoding"),
        request.get_header("Content-Type"), acceptorClosing_ || stopStarted_, bool(settings_.databaseCheck) });
    switch (route.next) {
    case HttpRoute::Next::answer:
      setAnswer(*connection, route.answer);
      if (!route.allow.empty())
        connection->replace_header("Allow", route.allow);
      break;
    case HttpRoute::Next::checkDatabase:
      replyHub_->defer(connection);
      settings_.databaseCheck([hub = replyHub_, hdl](bool answers) {
        hub->respond(hdl, answers ? statusAnswer(200, "ok") : statusAnswer(503, "the database does not answer", 5));
      });
      break;
    case HttpRoute::Next::takeBatch:
      takeBatch(connection);
      break;
    }
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("THREAD SyslogServer#on_http: ") + error.what());
    if (connection)
      setAnswer(*connection, errorAnswer(500, "the request could not be handled"));
  }
}

void NotificationServer::takeBatch(const Endpoint::connection_ptr& connection)
{
  const websocketpp::http::parser::request& request = connection->get_request();
  // A large body is split by few requests at once: a flood of them waits
  // for a 503 rather than growing the memory.
  const bool large = request.get_body().size() > httpLargeBody;
  if (large && largeParses_.fetch_add(1) >= httpLargeParses) {
    --largeParses_;
    setAnswer(*connection, errorAnswer(503, "too many large requests at once"));
    connection->replace_header("Retry-After", "1");
    return;
  }
  NotificationBatch batch = splitNotificationBatch(request.get_body(), endpoint_.get_max_message_size());
  if (large) {
    --largeParses_;
    // What its parse took goes back to the system once the request is over.
    scheduleTrim(std::chrono::seconds(2));
  }
  if (batch.refusal != NotificationBatch::Refusal::none) {
    setAnswer(*connection, errorAnswer(batch.refusal == NotificationBatch::Refusal::tooLarge ? 413 : 400, batch.why));
    return;
  }
  if (batch.items.empty()) {
    setAnswer(*connection, batchAnswer({}));
    return;
  }
  queueBatch(connection, batch);
}

void NotificationServer::queueBatch(const Endpoint::connection_ptr& connection, NotificationBatch& batch)
{
  const std::string identity = settings_.senders.active() ? senderIdentity(*connection) : std::string();
  const websocketpp::connection_hdl hdl = connection->get_handle();
  replyHub_->defer(connection);
  auto replies = std::make_shared<BatchReplies>(batch.items.size(),
      [hub = replyHub_, hdl](std::vector<Outcome> outcomes) { hub->respond(hdl, batchAnswer(outcomes)); });
  // The batch is queued whole or not at all: a batch sent again after a 503
  // finds none of its items queued by the earlier try.
  std::uint64_t seq = 0;
  std::vector<Notification> admitted;
  for (std::string& text : batch.items) {
    if (trace_)
      trace("THREAD SyslogServer#on_http item:" + logSafe(text));
    Notification item { hostFromPayload(text), std::move(text), replies, ++seq };
    if (settings_.metrics != nullptr)
      item.received = std::chrono::steady_clock::now();
    if (screen(item, identity))
      admitted.push_back(std::move(item));
  }
  const std::vector<NotificationQueue::Offer> results = queue_.offerBatch(admitted, settings_.queueLimit);
  for (std::size_t i = 0; i < admitted.size(); ++i)
    settle(results[i], admitted[i], hdl);
  replies->seal();
}

void NotificationServer::onFail(const websocketpp::connection_hdl& hdl)
{
  // A sender refused at the handshake is worth a line when senders must
  // prove who they are; one closed for max_connections has had its line.
  if (!forgetConnection(hdl))
    return;
  try {
    Endpoint::connection_ptr connection = endpoint_.get_con_from_hdl(hdl);
    if (settings_.metrics != nullptr && isTlsHandshakeFailure(connection->get_ec()))
      settings_.metrics->handshakeFailures->Increment();
    if (!settings_.tls.verifyClient)
      return;
    std::string reason = connection->get_ec().message();
    std::string detail = connection->get_transport_ec().message();
    if (!detail.empty() && detail != reason)
      reason += " (" + detail + ")";
    writeLog("ERR", "SyslogServer#connection refused from " + connection->get_remote_endpoint() + ": " + reason);
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("SyslogServer#connection refused: ") + error.what());
  }
}

bool NotificationServer::admitConnection(const websocketpp::connection_hdl& hdl)
{
  {
    std::lock_guard<std::mutex> guard(connectionLock_);
    const std::size_t most = settings_.maxConnections;
    // At the limit, the sessions whose sender has closed them no longer
    // count, although the library may wait for their TLS shutdown a while.
    if (live_.size() >= pruneAt_) {
      for (auto hdl = live_.begin(); hdl != live_.end();)
        hdl = hdl->expired() ? live_.erase(hdl) : std::next(hdl);
      pruneAt_ = std::max<std::size_t>(64, 2 * live_.size());
    }
    if (most == 0 || live_.size() < most || live_.size() - endedLocked(live_) < most) {
      live_.insert(hdl);
      return true;
    }
  }
  ++refusedConnections_;
  count(settings_.metrics, &Metrics::refusedConnections);
  std::string peer;
  try {
    peer = endpoint_.get_con_from_hdl(hdl)->get_remote_endpoint();
  } catch (const std::exception&) {
    peer = "an unknown peer";
  }
  connectionRefusals_->count(std::string(), peer);
  return false;
}

bool NotificationServer::forgetConnection(const websocketpp::connection_hdl& hdl)
{
  std::lock_guard<std::mutex> guard(connectionLock_);
  connections_.erase(hdl);
  return live_.erase(hdl) > 0;
}

void NotificationServer::armIdleSweepLocked()
{
  // A sweep already due when stop cancelled the timer must not arm another.
  if (stopStarted_)
    return;
  // Often enough that a session outlives its limit by a small share of it.
  auto period = std::min<std::chrono::steady_clock::duration>(settings_.idleTimeout / 4, std::chrono::seconds(1));
  idleTimer_->expires_after(std::max<std::chrono::steady_clock::duration>(period, std::chrono::milliseconds(100)));
  idleTimer_->async_wait([this](const boost::system::error_code& ec) {
    if (ec || stopStarted_)
      return;
    closeIdleSessions();
    std::lock_guard<std::mutex> guard(timerLock_);
    armIdleSweepLocked();
  });
}

void NotificationServer::scheduleTrim(std::chrono::seconds delay)
{
  std::lock_guard<std::mutex> guard(timerLock_);
  if (!trimTimer_ || stopStarted_ || trimPending_.exchange(true))
    return;
  trimTimer_->expires_after(delay);
  trimTimer_->async_wait([this](const boost::system::error_code& ec) {
    trimPending_ = false;
    if (!ec)
      ::malloc_trim(0);
  });
}

void NotificationServer::closeIdleSessions()
{
  std::vector<websocketpp::connection_hdl> idle;
  auto limit = std::chrono::steady_clock::now() - settings_.idleTimeout;
  {
    std::lock_guard<std::mutex> guard(connectionLock_);
    if (stopping_)
      return;
    for (const auto& [hdl, session] : connections_) {
      // A session waiting for an answer is not idle; its clock starts again
      // from the last answer.
      const auto* replies = static_cast<const ConnectionReplies*>(session.replies.get());
      if (replies != nullptr && (replies->inFlight() || replies->lastReply() > limit))
        continue;
      if (session.lastMessage <= limit)
        idle.push_back(hdl);
    }
  }
  // Closed outside the lock, as stop does.
  for (auto& hdl : idle) {
    websocketpp::lib::error_code ec;
    endpoint_.close(hdl, websocketpp::close::status::normal, "idle", ec);
  }
}
