#pragma once

#include <map>
#include <string>
#include <vector>

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
extern const char* const receiverAppliedName;
extern const char* const receiverAppliedBatchName;
extern const char* const receiverAlertAddName;
extern const char* const receiverAlertDoneName;
extern const char* const receiverAlertsOfName;

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
extern const char* const receiverApplied;
extern const char* const receiverAppliedBatch;
extern const char* const receiverAlertAdd;
extern const char* const receiverAlertDone;
extern const char* const receiverAlertsOf;
extern const char* const receiverAppliedExpiry;
extern const char* const receiverAlertServices;

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
// Prepares the statements on the Receiver's own tables (they must exist).
void prepareReceiverStatements(PgPool& pool);

// A PostgreSQL array literal of the texts, each quoted, for a parameter
// such as $1::text[].
std::string arrayLiteral(const std::vector<std::string>& values);
// Runs the error-name query (a later row with the same name wins).
ErrorIds loadErrorNames(PgPool& pool);
