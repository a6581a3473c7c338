#include "tests/support/tcp_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {

sockaddr_in loopback(int port)
{
  sockaddr_in address {};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// Moves what one end has to the other; false when either end is done.
bool forward(int from, int to)
{
  char buffer[16384];
  ssize_t got = ::read(from, buffer, sizeof buffer);
  if (got <= 0)
    return false;
  for (ssize_t sent = 0; sent < got;) {
    ssize_t wrote = ::write(to, buffer + sent, static_cast<size_t>(got - sent));
    if (wrote <= 0)
      return false;
    sent += wrote;
  }
  return true;
}

} // namespace

TcpProxy::TcpProxy(int targetPort)
    : targetPort_(targetPort)
{
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof address;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
      || ::listen(listener_, 64) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("the proxy cannot listen");
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { run(); });
}

TcpProxy::~TcpProxy()
{
  stop_ = true;
  thread_.join();
  for (const auto& [client, server] : links_) {
    ::close(client);
    ::close(server);
  }
  ::close(listener_);
}

void TcpProxy::run()
{
  while (!stop_) {
    std::vector<pollfd> watched { { listener_, POLLIN, 0 } };
    if (!frozen_) {
      for (const auto& [client, server] : links_) {
        watched.push_back({ client, POLLIN, 0 });
        watched.push_back({ server, POLLIN, 0 });
      }
    }
    const std::size_t linked = frozen_ ? 0 : links_.size();
    if (::poll(watched.data(), watched.size(), 50) <= 0)
      continue;
    if (watched[0].revents != 0) {
      int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in target = loopback(targetPort_);
      if (client >= 0 && server >= 0 && ::connect(server, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
        links_.emplace_back(client, server);
      } else {
        ::close(client);
        ::close(server);
      }
    }
    if (linked == 0)
      continue;
    std::vector<std::pair<int, int>> kept(links_.begin() + static_cast<std::ptrdiff_t>(linked), links_.end());
    for (std::size_t i = 0; i < linked; ++i) {
      const auto [client, server] = links_[i];
      const short fromClient = watched[1 + 2 * i].revents, fromServer = watched[2 + 2 * i].revents;
      bool open = (fromClient == 0 || forward(client, server)) && (fromServer == 0 || forward(server, client));
      if (open) {
        kept.push_back(links_[i]);
      } else {
        ::close(client);
        ::close(server);
      }
    }
    links_ = std::move(kept);
  }
}
