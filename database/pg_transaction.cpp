#include "database/pg_transaction.h"

#include "database/database_error.h"

namespace {

// BEGIN, the bound on lock waits, then the opening queries.
std::vector<PipelineQuery> withBegin(
    PgConnection::Exclusive& use, const std::vector<PipelineQuery>& opening, std::chrono::milliseconds lockWait)
{
  const std::chrono::milliseconds bound = lockWait.count() > 0 ? lockWait : use.lockWait();
  std::vector<PipelineQuery> queries { { "BEGIN", {}, false },
    { "SET LOCAL lock_timeout = " + std::to_string(bound.count()), {}, false } };
  queries.insert(queries.end(), opening.begin(), opening.end());
  return queries;
}

} // namespace

PgTransaction::PgTransaction(
    PgConnection::Exclusive& use, const std::vector<PipelineQuery>& opening, std::chrono::milliseconds lockWait)
    : use_(use)
{
  try {
    opened_ = use_.pipeline(withBegin(use_, opening, lockWait));
  } catch (const StatementRefused&) {
    use_.execute("ROLLBACK");
    throw;
  } catch (const LockBusy&) {
    use_.execute("ROLLBACK");
    throw;
  }
}

PgTransaction::~PgTransaction()
{
  if (!open_ || !use_.inTransaction())
    return;
  try {
    use_.execute("ROLLBACK");
  } catch (const DatabaseError&) {
    // The session is gone, and the transaction with it.
  }
}

void PgTransaction::commit()
{
  open_ = false;
  use_.execute("COMMIT");
}
