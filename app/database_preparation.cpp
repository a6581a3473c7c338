#include "app/database_preparation.h"

#include "core/log.h"
#include "database/database_error.h"
#include "database/receiver_tables.h"
#include "processing/cluster_locks.h"

void prepareReceiverDatabase(PgPool& pool, bool cluster, MissingTables missing, DatabasePreparation& prepared)
{
  bool present = true;
  if (missing == MissingTables::created) {
    try {
      ensureReceiverTables(pool);
    } catch (const DatabaseError& error) {
      prepared.tablesProblem = error.what();
      return;
    }
  } else {
    const ReceiverTables tables = receiverTablesOf(pool);
    present = tables.present;
    if (!tables.present && !tables.mayCreate)
      prepared.tablesProblem = receiverTablesMissing("");
  }
  prepareStartupStatements(pool);
  // Statements on the Receiver's tables wait for them.
  if (present)
    prepareReceiverStatements(pool);
  if (cluster && present) {
    prepareClusterStatements(pool);
    if (missing == MissingTables::created)
      writeLog("INFO", "cluster mode: services and cleaning are locked in the database");
  }
  prepared.errorIds = loadErrorNames(pool);
}
