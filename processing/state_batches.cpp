#include "processing/state_batches.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "database/statements.h"

#include <algorithm>
#include <cstring>

bool StateBatches::updateState(
    const Service& svc, ServiceState state, const std::string& output, std::string& unknownCommit)
{
  if (!unknownCommit.empty()) {
    const bool committed = committedTransaction(pool_, unknownCommit);
    unknownCommit.clear();
    if (committed)
      return true;
  }
  trace("#UPDATE " + svc.serviceName + "#" + svc.serviceIdText + "#");
  Write mine;
  mine.values = { intToString(stateNumber(state)), output, svc.serviceIdText };
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
      write(batch);
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
  unknownCommit = mine.unknownCommit;
  if (mine.error)
    std::rethrow_exception(mine.error);
  return mine.found;
}

void StateBatches::write(const std::vector<Write*>& batch)
{
  std::vector<std::vector<std::string>> values;
  values.reserve(batch.size());
  for (const Write* each : batch)
    values.push_back(each->values);
  std::vector<PgResult> results;
  try {
    pool_.getNextConnection()->exclusive([&](PgConnection::Exclusive& use) {
      // The server sends the transaction's id before it runs the writes:
      // a commit whose answer is lost is looked up, not written twice.
      try {
        use.pipeline({ "BEGIN", "SELECT txid_current()" }, statements::updateStateName, values, "COMMIT", results);
      } catch (const StatementRefused&) {
        use.execute("ROLLBACK");
        throw;
      }
    });
    for (std::size_t i = 0; i < batch.size(); ++i)
      batch[i]->found = std::strcmp(PQcmdTuples(results[i + 2].get()), "0") != 0;
  } catch (const StatementRefused&) {
    writeEachAlone(batch);
  } catch (...) {
    const std::string id = results.size() >= 2 ? pgValue(results[1], 0, 0) : std::string();
    for (Write* each : batch) {
      each->error = std::current_exception();
      each->unknownCommit = id;
    }
  }
}

void StateBatches::writeEachAlone(const std::vector<Write*>& batch)
{
  for (Write* each : batch) {
    try {
      PgResult result = pool_.executePrepared(statements::updateStateName, each->values);
      each->found = std::strcmp(PQcmdTuples(result.get()), "0") != 0;
    } catch (const DatabaseError&) {
      each->error = std::current_exception();
    }
  }
}
