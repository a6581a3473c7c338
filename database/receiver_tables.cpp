#include "database/receiver_tables.h"

#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/statements.h"

namespace {

// Both tables, and the right to create in the schema they would go to.
const char* const tablesQuery
    = "SELECT to_regclass('quelm_receiver_applied') IS NOT NULL AND to_regclass('quelm_receiver_alerts') IS NOT "
      "NULL, has_schema_privilege(current_schema(), 'CREATE')";

// Keys "quel" and 3 of the lock that serialises the creation: two integer
// keys, apart from the services' single bigint keys.
const char* const creationLock = "SELECT pg_advisory_lock(1903520108, 3)";
const char* const creationUnlock = "SELECT pg_advisory_unlock(1903520108, 3)";

ReceiverTables tablesFrom(const PgResult& result)
{
  return { pgValue(result, 0, 0) == "t", pgValue(result, 0, 1) == "t" };
}

} // namespace

ReceiverTables receiverTablesOf(PgPool& pool) { return tablesFrom(pool.executeRequest(tablesQuery)); }

std::string receiverTablesMissing(const std::string& why)
{
  return "the Receiver's tables quelm_receiver_applied and quelm_receiver_alerts are missing and this database "
         "role may not create them: have the database's owner run schema/receiver.sql (installed "
         "as " QUELM_INSTALL_DATADIR "/quelm/receiver.sql)"
      + (why.empty() ? std::string() : ": " + why);
}

void ensureReceiverTables(PgPool& pool)
{
  if (receiverTablesOf(pool).present)
    return;
  pool.getNextConnection()->exclusive([](PgConnection::Exclusive& use) {
    use.execute(creationLock);
    try {
      // Another Receiver may have made them while this one waited.
      if (!tablesFrom(use.execute(tablesQuery)).present)
        use.execute(receiverSchema);
    } catch (const StatementRefused& error) {
      use.execute(creationUnlock);
      std::string why = error.serverMessage();
      throw DatabaseError(receiverTablesMissing(why.empty() ? error.what() : why));
    }
    use.execute(creationUnlock);
  });
}

void prepareDaemonStatements(PgPool& pool)
{
  ensureReceiverTables(pool);
  prepareStartupStatements(pool);
  prepareReceiverStatements(pool);
}
