#include "intake/tls_context.h"

#include "core/log.h"

#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>
#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include <functional>

const char* const modernCipherList
    = "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-"
      "SHA384:DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:kEDH+AESGCM:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-"
      "AES128-SHA256:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:"
      "ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:DHE-RSA-AES128-SHA256:DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA256:DHE-"
      "RSA-AES256-SHA256:DHE-DSS-AES256-SHA:DHE-RSA-AES256-SHA:!aNULL:!eNULL:!EXPORT:!DES:!RC4:!3DES:!MD5:!PSK";

const char* const broadCipherList
    = "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-"
      "SHA384:DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:kEDH+AESGCM:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-"
      "AES128-SHA256:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:"
      "ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:DHE-RSA-AES128-SHA256:DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA256:DHE-"
      "RSA-AES256-SHA256:DHE-DSS-AES256-SHA:DHE-RSA-AES256-SHA:AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA256:"
      "AES256-SHA256:AES128-SHA:AES256-SHA:AES:CAMELLIA:DES-CBC3-SHA:!aNULL:!eNULL:!EXPORT:!DES:!RC4:!MD5:!PSK:!aECDH:!"
      "EDH-DSS-DES-CBC3-SHA:!EDH-RSA-DES-CBC3-SHA:!KRB5-DES-CBC3-SHA";

const char* const aeadCipherList
    = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-"
      "SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-"
      "SHA384:DHE-RSA-CHACHA20-POLY1305";

const char* cipherListForMode(int mode)
{
  return mode == modernProfileMode ? aeadCipherList : mode == 2 ? modernCipherList : broadCipherList;
}

std::shared_ptr<boost::asio::ssl::context> buildTlsContext(
    const TlsSettings& settings, int mode, std::vector<TlsFailure>& failures)
{
  namespace ssl = boost::asio::ssl;
  using Setting = TlsFailure::Setting;
  // A method of any version, bounded to TLS 1.2, or 1.2 and 1.3 in the
  // modern profile: a connection's protocol comes from the bounds.
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  if (SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION) != 1
      || SSL_CTX_set_max_proto_version(
             context->native_handle(), mode == modernProfileMode ? TLS1_3_VERSION : TLS1_2_VERSION)
          != 1) {
    failures.push_back({ Setting::protocolVersions, {} });
    return nullptr;
  }
  // The configured suites and verify mode come first, so that no failure
  // below can leave the library's defaults in place.
  if (SSL_CTX_set_cipher_list(context->native_handle(), cipherListForMode(mode)) != 1) {
    failures.push_back({ Setting::cipherList, {} });
    return nullptr;
  }
  // Senders must prove themselves with a certificate from our authority.
  context->set_verify_mode(
      settings.verifyClient ? ssl::verify_peer | ssl::verify_fail_if_no_peer_cert : ssl::verify_none);
  // An encrypted key must fail to load rather than make OpenSSL prompt on
  // a terminal from an I/O thread: answer every pass phrase request empty.
  context->set_password_callback([](std::size_t, ssl::context::password_purpose) { return std::string(); });
  const std::size_t before = failures.size();
  auto step = [&](Setting setting, const std::function<void()>& load) {
    try {
      load();
    } catch (const std::exception& error) {
      failures.push_back({ setting, error.what() });
      return false;
    }
    return true;
  };
  if (step(Setting::certificate, [&] { context->use_certificate_chain_file(settings.certificate); })
      && step(Setting::privateKey, [&] { context->use_private_key_file(settings.certificate, ssl::context::pem); })
      && SSL_CTX_check_private_key(context->native_handle()) != 1)
    failures.push_back({ Setting::privateKey, "the private key does not belong to the certificate" });
  if (settings.verifyClient)
    step(Setting::authority, [&] { context->load_verify_file(settings.cafile); });
  return failures.size() == before ? context : nullptr;
}

std::shared_ptr<boost::asio::ssl::context> makeTlsContext(const TlsSettings& settings, int mode)
{
  writeLog("INFO", "cafile:" + settings.cafile);
  writeLog("INFO", "keyfile:" + settings.certificate);
  std::vector<TlsFailure> failures;
  std::shared_ptr<boost::asio::ssl::context> context = buildTlsContext(settings, mode, failures);
  for (const TlsFailure& failure : failures) {
    if (failure.setting == TlsFailure::Setting::protocolVersions)
      writeLog("ERR", "Error setting the TLS versions");
    else if (failure.setting == TlsFailure::Setting::cipherList)
      writeLog("ERR", "Error setting cipher list");
    else
      writeLog("ERR", "SSLException: " + failure.reason);
  }
  if (!context)
    return nullptr;
  writeLog("INFO", "SSL ca and key file is OK");
  if (mode == 2 || mode == modernProfileMode)
    writeLog("INFO", "modern mode");
  writeLog("INFO", "SSL context OK:");
  return context;
}

bool adoptTlsContext(SSL* ssl, SSL_CTX* context, int mode)
{
  // The connection's SSL object was made from another context: what it
  // copied then is set again from this one, each step checked.
  if (SSL_set_SSL_CTX(ssl, context) != context)
    return false;
  // An idle connection gives its record buffers back until it reads or
  // writes again.
  SSL_set_mode(ssl, SSL_MODE_RELEASE_BUFFERS);
  SSL_clear_options(ssl, SSL_get_options(ssl));
  SSL_set_options(ssl, SSL_CTX_get_options(context));
  SSL_set_verify(ssl, SSL_CTX_get_verify_mode(context), SSL_CTX_get_verify_callback(context));
  SSL_set_verify_depth(ssl, SSL_CTX_get_verify_depth(context));
  return SSL_set_min_proto_version(ssl, SSL_CTX_get_min_proto_version(context)) == 1
      && SSL_set_max_proto_version(ssl, SSL_CTX_get_max_proto_version(context)) == 1
      && SSL_set_cipher_list(ssl, cipherListForMode(mode)) == 1
      && SSL_set1_param(ssl, SSL_CTX_get0_param(context)) == 1;
}

bool selectFirstSubprotocol(
    websocketpp::server<websocketpp::config::asio_tls>& endpoint, const std::weak_ptr<void>& hdl)
{
  auto connection = endpoint.get_con_from_hdl(hdl);
  writeLog("INFO", "Validate check router");
  const std::vector<std::string>& requested = connection->get_requested_subprotocols();
  if (!requested.empty()) {
    writeLog("INFO", "Requested:" + requested.front());
    connection->select_subprotocol(requested.front());
  }
  return true;
}

std::string getPassword() { return "kram"; }
