#pragma once

#include "core/errors.h"

#include <string>

// A failure of the pool or one of its connections. The message keeps the
// server's own text behind the daemon's fixed prefix; the SQLSTATE, the
// server's message and the statement's name are kept apart as well, to
// decide on.
class DatabaseError : public ReceiverError {
public:
  // What the server said, and of which statement: the prepared statement's
  // name, empty for a text. All empty when the failure was not the server's.
  struct Details {
    std::string sqlState;
    std::string serverMessage;
    std::string statement;
  };

  explicit DatabaseError(const std::string& message, Details details = {})
      : ReceiverError(message)
      , details_(std::move(details))
  {
  }

  const std::string& sqlState() const noexcept { return details_.sqlState; }
  const std::string& serverMessage() const noexcept { return details_.serverMessage; }
  const std::string& statement() const noexcept { return details_.statement; }
  const Details& details() const noexcept { return details_; }

private:
  Details details_;
};

// The server could not be reached or dropped the session: the statement may
// succeed once the database is back. Whether it ran before the session went
// is not known.
class ConnectionLost : public DatabaseError {
public:
  using DatabaseError::DatabaseError;
};

// The answer to a COMMIT was lost with the session: whether the transaction
// took effect is not known until what it wrote is looked for.
class CommitInDoubt : public ConnectionLost {
public:
  using ConnectionLost::ConnectionLost;
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

// A server that cannot write (SQLSTATE 25006: a standby not yet promoted, or
// a primary fenced read-only during a failover) refused a write. It is a
// refusal, so its transaction is rolled back, but it lasts only until the
// failover is over: the write waits for it rather than being given up, and
// the session is replaced first, to reach whichever server can write.
class ServerReadOnly : public StatementRefused {
public:
  using StatementRefused::StatementRefused;
};

// The daemon stopped while waiting out a lost connection: the step that
// waited never ran.
class DatabaseUnavailable : public DatabaseError {
public:
  using DatabaseError::DatabaseError;
};
