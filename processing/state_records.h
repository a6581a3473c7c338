#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "database/statements.h"

class PgPool;
class Service;

// Database writes that follow a plugin run. All run prepared statements
// through the pool; none changes the service object. A lost connection
// always reaches the caller as a DatabaseError whose connectionLost()
// is true, so that it can wait for the database and run the step again.

// Stores the state and output in the service row. A refused statement
// reaches the caller as DatabaseError.
void updateService(const Service& svc, int state, const std::string& output, PgPool& pool);
// Opens an occurrence of the error of the given state with the output as
// its message; a refusal is logged and gives false.
bool openOccurrence(const Service& svc, const std::string& errorId, const std::string& output, PgPool& pool);
// Closes every open occurrence of the service, unless the previous state was
// OK; a refusal is logged and gives false.
bool closeOccurrences(const Service& svc, int previousState, PgPool& pool);
// Id of the first open occurrence of the service; none when there is none
// or the lookup is refused (logged).
std::optional<std::uint64_t> openOccurrenceId(const Service& svc, PgPool& pool);
// Whether the service has an open occurrence of the given error id.
bool hasOpenOccurrence(const Service& svc, const std::string& errorId, PgPool& pool);
// Error id (decimal text) of a state's error name, empty when none.
std::string errorIdOf(const ErrorIds& errorIds, int state);
