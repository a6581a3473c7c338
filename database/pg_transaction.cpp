#include "database/pg_transaction.h"

#include "database/database_error.h"

std::vector<PipelineQuery> PgTransaction::beginning(PgConnection::Exclusive& use, std::chrono::milliseconds lockWait)
{
  const std::chrono::milliseconds bound = lockWait.count() > 0 ? lockWait : use.lockWait();
  return { { "BEGIN", {}, false }, { "SET LOCAL lock_timeout = " + std::to_string(bound.count()), {}, false } };
}

PgTransaction::PgTransaction(PgConnection::Exclusive& use, PgPipeline& opening, std::chrono::milliseconds lockWait)
    : use_(use)
{
  open(opening, lockWait);
}

PgTransaction::PgTransaction(PgConnection::Exclusive& use)
    : use_(use)
{
  PgPipeline none;
  open(none, {});
}

void PgTransaction::open(PgPipeline& opening, std::chrono::milliseconds lockWait)
{
  try {
    use_.pipeline(opening, beginning(use_, lockWait));
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
  try {
    use_.execute("COMMIT");
  } catch (const LockBusy&) {
    // The server answered: nothing was committed.
    throw;
  } catch (const ConnectionLost& error) {
    throw CommitInDoubt(error.what(), error.details());
  }
}
