#pragma once

#include <cstdint>
#include <string>

class pgConnectionPool;
class service;

// Database writes that follow a plugin run. All run prepared statements
// through the pool; none changes the service object.

// Stores return_code and last_stdout in the service row. A database failure
// reaches the caller as PostgresqlException.
void updateService(service& svc, pgConnectionPool& pool);
// Opens an occurrence of the error of the given state; failures are logged.
void InsertError(service& svc, int state, pgConnectionPool& pool);
// Closes every open occurrence of the service, unless the previous state was
// OK; failures are logged.
void AcquitteError(service& svc, int previousState, pgConnectionPool& pool);
// Id of the first open occurrence of the service; all bits set when there
// is none or the lookup fails.
std::uint64_t getHappenError(service& svc, pgConnectionPool& pool);
// Error id (decimal text) of a state's error name, empty when none.
std::string getErrorId(int state);
