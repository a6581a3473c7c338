#pragma once

#include <string>

class PgPool;

// The statements of schema/receiver.sql, as the build read them.
extern const char* const receiverSchema;

// Whether the Receiver's own tables are there and, if not, whether this
// role may create them where they would go.
struct ReceiverTables {
  bool present = false;
  bool mayCreate = false;
};

ReceiverTables receiverTablesOf(PgPool& pool);

// The line that tells an operator what to do when the tables are missing
// and the role may not create them.
std::string receiverTablesMissing(const std::string& why);

// Creates the Receiver's tables when they are missing, one Receiver at a
// time (an advisory lock in a space of its own). Throws DatabaseError with
// receiverTablesMissing's line when the role may not create them.
void ensureReceiverTables(PgPool& pool);

// The daemon's statements, its own tables created first when missing (as
// ensureReceiverTables, which may throw).
void prepareDaemonStatements(PgPool& pool);
