#pragma once

#include "core/errors.h"

#include <string>

// A failure of the pool or one of its connections. The message keeps the
// server's own text behind the daemon's fixed prefix.
class DatabaseError : public ReceiverError {
public:
  explicit DatabaseError(const std::string& message, bool connectionLost = false)
      : ReceiverError(message)
      , connectionLost_(connectionLost)
  {
  }

  // True when the server could not be reached or dropped the connection:
  // the statement may succeed once the database is back. False when the
  // server itself refused the statement.
  bool connectionLost() const noexcept { return connectionLost_; }

private:
  bool connectionLost_;
};
