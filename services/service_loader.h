#pragma once

#include "database/pg_result.h"
#include "intake/notification.h"
#include "services/hash_map_service.h"

#include <map>
#include <string>

class pgConnectionPool;

// Automatic-acknowledgement records of the cleaning thread, one per device
// (the low 32 bits of its id); written by load_script. Never destroyed.
extern std::map<int, notification_acquitte>& error_during;

// Runs the named prepared service query on the pool and registers every
// row as a serviceSyslog in ListTrapService, with its error_during entry.
// A failure of the query itself reaches the caller as PostgresqlException;
// a row that cannot be loaded is logged and skipped. The reload flag
// changes nothing.
void load_script(pgConnectionPool* pool, std::string name, bool reload);

// load_script into the given registry and record table.
void loadServices(pgConnectionPool& pool, const std::string& name, HashMapService& registry,
    std::map<int, notification_acquitte>& acquittals);

// The parameter text with its "$" macros expanded from the given row of
// the service query.
std::string replaceServiceParameter(std::string parameter, const PgResult& result, int row);

// Start-up: prepares reloadService and AddnewService on every pooled
// connection, logs "LOAD SERVICE" and loads every syslog service.
void prepareAndLoadServices(pgConnectionPool& pool);
