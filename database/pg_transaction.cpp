#include "database/pg_transaction.h"

#include "database/database_error.h"
#include "database/pg_pool.h"

PgTransaction::PgTransaction(PgConnection::Exclusive& use)
    : use_(use)
{
  // One round trip: the last result of the two is the id.
  PgResult result = use_.execute("BEGIN; SELECT txid_current()");
  id_ = pgValue(result, 0, 0);
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

bool committedTransaction(PgPool& pool, const std::string& id)
{
  PgResult result = pool.executeParams("SELECT txid_status($1::bigint)", { id });
  const std::string status = pgValue(result, 0, 0);
  if (status == "in progress")
    throw ConnectionLost("transaction " + id + " is still in progress on a session that was lost");
  return status == "committed";
}
