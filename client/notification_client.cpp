#include "client/notification_client.h"

#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/verify_context.hpp>
#include <openssl/x509_vfy.h>

#include <arpa/inet.h>

#include <cstdlib>
#include <iostream>
#include <utility>

namespace {

// Bounded wait for an open connection to finish its closing handshake when
// the client is destroyed; the library's own time-outs are 5 s per phase.
const std::chrono::milliseconds destructorGrace(7000);

} // namespace

NotificationClient::NotificationClient()
    : output(&std::cout)
{
  setDefaultSetting();
}

NotificationClient::NotificationClient(std::string uri)
    : uri(std::move(uri))
    , output(&std::cout)
{
  setDefaultSetting();
}

NotificationClient::~NotificationClient()
{
  endpoint.stop_perpetual();
  if (!runThread)
    return;
  if (phase() == Phase::open)
    close(websocketpp::close::status::going_away, "");
  // The loop ends by itself once the connection is over; if it lingers past
  // the grace period, stop it so the destructor never hangs.
  if (waitFinished(destructorGrace) == Phase::open || phase() == Phase::connecting)
    endpoint.stop();
  // A connection that is over may still leave the loop work (a TLS shutdown
  // with a peer that went away): it gets the grace, not more.
  {
    std::unique_lock<std::mutex> lock(stateLock);
    if (!phaseChanged.wait_for(lock, destructorGrace, [this] { return loopEnded; })) {
      lock.unlock();
      endpoint.stop();
    }
  }
  runThread->join();
}

void NotificationClient::setDefaultSetting()
{
  using websocketpp::lib::placeholders::_1;
  using websocketpp::lib::placeholders::_2;
  debugEnabled = false;
  endpoint.set_access_channels(websocketpp::log::alevel::all);
  endpoint.set_error_channels(websocketpp::log::elevel::all);
  endpoint.init_asio();
  endpoint.start_perpetual();
  endpoint.set_socket_init_handler(websocketpp::lib::bind(&NotificationClient::onSocketInit, this, _1));
  endpoint.set_tls_init_handler(websocketpp::lib::bind(&NotificationClient::onTlsInit, this, _1));
  endpoint.set_message_handler(websocketpp::lib::bind(&NotificationClient::onMessage, this, _1, _2));
  endpoint.set_open_handler(websocketpp::lib::bind(&NotificationClient::onOpen, this, _1));
  endpoint.set_close_handler(websocketpp::lib::bind(&NotificationClient::onClose, this, _1));
  endpoint.set_fail_handler(websocketpp::lib::bind(&NotificationClient::onFail, this, _1));
  // Called once the TCP connection exists, before the TLS handshake. Small
  // messages go out at once: without this, the kernel holds a message back
  // until the previous one is acknowledged.
  endpoint.set_tcp_pre_init_handler([this](const websocketpp::connection_hdl& hdl) {
    tcpConnected = true;
    websocketpp::lib::error_code ec;
    boost::system::error_code option;
    if (Endpoint::connection_ptr connection = endpoint.get_con_from_hdl(hdl, ec))
      connection->get_socket().lowest_layer().set_option(boost::asio::ip::tcp::no_delay(true), option);
  });
}

void NotificationClient::setClientCertificate(std::string pemPath) { clientCertificate = std::move(pemPath); }

void NotificationClient::setServerVerification(bool verify, std::string authorityFile)
{
  verifyServer = verify;
  serverAuthority = std::move(authorityFile);
}

void NotificationClient::setOutput(std::ostream& out) { output = &out; }

void NotificationClient::setLibraryLogging(bool enabled)
{
  if (enabled) {
    endpoint.set_access_channels(websocketpp::log::alevel::all);
    endpoint.set_error_channels(websocketpp::log::elevel::all);
    endpoint.get_alog().set_ostream(&std::cerr);
    endpoint.get_elog().set_ostream(&std::cerr);
  } else {
    endpoint.clear_access_channels(websocketpp::log::alevel::all);
    endpoint.clear_error_channels(websocketpp::log::elevel::all);
    endpoint.set_error_channels(websocketpp::log::elevel::info | websocketpp::log::elevel::warn
        | websocketpp::log::elevel::rerror | websocketpp::log::elevel::fatal);
    endpoint.get_elog().set_ostream(&libraryLog);
  }
}

void NotificationClient::addSubprotocol(const std::string& value) { subprotocols.push_back(value); }

void NotificationClient::setCloseAction(std::function<void()> action) { closeAction = std::move(action); }

void NotificationClient::setFailAction(std::function<void()> action) { failAction = std::move(action); }

void NotificationClient::setReplyAction(std::function<void(const std::string&)> action)
{
  replyAction = std::move(action);
}

void NotificationClient::setDebugFunction(DebugFunction fn)
{
  debugFunction = fn;
  debugEnabled = true;
}

void NotificationClient::trace(const std::string& line)
{
  if (debugEnabled && debugFunction != nullptr)
    debugFunction(line);
}

