#pragma once

#include <exception>
#include <string>
#include <utility>

// A failure of the notification server, such as "bad listen".
class SyslogException : public std::exception {
public:
  explicit SyslogException(std::string message)
      : message_(std::move(message))
  {
  }
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};
