#include "processing/state_batches.h"

#include "core/conversions.h"
#include "core/log.h"
#include "database/database_error.h"
#include "database/database_wait.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "database/statements.h"

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
  if (traceEnabled())
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
  waiting.wait(
      told_, [](const Waiting& w) { return w.writes.empty() && !w.writing && w.alone.empty() && w.aloneBusy == 0; });
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

std::vector<PgPipeline::Handle> StateBatches::addWrites(PgPipeline& pipe, const std::vector<Write>& batch)
{
  std::vector<std::string> services, ids;
  for (const Write& each : batch) {
    if (!each.senderId.empty()) {
      services.push_back(each.values[2]);
      ids.push_back(each.senderId);
    }
  }
  // One that is on record already (a copy's) refuses the batch.
  if (!ids.empty())
    pipe.add({ statements::receiverAppliedBatchName, { arrayLiteral(services), arrayLiteral(ids) } });
  std::vector<PgPipeline::Handle> states;
  for (const Write& each : batch)
    states.push_back(pipe.add({ statements::updateStateName, each.values }));
  pipe.add({ "COMMIT", {}, false });
  return states;
}

void StateBatches::write(std::vector<Write>& batch)
{
  const std::string token = madeToken().value;
  bool alone = false;
  // Runs the batch on one connection: the token's record and the writes in
  // one round trip or, resolving a lost commit, the record first, which waits
  // for the lost transaction and is found if it committed. A refusal or a row
  // held elsewhere rolls back and sends the writes alone.
  auto attempt = [&](bool resolving) {
    pool_.getIdleConnection()->exclusive([&](PgConnection::Exclusive& use) {
      PgPipeline first, later;
      const PgPipeline::Handle applied = first.add({ statements::receiverAppliedName, { batchService, token } });
      PgPipeline& writes = resolving ? later : first;
      const std::vector<PgPipeline::Handle> states = addWrites(writes, batch);
      bool committing = !resolving;
      try {
        // A batch does not wait for a row another session holds: it gives
        // way at once, and the write that waits waits alone.
        use.pipeline(first, PgTransaction::beginning(use, lockWait));
        if (resolving && PQntuples(first.result(applied).get()) == 0) {
          // The lost commit took effect.
          use.execute("ROLLBACK");
          return;
        }
        if (resolving) {
          committing = true;
          use.pipeline(later);
        }
        for (std::size_t i = 0; i < batch.size(); ++i)
          batch[i].written = rowWritten(writes.result(states[i])) ? Written::stored : Written::gone;
      } catch (const LockBusy&) {
        use.execute("ROLLBACK");
        alone = true;
      } catch (const StatementRefused&) {
        use.execute("ROLLBACK");
        alone = true;
      } catch (const ConnectionLost& error) {
        if (!committing)
          throw;
        throw CommitInDoubt(error.what(), error.details());
      }
    });
  };
  try {
    try {
      attempt(false);
    } catch (const ConnectionLost&) {
      // The COMMIT in doubt, or a connection found lost before anything was
      // sent: either way the token tells once the database answers.
      wait_.run([&] { attempt(true); });
    }
  } catch (const DatabaseError&) {
    for (Write& each : batch)
      each.error = std::current_exception();
    return;
  }
  for (Write& each : batch)
    each.written = alone ? Written::alone : each.written;
}
