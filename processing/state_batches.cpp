#include "processing/state_batches.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "database/statements.h"

#include <algorithm>
#include <cstring>

namespace {

bool rowWritten(const PgResult& result) { return std::strcmp(PQcmdTuples(result.get()), "0") != 0; }

} // namespace

StateBatches::Written StateBatches::updateState(
    const Service& svc, ServiceState state, const std::string& output, const WriteToken& token, bool& inDoubt)
{
  trace("#UPDATE " + svc.serviceName + "#" + svc.serviceIdText + "#");
  Write mine;
  mine.values = { intToString(stateNumber(state)), output, svc.serviceIdText };
  mine.token = token.value;
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
  inDoubt = inDoubt || mine.inDoubt;
  if (mine.error)
    std::rethrow_exception(mine.error);
  return mine.written;
}

void StateBatches::write(const std::vector<Write*>& batch)
{
  std::vector<std::string> services, tokens;
  std::vector<PipelineQuery> queries { { "BEGIN", {}, false }, {} };
  for (const Write* each : batch) {
    services.push_back(each->values[2]);
    tokens.push_back(each->token);
    queries.push_back({ statements::updateStateName, each->values });
  }
  queries[1] = { statements::receiverAppliedBatchName, { arrayLiteral(services), arrayLiteral(tokens) } };
  queries.push_back({ "COMMIT", {}, false });
  try {
    std::vector<PgResult> results = pool_.getNextConnection()->exclusive([&](PgConnection::Exclusive& use) {
      try {
        return use.pipeline(queries);
      } catch (const StatementRefused&) {
        use.execute("ROLLBACK");
        throw;
      }
    });
    for (std::size_t i = 0; i < batch.size(); ++i)
      batch[i]->written = rowWritten(results[i + 2]) ? Written::stored : Written::gone;
  } catch (const StatementRefused&) {
    // A token on record (a copy, or a commit that took effect before its
    // answer was lost), or one write the server refuses.
    writeEachAlone(batch);
  } catch (...) {
    // The commit went with the rest, so it may have taken effect.
    for (Write* each : batch) {
      each->error = std::current_exception();
      each->inDoubt = true;
    }
  }
}

void StateBatches::writeEachAlone(const std::vector<Write*>& batch)
{
  for (Write* each : batch) {
    try {
      pool_.getNextConnection()->exclusive([&](PgConnection::Exclusive& use) {
        PgTransaction transaction(use, { { statements::receiverAppliedName, { each->values[2], each->token } } });
        if (PQntuples(transaction.opened(0).get()) == 0) {
          each->written = Written::onRecord;
          return;
        }
        if (!rowWritten(use.executePrepared(statements::updateStateName, each->values))) {
          // Nothing is recorded for a service that is gone.
          each->written = Written::gone;
          return;
        }
        each->inDoubt = true;
        transaction.commit();
        each->inDoubt = false;
      });
    } catch (const ConnectionLost&) {
      each->error = std::current_exception();
    } catch (const DatabaseError&) {
      each->error = std::current_exception();
      each->inDoubt = false;
    }
  }
}
