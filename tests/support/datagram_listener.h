#pragma once

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "tests/support/test_process.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A datagram socket bound to a path and read all the time by a thread of its own, as systemd reads a service's
// notifications: left unread, its queue (ten datagrams) would fill and hold the daemon's next one.
class DatagramListener {
public:
  explicit DatagramListener(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
  {
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    // The reader wakes ten times a second to see whether it should stop.
    timeval tick { 0, 100000 };
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof tick);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
      reader_ = std::thread([this] { read(); });
  }
  ~DatagramListener()
  {
    stop_ = true;
    if (reader_.joinable())
      reader_.join();
    ::close(fd_);
  }
  DatagramListener(const DatagramListener&) = delete;
  DatagramListener& operator=(const DatagramListener&) = delete;

  bool bound() const { return reader_.joinable(); }

  // The next datagram, or nothing when none came in time.
  std::optional<std::string> next(std::chrono::milliseconds timeout)
  {
    std::optional<std::string> datagram;
    waitFor(std::chrono::duration<double>(timeout).count(), [&] {
      std::lock_guard<std::mutex> guard(lock_);
      if (taken_ < datagrams_.size())
        datagram = datagrams_[taken_++];
      return datagram.has_value();
    });
    return datagram;
  }

  // Datagrams until one contains part (returned) or the time runs out (nothing); every one read meanwhile is added
  // to seen.
  std::optional<std::string> until(const std::string& part, double timeoutSeconds, std::string& seen)
  {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
      std::optional<std::string> datagram = next(std::chrono::milliseconds(50));
      if (!datagram)
        continue;
      seen += *datagram + "\n--\n";
      if (datagram->find(part) != std::string::npos)
        return datagram;
    }
    return std::nullopt;
  }

private:
  void read()
  {
    char buffer[4096];
    while (!stop_) {
      ssize_t got = ::recv(fd_, buffer, sizeof buffer, 0);
      if (got < 0)
        continue;
      std::lock_guard<std::mutex> guard(lock_);
      datagrams_.emplace_back(buffer, static_cast<std::size_t>(got));
    }
  }

  int fd_;
  std::mutex lock_;
  std::vector<std::string> datagrams_;
  std::size_t taken_ = 0;
  std::atomic<bool> stop_ { false };
  std::thread reader_; // last: it uses the members above
};
