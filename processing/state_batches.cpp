#include "processing/state_batches.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "database/statements.h"
#include "processing/database_wait.h"

#include <algorithm>
#include <cstring>

namespace {

bool rowWritten(const PgResult& result) { return std::strcmp(PQcmdTuples(result.get()), "0") != 0; }

} // namespace

StateBatches::Written StateBatches::updateState(
    const Service& svc, ServiceState state, const std::string& output, const WriteToken& token, DatabaseWait& wait)
{
  trace("#UPDATE " + svc.serviceName + "#" + svc.serviceIdText + "#");
  Write mine;
  mine.values = { intToString(stateNumber(state)), output, svc.serviceIdText };
  if (token.fromSender)
    mine.senderId = token.value;
  {
    auto waiting = waiting_.lock();
    waiting->writes.push_back(&mine);
    while (!mine.done) {
      if (waiting->writing >= concurrentBatches) {
        mine.wake.wait(waiting.lock());
        continue;
      }
      // This worker writes a batch: the oldest waiting, its own among them
      // or not, and then looks again.
      const std::size_t taken = std::min(waiting->writes.size(), batchLimit);
      std::vector<Write*> batch(waiting->writes.begin(), waiting->writes.begin() + taken);
      waiting->writes.erase(waiting->writes.begin(), waiting->writes.begin() + taken);
      ++waiting->writing;
      waiting.lock().unlock();
      write(batch, wait);
      waiting.lock().lock();
      --waiting->writing;
      // Only the writers whose write is done wake, and the next to write.
      for (Write* done : batch) {
        done->done = true;
        done->wake.notify_one();
      }
      if (!waiting->writes.empty())
        waiting->writes.front()->wake.notify_one();
    }
  }
  if (mine.error)
    std::rethrow_exception(mine.error);
  return mine.written;
}

std::vector<PipelineQuery> StateBatches::writesOf(const std::vector<Write*>& batch)
{
  std::vector<PipelineQuery> queries;
  std::vector<std::string> services, ids;
  for (const Write* each : batch) {
    if (!each->senderId.empty()) {
      services.push_back(each->values[2]);
      ids.push_back(each->senderId);
    }
  }
  // One that is on record already (a copy's) refuses the batch.
  if (!ids.empty())
    queries.push_back({ statements::receiverAppliedBatchName, { arrayLiteral(services), arrayLiteral(ids) } });
  for (const Write* each : batch)
    queries.push_back({ statements::updateStateName, each->values });
  queries.push_back({ "COMMIT", {}, false });
  return queries;
}

void StateBatches::write(const std::vector<Write*>& batch, DatabaseWait& wait)
{
  const std::string token = madeToken().value;
  // A batch does not wait for a row another session holds: it gives way at
  // once, and the write that waits waits alone.
  const std::vector<PipelineQuery> opening { { "BEGIN", {}, false },
    { "SET LOCAL lock_timeout = " + std::to_string(lockWait.count()), {}, false },
    { statements::receiverAppliedName, { batchService, token } } };
  const std::vector<PipelineQuery> writes = writesOf(batch);
  // The answers of the writes: the state writes are the last but COMMIT.
  std::vector<PgResult> results;
  bool committed = false, alone = false;
  // Runs the queries in order on one connection, each list in one round
  // trip; a refusal or a row held elsewhere rolls back and sends the
  // writes alone, and resolving says the token was found on record.
  auto attempt = [&](const std::vector<std::vector<PipelineQuery>>& lists, bool resolving) {
    pool_.getIdleConnection()->exclusive([&](PgConnection::Exclusive& use) {
      try {
        for (const std::vector<PipelineQuery>& queries : lists) {
          results = use.pipeline(queries);
          if (resolving && &queries == &lists.front() && PQntuples(results[2].get()) == 0) {
            use.execute("ROLLBACK");
            committed = true;
            return;
          }
        }
      } catch (const LockBusy&) {
        use.execute("ROLLBACK");
        alone = true;
      } catch (const StatementRefused&) {
        use.execute("ROLLBACK");
        alone = true;
      }
    });
  };
  std::vector<PipelineQuery> whole = opening;
  whole.insert(whole.end(), writes.begin(), writes.end());
  try {
    try {
      attempt({ whole }, false);
    } catch (const ConnectionLost&) {
      // The COMMIT went with the rest: whether it took effect is told by the
      // token once the database answers. The new transaction records it
      // again first, which waits for the old one while that still runs, and
      // finds the token if it committed.
      wait.run([&] { attempt({ opening, writes }, true); });
    }
  } catch (const DatabaseError&) {
    for (Write* each : batch)
      each->error = std::current_exception();
    return;
  }
  if (committed)
    return;
  for (std::size_t i = 0; i < batch.size(); ++i)
    batch[i]->written = alone                               ? Written::alone
        : rowWritten(results[results.size() - 1 - batch.size() + i]) ? Written::stored
                                                                       : Written::gone;
}
