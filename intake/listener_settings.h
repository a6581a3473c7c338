#pragma once

#include "intake/sender_rules.h"
#include "intake/tls_context.h"

#include "core/metrics.h"

#include <chrono>
#include <cstddef>
#include <functional>

// How the listener runs (section SYSLOG of the configuration).
struct ListenerSettings {
  // TCP port on the IPv6 wildcard; 0 takes any free port.
  int port = 0;
  // Threads running the event loop.
  int ioThreads = 10;
  TlsSettings tls;
  // Largest message in bytes (a larger one closes its connection with
  // "message too big"); 0 keeps the WebSocket library's default.
  std::size_t maxMessageSize = 0;
  // Most notifications waiting in the queue; 0: no limit. A notification
  // that finds the queue full is dropped and counted in an "ERR" line.
  std::size_t queueLimit = 0;
  // Which hosts each sender may report for; inactive (everyone, any host)
  // unless senders are verified and the section has a line.
  SenderRules senders;
  // Most connections at once, handshakes included; beyond it a new TCP
  // connection is closed at once and counted. 0: no limit.
  std::size_t maxConnections = 0;
  // A session that has sent nothing for this long is closed with code 1000.
  // 0: never.
  std::chrono::seconds idleTimeout { 0 };
  // Where drops, refusals and failed handshakes are counted; none: nowhere.
  Metrics* metrics = nullptr;
  // Asks whether the database answers, for GET /v1/health; the answer may
  // come on any thread, within seconds. None: only the listener counts.
  std::function<void(std::function<void(bool)>)> databaseCheck;
};
