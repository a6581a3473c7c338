#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

// Keeps the notifications of one host in the order they were received,
// although several workers handle them. A worker takes a ticket for the host
// as it pops the notification (under the queue's mutex, so tickets follow the
// queue), waits for its turn, and hands the turn on when done. Hosts with
// nothing pending take no memory.
class HostOrder {
public:
  std::uint64_t take(const std::string& host);
  void waitTurn(const std::string& host, std::uint64_t ticket);
  void done(const std::string& host);

private:
  struct Line {
    std::uint64_t next = 0;
    std::uint64_t serving = 0;
  };
  std::mutex lock_;
  std::condition_variable turnChanged_;
  std::unordered_map<std::string, Line> lines_;
};

// Holds a host's turn for the life of the object.
class HostTurn {
public:
  HostTurn(HostOrder& order, std::string host, std::uint64_t ticket)
      : order_(order)
      , host_(std::move(host))
  {
    order_.waitTurn(host_, ticket);
  }
  ~HostTurn() { order_.done(host_); }
  HostTurn(const HostTurn&) = delete;
  HostTurn& operator=(const HostTurn&) = delete;

private:
  HostOrder& order_;
  std::string host_;
};
