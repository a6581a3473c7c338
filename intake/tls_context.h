#pragma once

#include <memory>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace boost {
namespace asio {
  namespace ssl {
    class context;
  }
}
}

namespace websocketpp {
template <typename config> class server;
namespace config {
  struct asio_tls;
}
}

// Cipher lists for TLS 1.2; mode 2 takes the modern one, mode 3 (the
// opt-in modern profile, which adds TLS 1.3) AEAD suites only, every other
// mode the broad one that the server uses by default.
extern const char* const modernCipherList;
extern const char* const broadCipherList;
extern const char* const aeadCipherList;
const char* cipherListForMode(int mode);
// The mode of the modern profile: TLS 1.2 with AEAD suites, and TLS 1.3.
constexpr int modernProfileMode = 3;

// tls_profile: default, TLS 1.2 with the broad suites; modern, TLS 1.2 with
// AEAD suites only, and TLS 1.3.
enum class TlsProfile { standard, modern };

// Where the listener's TLS material is (section SYSLOG of the configuration).
struct TlsSettings {
  // One PEM file: certificate chain and unencrypted private key.
  std::string certificate;
  // Certificate authority of the senders, used with verifyClient.
  std::string cafile;
  // Senders must present a certificate that verifies against cafile.
  bool verifyClient = false;
  TlsProfile profile = TlsProfile::standard;

  int mode() const { return profile == TlsProfile::modern ? modernProfileMode : 1; }
};

// What a TLS context could not be built from, and the library's reason.
struct TlsFailure {
  enum class Setting { protocolVersions, cipherList, certificate, privateKey, authority };
  Setting setting;
  std::string reason;
};

// A TLS context (TLS 1.2; TLS 1.3 too in the modern profile's mode) read
// from the files named by the settings, logging nothing. A context that
// cannot be built exactly as configured (suites, verify mode, certificate,
// key and that they belong together, and the authority when senders are
// verified) is never returned: the result is null and failures says why,
// every file step being tried, so that each of them is known.
std::shared_ptr<boost::asio::ssl::context> buildTlsContext(
    const TlsSettings& settings, int mode, std::vector<TlsFailure>& failures);

// A fresh TLS context for one connection, as buildTlsContext makes it; each
// failure goes to an "ERR" line and the result is null, so the caller
// refuses that handshake.
std::shared_ptr<boost::asio::ssl::context> makeTlsContext(const TlsSettings& settings, int mode);

// Moves a connection's SSL object onto the context, with the context's
// options, protocol bounds, suites and verify settings; false when a step
// fails (the connection must then be refused).
bool adoptTlsContext(ssl_st* ssl, ssl_ctx_st* context, int mode);

// The handshake validator: accepts every connection and selects the first
// subprotocol the client offers.
bool selectFirstSubprotocol(
    websocketpp::server<websocketpp::config::asio_tls>& endpoint, const std::weak_ptr<void>& hdl);

// A fixed pass phrase callback; not installed on the server's context.
std::string getPassword();
