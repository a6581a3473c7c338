#include "intake/notification_server.h"

#include "core/log.h"
#include "intake/connection_setup.h"
#include "intake/http_intake.h"
#include "intake/http_routes.h"
#include "intake/listen_error.h"
#include "intake/payload_host.h"
#include "intake/reply_hub.h"
#include "intake/tls_context.h"

#include <boost/version.hpp>

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
    , connections_(settings_.maxConnections, [this](const websocketpp::connection_hdl& hdl) { return hasEnded(hdl); })
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
  boost::asio::io_service& io = endpoint_.get_io_service();
  admission_ = std::make_unique<Admission>(settings_, queue_, io, trace_);
  housekeeping_ = std::make_unique<Housekeeping>(io, settings_.idleTimeout, [this] { closeIdleSessions(); });
  connectionRefusals_ = std::make_unique<ThrottledReport>(io,
      [most = std::to_string(settings_.maxConnections)](
          const std::string&, const std::string& peer, std::size_t count) {
        return "SyslogServer#max_connections (" + most + ") reached, connection from " + peer + " closed; "
            + std::to_string(count) + " closed since the last report";
      });
}

NotificationServer::~NotificationServer() { replyHub_->detach(); }

std::size_t NotificationServer::forbiddenNotifications() const { return admission_->forbidden(); }

void NotificationServer::setListenState(ListenState state, int bound, const std::string& error)
{
  *listenStatus_.lock() = ListenStatus { state, bound, error };
  listenChanged_.notify_all();
}

bool NotificationServer::waitListening(std::chrono::milliseconds timeout)
{
  auto status = listenStatus_.lock();
  status.waitFor(listenChanged_, timeout, [](const ListenStatus& now) { return now.state != ListenState::notYet; });
  return status->state == ListenState::listening;
}

int NotificationServer::listeningPort() const { return listenStatus_.copy().boundPort; }

std::string NotificationServer::listenError() const { return listenStatus_.copy().error; }

std::size_t NotificationServer::connectionCount() { return connections_.openCount(); }

bool NotificationServer::hasEnded(const websocketpp::connection_hdl& hdl)
{
  websocketpp::lib::error_code ec;
  Endpoint::connection_ptr connection = endpoint_.get_con_from_hdl(hdl, ec);
  return ec || connection->get_state() == websocketpp::session::state::closed;
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
  housekeeping_->start();

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
    if (installTlsContext(*connection, settings_.tls))
      return;
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

void NotificationServer::closeForStop(const websocketpp::connection_hdl& hdl)
{
  // A handle whose connection is already gone is skipped.
  websocketpp::lib::error_code ec;
  endpoint_.close(hdl, websocketpp::close::status::going_away, "the Receiver is stopping", ec);
}

void NotificationServer::stop()
{
  // Closing everything at once makes the library report each torn-down
  // handshake and socket on standard error: noise for a stop.
  endpoint_.clear_error_channels(websocketpp::log::elevel::all);
  stopStarted_ = true;
  stopAccepting();
  admission_->cancelReports();
  connectionRefusals_->cancel();
  housekeeping_->stop();
  // The sessions open now are closed by the loop, as every other close is;
  // one that opens later closes itself as it opens.
  endpoint_.get_io_service().post([this, open = connections_.beginStop()] {
    for (const auto& hdl : open)
      closeForStop(hdl);
  });
}

void NotificationServer::abort() { endpoint_.stop(); }

void NotificationServer::onOpen(const websocketpp::connection_hdl& hdl)
{
  trace("SyslogServer#on_open:");
  Endpoint::connection_ptr connection = endpoint_.get_con_from_hdl(hdl);
  ConnectionTable::Session session { nullptr, std::string(), std::chrono::steady_clock::now() };
  if (connection->get_subprotocol() == ackSubprotocol)
    session.replies = std::make_shared<ConnectionReplies>(replyHub_, hdl);
  if (settings_.senders.active())
    session.identity = senderIdentity(*connection);
  // A handshake that was under way when stop ran is closed as soon as it
  // completes, so that stop leaves no connection open.
  if (connections_.open(hdl, std::move(session)))
    closeForStop(hdl);
  trace("SyslogServer#on_open end");
}

void NotificationServer::onClose(const websocketpp::connection_hdl& hdl)
{
  trace("SyslogServer#on_close:");
  connections_.forget(hdl);
  // Late enough for the closed sessions' sockets to be gone (their TLS
  // shutdown may take the library's 5 s time-out).
  housekeeping_->scheduleTrim(std::chrono::seconds(10));
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
    if (rules || idleClock || endpoint_.get_con_from_hdl(hdl)->get_subprotocol() == ackSubprotocol)
      connections_.stamp(hdl, item, idleClock, rules ? &identity : nullptr);
    if (!admission_->admit(std::move(item), identity))
      closeForStop(hdl);
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("THREAD SyslogServer#on_message: ") + error.what());
  }
}

void NotificationServer::onHttp(const websocketpp::connection_hdl& hdl)
{
  Endpoint::connection_ptr connection;
  try {
    connection = endpoint_.get_con_from_hdl(hdl);
    const websocketpp::http::parser::request& request = connection->get_request();
    if (trace_)
      trace("THREAD SyslogServer#on_http: " + logSafe(request.get_method() + " " + request.get_uri()));
    const HttpRoute route
        = routeHttp({ request.get_method(), request.get_uri(), request.get_header("Transfer-Encoding"),
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
    housekeeping_->scheduleTrim(std::chrono::seconds(2));
  }
  if (batch.refusal != NotificationBatch::Refusal::none) {
    setAnswer(*connection, errorAnswer(batch.refusal == NotificationBatch::Refusal::tooLarge ? 413 : 400, batch.why));
    return;
  }
  if (batch.items.empty()) {
    setAnswer(*connection, batchAnswer({}));
    return;
  }
  const std::string identity = settings_.senders.active() ? senderIdentity(*connection) : std::string();
  replyHub_->defer(connection);
  auto replies = std::make_shared<BatchReplies>(
      batch.items.size(), [hub = replyHub_, hdl = connection->get_handle()](std::vector<Outcome> outcomes) {
        hub->respond(hdl, batchAnswer(outcomes));
      });
  admission_->admitBatch(batch.items, replies, identity);
  replies->seal();
}

void NotificationServer::onFail(const websocketpp::connection_hdl& hdl)
{
  // A sender refused at the handshake is worth a line when senders must
  // prove who they are; one closed for max_connections has had its line.
  if (!connections_.forget(hdl))
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
  if (connections_.admit(hdl))
    return true;
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

void NotificationServer::closeIdleSessions()
{
  const auto idle = connections_.idleSince(std::chrono::steady_clock::now() - settings_.idleTimeout);
  // Closed outside the table's lock: a close can run onClose, which takes it.
  for (const auto& hdl : idle) {
    websocketpp::lib::error_code ec;
    endpoint_.close(hdl, websocketpp::close::status::normal, "idle", ec);
  }
}
