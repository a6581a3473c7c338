#pragma once

#include "core/errors.h"

#include <string>

// A failure of the pool or one of its connections. The message keeps the
// server's own text behind the daemon's fixed prefix; the SQLSTATE and the
// server's message are kept apart as well, to decide on.
class DatabaseError : public ReceiverError {
public:
  explicit DatabaseError(const std::string& message, std::string sqlState = "", std::string serverMessage = "")
      : ReceiverError(message)
      , sqlState_(std::move(sqlState))
      , serverMessage_(std::move(serverMessage))
  {
  }

  // Empty when the failure did not come from the server.
  const std::string& sqlState() const noexcept { return sqlState_; }
  const std::string& serverMessage() const noexcept { return serverMessage_; }

private:
  std::string sqlState_;
  std::string serverMessage_;
};

// The server could not be reached or dropped the session: the statement may
// succeed once the database is back. Whether it ran before the session went
// is not known.
class ConnectionLost : public DatabaseError {
public:
  using DatabaseError::DatabaseError;
};

// The statement waited for a row or table lock longer than its transaction
// allows (SQLSTATE 55P03): the session is fine, and the statement may go
// through once the holder lets go, so it is waited out like a lost
// connection, without resetting anything.
class LockBusy : public ConnectionLost {
public:
  using ConnectionLost::ConnectionLost;
};

// The server itself refused the statement on a live session: running it
// again gives the same answer.
class StatementRefused : public DatabaseError {
public:
  using DatabaseError::DatabaseError;
};

// The daemon stopped while waiting out a lost connection: the step that
// waited never ran.
class DatabaseUnavailable : public DatabaseError {
public:
  using DatabaseError::DatabaseError;
};
