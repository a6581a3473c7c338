#pragma once

#include <map>
#include <string>

// Names and texts of the statements the daemon runs against the product
// database. The texts are matched by operators' tooling: keep them exact.
namespace statements {

extern const char* const GetPreviousStateName;
extern const char* const UpdateStateName;
extern const char* const InsertErrorHappenName;
extern const char* const AcquitteErrorHappenName;
extern const char* const CheckErrorHappenName;
extern const char* const reloadServiceName;
extern const char* const AddnewServiceName;
extern const char* const deleteServiceName;
extern const char* const newAutoacquitteName;
extern const char* const checkAutoacquitteName;

extern const char* const GetPreviousState;
extern const char* const UpdateState;
extern const char* const InsertErrorHappen;
extern const char* const AcquitteErrorHappen;
extern const char* const CheckErrorHappen;
extern const char* const deleteService;
extern const char* const newAutoacquitte;
extern const char* const checkAutoacquitte;

// The error-name query, run once at start-up.
std::string errorNameQuery();
// The service query prepared as reloadService.
std::string serviceQuery();
// The service query restricted to services added in the last five minutes.
std::string newServiceQuery();

} // namespace statements

class pgConnectionPool;

// Prepares the five statements the workers need, in start-up order.
void prepareStartupStatements(pgConnectionPool& pool);
// Runs the error-name query and fills the map (a later row with the same
// name wins).
void loadErrorNames(pgConnectionPool& pool, std::map<std::string, std::string>& errors);
