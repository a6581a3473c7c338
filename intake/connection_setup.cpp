#include "intake/connection_setup.h"

#include <poll.h>

#include "core/log.h"

#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace {

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

} // namespace

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

bool installTlsContext(ListenerEndpoint::connection_type& connection, const TlsSettings& settings)
{
  // Fail closed: a connection whose context is not exactly as configured
  // is cut before its handshake.
  std::shared_ptr<boost::asio::ssl::context> fresh = makeTlsContext(settings, settings.mode());
  SSL* ssl = connection.get_socket().native_handle();
  static const unsigned char sessionContext[] = "quelm-receiver";
  if (fresh && adoptTlsContext(ssl, fresh->native_handle(), settings.mode())
      && SSL_set_session_id_context(ssl, sessionContext, sizeof sessionContext - 1) == 1)
    return true;
  if (fresh)
    writeLog("ERR", "SSLException: the TLS settings could not be applied to the connection");
  return false;
}

std::string senderIdentity(ListenerEndpoint::connection_type& connection)
{
  bool ambiguous = false;
  std::string identity = peerCommonName(connection.get_socket().native_handle(), ambiguous);
  if (ambiguous)
    writeLog("ERR",
        "SyslogServer#client certificate of " + logSafe(connection.get_remote_endpoint())
            + " has more than one common name: no sender identity, its notifications are refused");
  return identity;
}

void knock(int port)
{
  for (const char* address : { "::1", "127.0.0.1" }) {
    boost::system::error_code ec;
    boost::asio::io_service io;
    boost::asio::ip::tcp::socket socket(io);
    const boost::asio::ip::tcp::endpoint own(
        boost::asio::ip::make_address(address, ec), static_cast<unsigned short>(port));
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
