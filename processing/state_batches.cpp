#include "processing/state_batches.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "database/statements.h"

#include <algorithm>
#include <cstring>
#include <optional>

bool StateBatches::updateState(const Service& svc, ServiceState state, const std::string& output)
{
  trace("#UPDATE " + svc.serviceName + "#" + svc.serviceIdText + "#");
  Write mine;
  mine.values = { intToString(stateNumber(state)), output, svc.serviceIdText };
  {
    auto waiting = waiting_.lock();
    waiting->writes.push_back(&mine);
    while (!mine.done) {
      if (waiting->writing >= concurrentBatches) {
        written_.wait(waiting.lock());
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
      for (Write* done : batch)
        done->done = true;
      written_.notify_all();
    }
  }
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
      use.pipeline("SELECT txid_current()", statements::updateStateName, values, results);
    });
    for (std::size_t i = 0; i < batch.size(); ++i)
      batch[i]->found = std::strcmp(PQcmdTuples(results[i + 1].get()), "0") != 0;
    return;
  } catch (const ConnectionLost&) {
    // The commit may have been on its way: the server says whether it took
    // effect once it is back, so a batch is never left half known.
    std::optional<bool> committed;
    if (!results.empty()) {
      try {
        committed = committedTransaction(pool_, pgValue(results.front(), 0, 0));
      } catch (const DatabaseError&) {
      }
    }
    if (committed == std::optional<bool>(true)) {
      for (Write* each : batch)
        each->found = true;
      return;
    }
    for (Write* each : batch)
      each->error = std::current_exception();
  } catch (const StatementRefused&) {
    writeEachAlone(batch);
  } catch (...) {
    for (Write* each : batch)
      each->error = std::current_exception();
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
