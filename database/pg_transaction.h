#pragma once

#include "database/pg_connection.h"

#include <string>

class PgPool;

// One transaction on a connection in exclusive use: BEGIN when built,
// ROLLBACK when dropped uncommitted (a failed statement, an exception), so
// that nothing of it is ever half written. Its id is read at the start: if
// the connection goes while COMMIT is on its way, whether it took effect is
// asked with committedTransaction() once the database is back.
class PgTransaction {
public:
  explicit PgTransaction(PgConnection::Exclusive& use);
  ~PgTransaction();
  PgTransaction(const PgTransaction&) = delete;
  PgTransaction& operator=(const PgTransaction&) = delete;

  const std::string& id() const { return id_; }
  // Throws ConnectionLost when the answer never came: the outcome is then
  // unknown.
  void commit();

private:
  PgConnection::Exclusive& use_;
  std::string id_;
  bool open_ = true;
};

// Whether the transaction of that id committed: true or false once the
// server knows, ConnectionLost while it cannot say yet (the server is away,
// or the old session is still finishing it).
bool committedTransaction(PgPool& pool, const std::string& id);
