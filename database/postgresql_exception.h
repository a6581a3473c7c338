#pragma once

#include <exception>
#include <string>

// Every database failure of the pool and its connections.
class PostgresqlException : public std::exception {
public:
  explicit PostgresqlException(std::string message)
      : message_(std::move(message))
  {
  }
  virtual ~PostgresqlException() = default;
  const char* what() const noexcept override { return message_.c_str(); }

private:
  std::string message_;
};
