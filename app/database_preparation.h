#pragma once

#include "database/statements.h"

#include <string>

class PgPool;

// What becomes of the Receiver's own tables when they are missing: start-up
// creates them, the configuration check only tells whether it could.
enum class MissingTables { created, reported };

struct DatabasePreparation {
  ErrorIds errorIds;
  // Why the Receiver's tables are missing and cannot be made; empty when
  // they are there or may be made.
  std::string tablesProblem;
};

// The database as start-up prepares it: the Receiver's tables, the daemon's
// statements (those on its own tables, and cluster mode's, only once the
// tables are there) and the error names. With created, tables this role may
// not create end the preparation at once with tablesProblem set. prepared
// keeps what was found when a statement then fails (DatabaseError).
void prepareReceiverDatabase(PgPool& pool, bool cluster, MissingTables missing, DatabasePreparation& prepared);
