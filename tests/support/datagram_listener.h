#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>

// A datagram socket bound to a path, as systemd listens for a service's notifications.
class DatagramListener {
public:
  explicit DatagramListener(const std::string& path)
      : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0))
  {
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~DatagramListener() { ::close(fd_); }
  DatagramListener(const DatagramListener&) = delete;
  DatagramListener& operator=(const DatagramListener&) = delete;

  bool bound() const { return bound_; }

  // The next datagram, or nothing when none came in time.
  std::optional<std::string> next(std::chrono::milliseconds timeout)
  {
    pollfd ready { fd_, POLLIN, 0 };
    char buffer[4096];
    ssize_t got
        = ::poll(&ready, 1, static_cast<int>(timeout.count())) == 1 ? ::recv(fd_, buffer, sizeof buffer, 0) : -1;
    return got < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, static_cast<std::size_t>(got)));
  }

  // Datagrams until one contains part (returned) or the time runs out (nothing); every one read meanwhile is added
  // to seen.
  std::optional<std::string> until(const std::string& part, double timeoutSeconds, std::string& seen)
  {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      std::optional<std::string> datagram = next(std::max(left, std::chrono::milliseconds(1)));
      if (!datagram)
        continue;
      seen += *datagram + "\n--\n";
      if (datagram->find(part) != std::string::npos)
        return datagram;
    }
    return std::nullopt;
  }

private:
  int fd_;
  bool bound_ = false;
};
