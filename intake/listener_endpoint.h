#pragma once

#include <websocketpp/config/asio.hpp>
#include <websocketpp/server.hpp>

#include <functional>
#include <memory>
#include <set>

// The secure WebSocket endpoint the listener serves on, and its handles.
using ListenerEndpoint = websocketpp::server<websocketpp::config::asio_tls>;
using HandleLess = std::owner_less<websocketpp::connection_hdl>;
using HandleSet = std::set<websocketpp::connection_hdl, HandleLess>;