void NotificationClient::connect()
{
  if (runThread)
    return;
  // Taken before the connection is made: the library runs the socket and TLS
  // init handlers while making it.
  startTime = Clock::now();
  websocketpp::lib::error_code ec;
  Endpoint::connection_ptr connection = endpoint.get_connection(uri, ec);
  if (ec) {
    *output << "could not create connection because: " << ec.message() << std::endl;
    std::lock_guard<std::mutex> guard(stateLock);
    failure = "could not create connection because: " + ec.message();
    currentPhase = Phase::failed;
    return;
  }
  for (const std::string& value : subprotocols) {
    connection->add_subprotocol(value, ec);
    if (ec) {
      *output << "could not create connection because: " << ec.message() << std::endl;
      std::lock_guard<std::mutex> guard(stateLock);
      failure = "could not create connection because: " + ec.message();
      currentPhase = Phase::failed;
      return;
    }
  }
  setPhase(Phase::connecting);
  endpoint.connect(connection);
  runThread = std::make_shared<std::thread>([this] {
    try {
      endpoint.run();
    } catch (const std::exception& error) {
      std::lock_guard<std::mutex> guard(stateLock);
      failure = error.what();
      currentPhase = Phase::failed;
    }
    {
      std::lock_guard<std::mutex> guard(stateLock);
      loopEnded = true;
    }
    phaseChanged.notify_all();
  });
}

websocketpp::connection_hdl NotificationClient::currentHandle() const
{
  std::lock_guard<std::mutex> guard(stateLock);
  return connectionHandle;
}

void NotificationClient::send(const std::string& message) { send(message, websocketpp::frame::opcode::text); }

void NotificationClient::stopLoop() { endpoint.stop(); }

void NotificationClient::send(const std::string& message, websocketpp::frame::opcode::value opcode)
{
  endpoint.send(currentHandle(), message, opcode);
}

bool NotificationClient::close(websocketpp::close::status::value code, const std::string& reason)
{
  websocketpp::lib::error_code ec;
  endpoint.close(currentHandle(), code, reason, ec);
  return !ec;
}

void NotificationClient::setPhase(Phase next)
{
  {
    std::lock_guard<std::mutex> guard(stateLock);
    currentPhase = next;
  }
  phaseChanged.notify_all();
}

NotificationClient::Phase NotificationClient::phase() const
{
  std::lock_guard<std::mutex> guard(stateLock);
  return currentPhase;
}

NotificationClient::Phase NotificationClient::waitOpened(std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(stateLock);
  phaseChanged.wait_for(lock, timeout, [this] { return currentPhase != Phase::connecting; });
  return currentPhase;
}

NotificationClient::Phase NotificationClient::waitFinished(std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> lock(stateLock);
  phaseChanged.wait_for(
      lock, timeout, [this] { return currentPhase != Phase::connecting && currentPhase != Phase::open; });
  return currentPhase;
}

std::string NotificationClient::selectedSubprotocol() const
{
  std::lock_guard<std::mutex> guard(stateLock);
  return subprotocol;
}

int NotificationClient::remoteCloseCode() const
{
  std::lock_guard<std::mutex> guard(stateLock);
  return remoteCode;
}

std::string NotificationClient::failureText() const
{
  std::lock_guard<std::mutex> guard(stateLock);
  return failure;
}

void NotificationClient::printTimings(std::ostream& out) const
{
  auto line = [&](const char* label, Clock::time_point when) {
    out << label;
    // A phase that never happened has no meaningful duration.
    if (when == Clock::time_point {} || startTime == Clock::time_point {})
      out << "-";
    else
      out << std::chrono::duration_cast<std::chrono::microseconds>(when - startTime).count();
    out << "\n";
  };
  line("Socket Init: ", socketInitTime);
  line("TLS Init: ", tlsInitTime);
  line("Open: ", openTime);
  line("Message: ", messageTime);
  line("Close: ", closeTime);
  out.flush();
}

std::string NotificationClient::lastLibraryError() const
{
  // The first system-level reason wins, as in "asio async_connect error:
  // system:111 (Connection refused)"; later lines only restate it. Without
  // one, the last plain "... error: TLS handshake failed" is used.
  std::istringstream lines(libraryLog.str());
  std::string line;
  std::string plain;
  while (std::getline(lines, line)) {
    std::size_t mark = line.find(" error: ");
    // The clean-up after a failure says nothing about its cause.
    if (mark == std::string::npos || line.find("async_shutdown") != std::string::npos)
      continue;
    std::size_t open = line.rfind(" (");
    if (!line.empty() && line.back() == ')' && open != std::string::npos && open > mark)
      return line.substr(open + 2, line.size() - open - 3);
    plain = line.substr(mark + 8);
  }
  return plain;
}

void NotificationClient::onSocketInit(const websocketpp::connection_hdl&) { socketInitTime = Clock::now(); }

