#pragma once

#include <cstdint>
#include <optional>
#include <string>

class pgConnectionPool;
class service;

// Database writes that follow a plugin run. All run prepared statements
// through the pool; none changes the service object. A lost connection
// always reaches the caller as a PostgresqlException whose connectionLost()
// is true, so that it can wait for the database and run the step again.

// Stores the state and output in the service row. A refused statement
// reaches the caller as PostgresqlException.
void updateService(const service& svc, int state, const std::string& output, pgConnectionPool& pool);
// Opens an occurrence of the error of the given state with the output as
// its message; a refusal is logged and gives false.
bool InsertError(const service& svc, int state, const std::string& output, pgConnectionPool& pool);
// Closes every open occurrence of the service, unless the previous state was
// OK; a refusal is logged and gives false.
bool AcquitteError(const service& svc, int previousState, pgConnectionPool& pool);
// Id of the first open occurrence of the service; none when there is none
// or the lookup is refused (logged).
std::optional<std::uint64_t> getHappenError(const service& svc, pgConnectionPool& pool);
// Whether the service has an open occurrence of the given error id.
bool hasOpenOccurrence(const service& svc, const std::string& errorId, pgConnectionPool& pool);
// Error id (decimal text) of a state's error name, empty when none.
std::string getErrorId(int state);
