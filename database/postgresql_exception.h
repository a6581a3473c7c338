#pragma once

#include <exception>
#include <string>

// Every database failure of the pool and its connections.
class PostgresqlException : public std::exception {
public:
  explicit PostgresqlException(std::string message, bool connectionLost = false)
      : message_(std::move(message))
      , connectionLost_(connectionLost)
  {
  }
  virtual ~PostgresqlException() = default;
  const char* what() const noexcept override { return message_.c_str(); }

  // True when the server could not be reached or dropped the connection:
  // the statement may succeed once the database is back. False when the
  // server itself refused the statement.
  bool connectionLost() const noexcept { return connectionLost_; }

private:
  std::string message_;
  bool connectionLost_;
};