std::shared_ptr<boost::asio::ssl::context> NotificationClient::onTlsInit(const websocketpp::connection_hdl&)
{
  *output << "INIT SSL" << std::endl;
  tlsInitTime = Clock::now();
  // TLS 1.2, or 1.3 where the Receiver offers it (its modern profile).
  auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_3_VERSION);
  if (!clientCertificate.empty()) {
    // A certificate that cannot be loaded is reported; the handshake then
    // goes on without one and the server decides.
    boost::system::error_code ec;
    context->use_certificate_chain_file(clientCertificate, ec);
    if (!ec)
      context->use_private_key_file(clientCertificate, boost::asio::ssl::context::pem, ec);
    if (ec)
      *output << "client certificate " << clientCertificate << ": " << ec.message() << std::endl;
  }
  if (verifyServer)
    verifyServerOn(*context);
  *output << "END SSL" << std::endl;
  return context;
}

void NotificationClient::verifyServerOn(boost::asio::ssl::context& context)
{
  auto remember = [this](const std::string& why) {
    std::lock_guard<std::mutex> guard(stateLock);
    if (verifyError.empty())
      verifyError = why;
  };
  boost::system::error_code ec;
  if (serverAuthority.empty())
    context.set_default_verify_paths(ec);
  else
    context.load_verify_file(serverAuthority, ec);
  if (ec)
    remember("cannot read the authorities " + (serverAuthority.empty() ? "of the system" : serverAuthority) + ": "
        + ec.message());
  context.set_verify_mode(boost::asio::ssl::verify_peer);
  // The name to check is the URI's host: an address against the
  // certificate's IP entries, a name against its DNS entries and common name.
  std::string host;
  try {
    host = websocketpp::uri(uri).get_host();
  } catch (const std::exception&) {
  }
  X509_VERIFY_PARAM* param = SSL_CTX_get0_param(context.native_handle());
  unsigned char address[16];
  bool isAddress
      = ::inet_pton(AF_INET, host.c_str(), address) == 1 || ::inet_pton(AF_INET6, host.c_str(), address) == 1;
  int named = isAddress ? X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str())
                        : X509_VERIFY_PARAM_set1_host(param, host.c_str(), host.size());
  if (named != 1)
    remember("cannot check the name " + host);
  context.set_verify_callback([remember](bool preverified, boost::asio::ssl::verify_context& verify) {
    if (!preverified)
      remember(X509_verify_cert_error_string(X509_STORE_CTX_get_error(verify.native_handle())));
    return preverified;
  });
}

void NotificationClient::onOpen(const websocketpp::connection_hdl& hdl)
{
  openTime = Clock::now();
  std::string selected;
  websocketpp::lib::error_code ec;
  Endpoint::connection_ptr connection = endpoint.get_con_from_hdl(hdl, ec);
  if (connection)
    selected = connection->get_response_header("Sec-WebSocket-Protocol");
  {
    std::lock_guard<std::mutex> guard(stateLock);
    connectionHandle = hdl;
    subprotocol = selected;
  }
  *output << "HEELO" << std::endl;
  setPhase(Phase::open);
}

void NotificationClient::onMessage(const websocketpp::connection_hdl& hdl, const MessagePtr& msg)
{
  messageTime = Clock::now();
  if (replyAction) {
    replyAction(msg->get_payload());
    return;
  }
  websocketpp::lib::error_code ec;
  endpoint.close(hdl, websocketpp::close::status::going_away, "plop", ec);
}

void NotificationClient::onClose(const websocketpp::connection_hdl& hdl)
{
  closeTime = Clock::now();
  websocketpp::lib::error_code ec;
  Endpoint::connection_ptr connection = endpoint.get_con_from_hdl(hdl, ec);
  {
    std::lock_guard<std::mutex> guard(stateLock);
    if (connection)
      remoteCode = connection->get_remote_close_code();
    currentPhase = Phase::closed;
  }
  phaseChanged.notify_all();
  if (closeAction) {
    closeAction();
    return;
  }
  printTimings(*output);
  std::exit(1); // NOLINT(concurrency-mt-unsafe): the owner asked for this default: end the process
}

void NotificationClient::onFail(const websocketpp::connection_hdl& hdl)
{
  websocketpp::lib::error_code ec;
  Endpoint::connection_ptr connection = endpoint.get_con_from_hdl(hdl, ec);
  std::string text;
  if (connection) {
    websocketpp::lib::error_code error = connection->get_ec();
    *output << "Fail handler" << std::endl;
    *output << "state: " << connection->get_state() << std::endl;
    *output << connection->get_local_close_code() << std::endl;
    *output << "close: " << connection->get_local_close_reason() << std::endl;
    *output << connection->get_remote_close_code() << std::endl;
    *output << "remoteclose: " << connection->get_remote_close_reason() << std::endl;
    *output << error << " - " << error.message() << std::endl;
    std::string detail = lastLibraryError();
    text = (tcpConnected ? "TLS or WebSocket handshake failed: " : "no TCP connection: ")
        + (detail.empty() ? error.message() : detail);
  }
  {
    std::lock_guard<std::mutex> guard(stateLock);
    if (!verifyError.empty())
      text = "cannot verify the Receiver's certificate: " + verifyError;
    failure = text;
    currentPhase = Phase::failed;
  }
  phaseChanged.notify_all();
  if (failAction)
    failAction();
}
