#include "bench/sender_pool.h"

#include "intake/notification.h"

#include <stdexcept>

SenderPool::SenderPool(std::string uri, int connections)
    : SenderPool(std::move(uri), connections, nullptr)
{
}

SenderPool::SenderPool(std::string uri, int connections, ReplyHandler onReply)
    : SenderPool(std::vector<std::string> { std::move(uri) }, connections, std::move(onReply))
{
}

SenderPool::SenderPool(std::vector<std::string> uris, int connections, ReplyHandler onReply)
    : uris_(std::move(uris))
    , onReply_(std::move(onReply))
{
  for (int i = 0; i < connections; ++i)
    clients_.push_back(makeClient(static_cast<std::size_t>(i)));
}

SenderPool::~SenderPool() { closeAll(std::chrono::milliseconds(5000)); }

std::unique_ptr<NotificationClient> SenderPool::makeClient(std::size_t index)
{
  auto client = std::make_unique<NotificationClient>(uris_[index % uris_.size()]);
  if (onReply_) {
    client->addSubprotocol(ackSubprotocol);
    client->setReplyAction([this, index](const std::string& reply) { onReply_(index, reply); });
  }
  client->setOutput(quiet_);
  client->setLibraryLogging(false);
  // The pool reads the outcome from the phase; nothing may end the process.
  client->setCloseAction([] {});
  client->setFailAction([] {});
  return client;
}

void SenderPool::open(std::chrono::milliseconds timeout)
{
  for (auto& client : clients_)
    client->connect();
  for (auto& client : clients_) {
    if (client->waitOpened(timeout) != NotificationClient::Phase::open)
      throw std::runtime_error("a sender connection did not open: " + client->failureText());
  }
}

bool SenderPool::send(std::size_t slot, const std::string& payload)
{
  NotificationClient& client = *clients_[slot % clients_.size()];
  try {
    client.send(payload);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void SenderPool::reconnect(std::size_t slot, std::chrono::milliseconds timeout)
{
  std::unique_ptr<NotificationClient>& client = clients_[slot % clients_.size()];
  if (client->close(websocketpp::close::status::normal, ""))
    client->waitFinished(timeout);
  client = makeClient(slot % clients_.size());
  client->connect();
  if (client->waitOpened(timeout) != NotificationClient::Phase::open)
    throw std::runtime_error("a sender connection did not reopen: " + client->failureText());
  ++reconnects_;
}

int SenderPool::closeAll(std::chrono::milliseconds timeout)
{
  for (auto& client : clients_) {
    if (client->phase() == NotificationClient::Phase::open)
      client->close(websocketpp::close::status::normal, "");
  }
  int abnormal = 0;
  for (auto& client : clients_) {
    NotificationClient::Phase phase = client->waitFinished(timeout);
    if (phase != NotificationClient::Phase::closed || client->remoteCloseCode() != websocketpp::close::status::normal)
      ++abnormal;
  }
  clients_.clear();
  return abnormal;
}
