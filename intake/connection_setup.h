#pragma once

#include "intake/listener_endpoint.h"
#include "intake/tls_context.h"

#include <memory>
#include <string>

// What a connection is created with: TLS 1.2, the server's cipher list and no
// certificate, so that a connection never given its real context fails its
// handshake.
std::shared_ptr<boost::asio::ssl::context> placeholderContext();

// Builds the configured TLS context and puts it on a connection whose
// handshake has not begun; false (logged) when it could not be applied.
bool installTlsContext(ListenerEndpoint::connection_type& connection, const TlsSettings& settings);

// The sender identity of a connection's certificate; a subject with
// several common names has none, and is logged.
std::string senderIdentity(ListenerEndpoint::connection_type& connection);

// Opens and closes a TCP connection to the Receiver's own port on loopback
// (IPv6, then IPv4), so that its accept chain runs once; within a second at
// most.
void knock(int port);
