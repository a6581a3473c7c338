#pragma once

#include "database/pg_connection.h"

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
  // kept, in order. A refused query throws (and the transaction is rolled
  // back). A statement of the transaction that waits for a lock longer
  // than lockWait (0: the connection's lockWait()) throws LockBusy.
  explicit PgTransaction(PgConnection::Exclusive& use, const std::vector<PipelineQuery>& opening = {},
      std::chrono::milliseconds lockWait = {});
  ~PgTransaction();
  PgTransaction(const PgTransaction&) = delete;
  PgTransaction& operator=(const PgTransaction&) = delete;

  // The answer of opening query i.
  const PgResult& opened(std::size_t i) const { return opened_.at(i + 2); }
  // Throws ConnectionLost when the answer never came: the outcome is then
  // unknown.
  void commit();

private:
  PgConnection::Exclusive& use_;
  std::vector<PgResult> opened_;
  bool open_ = true;
};
