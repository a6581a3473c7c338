#pragma once

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// A TCP proxy on 127.0.0.1 in front of a local port, for making a server go silent: frozen, it stops moving bytes in
// either direction but keeps every socket open, as a hung server or a stuck pooler does (the kernel still acknowledges
// what is sent). New connections are taken while frozen, and forwarded once thawed.
class TcpProxy {
public:
  explicit TcpProxy(int targetPort);
  ~TcpProxy();
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int port() const { return port_; }
  void freeze() { frozen_ = true; }
  void thaw() { frozen_ = false; }

private:
  void run();

  int targetPort_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> frozen_ { false };
  std::atomic<bool> stop_ { false };
  // Client and server ends, pairwise.
  std::vector<std::pair<int, int>> links_;
  std::thread thread_;
};
