#pragma once

#include <map>
#include <string>

// Names and texts of the statements the daemon runs against the product
// database. The texts are matched by operators' tooling: keep them exact.
namespace statements {

extern const char* const getPreviousStateName;
extern const char* const updateStateName;
extern const char* const insertErrorHappenName;
extern const char* const acquitteErrorHappenName;
extern const char* const checkErrorHappenName;
extern const char* const reloadServiceName;
extern const char* const addNewServiceName;
extern const char* const deleteServiceName;
extern const char* const newAutoacquitteName;
extern const char* const checkAutoacquitteName;
extern const char* const transitionLockName;
extern const char* const transitionStateName;

extern const char* const getPreviousState;
extern const char* const updateState;
extern const char* const insertErrorHappen;
extern const char* const acquitteErrorHappen;
extern const char* const checkErrorHappen;
extern const char* const deleteService;
extern const char* const newAutoacquitte;
extern const char* const checkAutoacquitte;
extern const char* const transitionLock;
extern const char* const transitionState;

// The error-name query, run once at start-up.
std::string errorNameQuery();
// The service query prepared as reloadService.
std::string serviceQuery();
// The service query restricted to services added in the last five minutes.
std::string newServiceQuery();

} // namespace statements

class PgPool;

// Error name -> error id (decimal text), as the error table has them.
using ErrorIds = std::map<std::string, std::string>;

// Prepares the statements the workers need, in start-up order.
void prepareStartupStatements(PgPool& pool);
// Runs the error-name query (a later row with the same name wins).
ErrorIds loadErrorNames(PgPool& pool);
