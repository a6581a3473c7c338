#pragma once

#include <memory>
#include <string>

namespace boost {
namespace asio {
namespace ssl {
class context;
}
}
}

namespace websocketpp {
template <typename config>
class server;
namespace config {
struct asio_tls;
}
}

// Cipher lists for TLS 1.2; mode 2 takes the modern one, every other mode
// the broad one that the server uses.
extern const char* const modernCipherList;
extern const char* const broadCipherList;
const char* cipherListForMode(int mode);

// A fresh TLS 1.2 context for one connection, read from the PEM file named by
// `keyfile` (certificate chain and unencrypted private key). Failures are
// logged at "ERR", never thrown: the context comes back without a usable
// certificate and that connection's handshake fails.
std::shared_ptr<boost::asio::ssl::context> enableSSLMode(int mode, std::weak_ptr<void> hdl);

// The handshake validator: accepts every connection and selects the first
// subprotocol the client offers.
bool validateSyslog(websocketpp::server<websocketpp::config::asio_tls>& endpoint, std::weak_ptr<void> hdl);

// A fixed pass phrase callback; not installed on the server's context.
std::string get_password();
