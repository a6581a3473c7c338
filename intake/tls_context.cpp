#include "intake/tls_context.h"

#include "core/log.h"

#include <boost/asio/ssl/context.hpp>
#include <openssl/ssl.h>
#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

const char* const modernCipherList = "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:kEDH+AESGCM:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:DHE-RSA-AES128-SHA256:DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA256:DHE-RSA-AES256-SHA256:DHE-DSS-AES256-SHA:DHE-RSA-AES256-SHA:!aNULL:!eNULL:!EXPORT:!DES:!RC4:!3DES:!MD5:!PSK";

const char* const broadCipherList = "ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-AES256-GCM-SHA384:DHE-RSA-AES128-GCM-SHA256:DHE-DSS-AES128-GCM-SHA256:kEDH+AESGCM:ECDHE-RSA-AES128-SHA256:ECDHE-ECDSA-AES128-SHA256:ECDHE-RSA-AES128-SHA:ECDHE-ECDSA-AES128-SHA:ECDHE-RSA-AES256-SHA384:ECDHE-ECDSA-AES256-SHA384:ECDHE-RSA-AES256-SHA:ECDHE-ECDSA-AES256-SHA:DHE-RSA-AES128-SHA256:DHE-RSA-AES128-SHA:DHE-DSS-AES128-SHA256:DHE-RSA-AES256-SHA256:DHE-DSS-AES256-SHA:DHE-RSA-AES256-SHA:AES128-GCM-SHA256:AES256-GCM-SHA384:AES128-SHA256:AES256-SHA256:AES128-SHA:AES256-SHA:AES:CAMELLIA:DES-CBC3-SHA:!aNULL:!eNULL:!EXPORT:!DES:!RC4:!MD5:!PSK:!aECDH:!EDH-DSS-DES-CBC3-SHA:!EDH-RSA-DES-CBC3-SHA:!KRB5-DES-CBC3-SHA";

const char* cipherListForMode(int mode)
{
  return mode == 2 ? modernCipherList : broadCipherList;
}

std::shared_ptr<boost::asio::ssl::context> makeTlsContext(const TlsSettings& settings, int mode)
{
  const std::string& keyfile = settings.certificate;
  const std::string& cafile = settings.cafile;
  namespace ssl = boost::asio::ssl;
  auto context = std::make_shared<ssl::context>(ssl::context::tlsv12);
  try {
    writeLog("INFO", "cafile:" + cafile);
    writeLog("INFO", "keyfile:" + keyfile);
    // An encrypted key must fail to load rather than make OpenSSL prompt on
    // a terminal from an I/O thread: answer every pass phrase request empty.
    context->set_password_callback([](std::size_t, ssl::context::password_purpose) { return std::string(); });
    context->use_certificate_chain_file(keyfile);
    context->use_private_key_file(keyfile, ssl::context::pem);
    if (settings.verifyClient) {
      // Senders must prove themselves with a certificate from our authority.
      context->load_verify_file(cafile);
      context->set_verify_mode(ssl::verify_peer | ssl::verify_fail_if_no_peer_cert);
    } else {
      context->set_verify_mode(ssl::verify_none);
    }
    writeLog("INFO", "SSL ca and key file is OK");
    if (mode == 2)
      writeLog("INFO", "modern mode");
    if (SSL_CTX_set_cipher_list(context->native_handle(), cipherListForMode(mode)) != 1)
      writeLog("ERR", "Error setting cipher list");
    else
      writeLog("INFO", "SSL context OK:");
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("SSLException: ") + error.what());
  }
  return context;
}

bool selectFirstSubprotocol(websocketpp::server<websocketpp::config::asio_tls>& endpoint, const std::weak_ptr<void>& hdl)
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

std::string getPassword()
{
  return "kram";
}
