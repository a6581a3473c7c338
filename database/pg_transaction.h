#pragma once

#include "database/pg_connection.h"
#include "database/pg_pipeline.h"

#include <chrono>
#include <string>
#include <vector>

// One transaction on a connection in exclusive use: BEGIN when built,
// ROLLBACK when dropped uncommitted (a failed statement, an exception), so
// that nothing of it is ever half written. Whether a COMMIT whose answer was
// lost took effect is learnt from what the transaction wrote, not from the
// server's transaction id: after a failover the server that answers next
// has ids of its own.
class PgTransaction {
public:
  // BEGIN and the opening queries in one round trip; their answers are
  // kept in opening, each under its handle. A refused query throws (and the
  // transaction is rolled back). A statement of the transaction that waits
  // for a lock longer than lockWait (0: the connection's lockWait()) throws
  // LockBusy.
  PgTransaction(PgConnection::Exclusive& use, PgPipeline& opening, std::chrono::milliseconds lockWait = {});
  explicit PgTransaction(PgConnection::Exclusive& use);
  ~PgTransaction();
  PgTransaction(const PgTransaction&) = delete;
  PgTransaction& operator=(const PgTransaction&) = delete;

  // BEGIN and the bound on lock waits (0: the connection's), the queries
  // that open every transaction, ahead of any of its own.
  static std::vector<PipelineQuery> beginning(PgConnection::Exclusive& use, std::chrono::milliseconds lockWait);

  // Throws CommitInDoubt when the answer never came: the outcome is then
  // unknown.
  void commit();

private:
  void open(PgPipeline& opening, std::chrono::milliseconds lockWait);

  PgConnection::Exclusive& use_;
  bool open_ = true;
};
