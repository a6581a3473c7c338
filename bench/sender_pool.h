#pragma once

#include "client/notification_client.h"

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

// Several secure WebSocket connections to the daemon, each a NotificationClient
// with its own event loop thread. Messages are spread over them by index.
class SenderPool {
public:
  // Called on a connection's event loop thread with the connection's index
  // and each reply's text.
  using ReplyHandler = std::function<void(std::size_t connection, const std::string& reply)>;

  SenderPool(std::string uri, int connections);
  // Connections that ask for acknowledgements, whose replies go to onReply.
  SenderPool(std::string uri, int connections, ReplyHandler onReply);
  // Connections spread over several servers: connection i goes to
  // uris[i % uris.size()].
  SenderPool(std::vector<std::string> uris, int connections, ReplyHandler onReply);
  ~SenderPool();
  SenderPool(const SenderPool&) = delete;
  SenderPool& operator=(const SenderPool&) = delete;

  // Opens every connection; throws std::runtime_error if one does not open
  // within the timeout.
  void open(std::chrono::milliseconds timeout);
  // Sends on connection (slot modulo the count); false if that connection
  // is not open any more.
  bool send(std::size_t slot, const std::string& payload);
  // Closes one connection with a closing handshake (which the server
  // completes only after reading every frame sent before it) and opens a
  // new one in its place.
  void reconnect(std::size_t slot, std::chrono::milliseconds timeout);
  // Closes every connection and waits for each closing handshake; returns
  // how many did not close normally.
  int closeAll(std::chrono::milliseconds timeout);

  std::size_t size() const { return clients_.size(); }
  long reconnects() const { return reconnects_; }

private:
  std::unique_ptr<NotificationClient> makeClient(std::size_t index);

  std::vector<std::string> uris_;
  ReplyHandler onReply_;
  std::ostream quiet_ { nullptr };
  std::vector<std::unique_ptr<NotificationClient>> clients_;
  long reconnects_ = 0;
};
