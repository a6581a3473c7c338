#pragma once

#include <exception>
#include <string>

// The failure of a plugin or alerting program run; what() is the message.
class serviceException : public std::exception {
  public:
  explicit serviceException(std::string message);
  ~serviceException() override = default;
  const char* what() const noexcept override;

  private:
  std::string message_;
};
