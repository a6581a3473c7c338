#include "processing/cluster_locks.h"

#include "core/conversions.h"
#include "database/database_error.h"
#include "database/database_wait.h"
#include "database/pg_pool.h"
#include "database/statements.h"
#include "services/service.h"

#include <chrono>
#include <thread>

namespace {

const char* const lockServiceName = "ClusterLockService";
const char* const unlockServiceName = "ClusterUnlockService";
const char* const cleaningRoleName = "ClusterCleaningRole";

// Keys of the cleaning role's lock: "quel" and 1.
const char* const cleaningRole
    = "SELECT EXISTS (SELECT 1 FROM pg_locks WHERE locktype = 'advisory' AND pid = pg_backend_pid() AND granted "
      "AND classid = 1903520108 AND objid = 1 AND objsubid = 2) OR pg_try_advisory_lock(1903520108, 1)";

bool isTrue(const PgResult& result) { return PQntuples(result.get()) == 1 && pgValue(result, 0, 0) == "t"; }

} // namespace

void prepareClusterStatements(PgPool& pool)
{
  // Taking the lock also tells whether a change of the service left an alert
  // to run (its Receiver died, or lost the commit's answer).
  pool.prepareRequest(lockServiceName,
      "SELECT taken, taken AND EXISTS (SELECT 1 FROM quelm_receiver_alerts WHERE service_id = $1::int) FROM "
      "pg_try_advisory_lock($1::bigint) taken",
      1);
  pool.prepareRequest(unlockServiceName, "SELECT pg_advisory_unlock($1::bigint)", 1);
  pool.prepareRequest(cleaningRoleName, cleaningRole, 0);
}

ServiceClusterLock::ServiceClusterLock(PgPool& pool, const Service& svc, DatabaseWait& wait)
    : connection_(pool.getNextConnection())
    , serviceId_(svc.serviceIdText)
{
  retake(wait);
}

bool ServiceClusterLock::held() { return connection_->sessionOf() == session_; }

void ServiceClusterLock::retake(DatabaseWait& wait)
{
  for (;;) {
    // The session is read with the statement, under the connection's lock:
    // no reset can come between the two.
    bool taken = wait.run([&] {
      return connection_->exclusive([&](PgConnection::Exclusive& use) {
        session_ = use.session();
        PgResult result = use.executePrepared(lockServiceName, { serviceId_ });
        alertsPending_ = PQntuples(result.get()) == 1 && pgValue(result, 0, 1) == "t";
        return isTrue(result);
      });
    });
    if (taken)
      return;
    if (wait.stopping())
      throw DatabaseUnavailable("service " + serviceId_ + " is being handled by another Receiver");
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

ServiceClusterLock::~ServiceClusterLock()
{
  try {
    // Only the session that took the lock holds it: a later one would be
    // told it does not own it.
    connection_->exclusive([&](PgConnection::Exclusive& use) {
      if (use.session() == session_)
        use.executePrepared(unlockServiceName, { serviceId_ });
    });
  } catch (const DatabaseError&) {
    // The session is gone, and its locks with it.
  }
}

std::optional<int> storedState(PgPool& pool, const Service& svc, DatabaseWait& wait)
{
  return wait.run([&]() -> std::optional<int> {
    PgResult result = pool.executePrepared(statements::getPreviousStateName, { svc.serviceIdText });
    if (PQntuples(result.get()) != 1)
      return std::nullopt;
    return stringToInt(pgValue(result, 0, 0));
  });
}

bool holdCleaningRole(PgConnection& connection) { return isTrue(connection.executePrepared(cleaningRoleName, {})); }
