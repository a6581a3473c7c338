#include "processing/state_batches.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "database/statements.h"
#include "processing/database_wait.h"

#include <algorithm>

namespace {

bool rowWritten(const PgResult& result) { return affectedRows(result) != 0; }

} // namespace

StateBatches::StateBatches(PgPool& pool, const std::atomic<bool>& stopping)
    : pool_(pool)
    , wait_([&stopping] { return stopping.load(); })
    , writer_([this] { run(); })
{
}

StateBatches::~StateBatches()
{
  waiting_.lock()->closing = true;
  handed_.notify_one();
  writer_.join();
  waiting_.lock()->aloneClosing = true;
  aloneHanded_.notify_all();
  for (std::thread& thread : aloneThreads_)
    thread.join();
}

void StateBatches::submit(
    const Service& svc, ServiceState state, const std::string& output, const WriteToken& token, Done done)
{
  trace("#UPDATE " + svc.serviceName + "#" + svc.serviceIdText + "#");
  Write mine;
  mine.values = { intToString(stateNumber(state)), output, svc.serviceIdText };
  if (token.fromSender)
    mine.senderId = token.value;
  mine.done = std::move(done);
  {
    auto waiting = waiting_.lock();
    waiting.wait(room_, [](const Waiting& w) { return w.writes.size() < waitingLimit; });
    waiting->writes.push_back(std::move(mine));
    // The writer is woken once per batch: while it writes, what comes waits
    // for its next look.
    if (waiting->writing)
      return;
  }
  handed_.notify_one();
}

void StateBatches::drain()
{
  auto waiting = waiting_.lock();
  waiting.wait(told_, [](const Waiting& w) {
    return w.writes.empty() && !w.writing && w.alone.empty() && w.aloneBusy == 0;
  });
}

void StateBatches::run()
{
  for (;;) {
    std::vector<Write> batch;
    {
      auto waiting = waiting_.lock();
      waiting->writing = false;
      told_.notify_all();
      waiting.wait(handed_, [](const Waiting& w) { return !w.writes.empty() || w.closing; });
      if (waiting->writes.empty())
        return;
      // The oldest waiting, as many as a batch holds.
      const std::size_t taken = std::min(waiting->writes.size(), batchLimit);
      batch.assign(std::make_move_iterator(waiting->writes.begin()),
          std::make_move_iterator(waiting->writes.begin() + static_cast<std::ptrdiff_t>(taken)));
      waiting->writes.erase(waiting->writes.begin(), waiting->writes.begin() + static_cast<std::ptrdiff_t>(taken));
      waiting->writing = true;
    }
    room_.notify_all();
    write(batch);
    tell(batch);
  }
}

namespace {

void told(const StateBatches::Done& done, StateBatches::Written written, const std::exception_ptr& error)
{
  try {
    done(written, error);
  } catch (const std::exception& failure) {
    writeLog("ERR", std::string("#state write: ") + failure.what());
  }
}

} // namespace

void StateBatches::tell(std::vector<Write>& batch)
{
  for (Write& each : batch) {
    if (each.written != Written::alone || each.error) {
      told(each.done, each.written, each.error);
      continue;
    }
    auto waiting = waiting_.lock();
    waiting->alone.push_back(std::move(each));
    const std::size_t idle = aloneThreads_.size() - static_cast<std::size_t>(waiting->aloneBusy);
    if (waiting->alone.size() > idle && aloneThreads_.size() < aloneLimit)
      aloneThreads_.emplace_back([this] { runAlone(); });
    else
      aloneHanded_.notify_one();
  }
}

void StateBatches::runAlone()
{
  for (;;) {
    Write mine;
    {
      auto waiting = waiting_.lock();
      waiting.wait(aloneHanded_, [](const Waiting& w) { return !w.alone.empty() || w.aloneClosing; });
      if (waiting->alone.empty())
        return;
      mine = std::move(waiting->alone.front());
      waiting->alone.pop_front();
      ++waiting->aloneBusy;
    }
    told(mine.done, Written::alone, nullptr);
    --waiting_.lock()->aloneBusy;
    told_.notify_all();
  }
}

std::vector<PipelineQuery> StateBatches::writesOf(const std::vector<Write>& batch)
{
  std::vector<PipelineQuery> queries;
  std::vector<std::string> services, ids;
  for (const Write& each : batch) {
    if (!each.senderId.empty()) {
      services.push_back(each.values[2]);
      ids.push_back(each.senderId);
    }
  }
  // One that is on record already (a copy's) refuses the batch.
  if (!ids.empty())
    queries.push_back({ statements::receiverAppliedBatchName, { arrayLiteral(services), arrayLiteral(ids) } });
  for (const Write& each : batch)
    queries.push_back({ statements::updateStateName, each.values });
  queries.push_back({ "COMMIT", {}, false });
  return queries;
}

void StateBatches::write(std::vector<Write>& batch)
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
      wait_.run([&] { attempt({ opening, writes }, true); });
    }
  } catch (const DatabaseError&) {
    for (Write& each : batch)
      each.error = std::current_exception();
    return;
  }
  if (committed)
    return;
  for (std::size_t i = 0; i < batch.size(); ++i)
    batch[i].written = alone                               ? Written::alone
        : rowWritten(results[results.size() - 1 - batch.size() + i]) ? Written::stored
                                                                       : Written::gone;
}
