#pragma once

#include "core/lock_guarded.h"
#include "processing/state_records.h"
#include "services/service.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <string>
#include <vector>

class DatabaseWait;
class PgConnection;
class PgPool;
struct PipelineQuery;

// The workers' writes of an unchanged state, shared: whoever finds no batch
// being written takes every write waiting and sends them in one pipeline,
// one round trip and one commit, while the others wait for theirs. Each
// write is one service's, whose worker holds its locks, so a batch never
// holds two of one service and a host's order is its worker's. The batch's
// transaction records a token of its own, and the id of each write whose
// sender gave one.
class StateBatches {
public:
  explicit StateBatches(PgPool& pool)
      : pool_(pool)
  {
  }
  StateBatches(const StateBatches&) = delete;
  StateBatches& operator=(const StateBatches&) = delete;

  enum class Written {
    // The state and output are in the service's row.
    stored,
    // The service's row is gone.
    gone,
    // Not written: the batch could not be written whole (an id on record, a
    // refusal, a row held by another session); the caller writes it alone.
    alone,
  };

  // Stores the state and output in the service's row, once the commit that
  // holds it is answered; alone when the batch could not be written whole.
  // A batch whose commit answer was lost is resolved by its token once the
  // database is back (wait, of whichever worker writes the batch, waits for
  // it): found, it took effect; absent, the batch is written again. Throws
  // DatabaseUnavailable when the daemon stops first: nothing is known
  // written then.
  Written updateState(
      const Service& svc, ServiceState state, const std::string& output, const WriteToken& token, DatabaseWait& wait);

  // Batches written at once, at most; and writes in one batch, at most.
  static constexpr int concurrentBatches = 1;
  static constexpr std::size_t batchLimit = 64;
  // How long a batch waits for a row another session holds.
  static constexpr std::chrono::milliseconds lockWait { 200 };
  // The service id under which batches record their tokens.
  static constexpr const char* batchService = "-1";

private:
  struct Write {
    std::vector<std::string> values;
    // The sender's id; empty when it gave none.
    std::string senderId;
    bool done = false;
    Written written = Written::stored;
    std::exception_ptr error;
    std::condition_variable wake;
  };
  struct Waiting {
    std::vector<Write*> writes;
    int writing = 0;
  };

  // Writes the batch and fills in each write's outcome.
  void write(const std::vector<Write*>& batch, DatabaseWait& wait);
  // The ids of the batch's writes and their state writes, then COMMIT.
  static std::vector<PipelineQuery> writesOf(const std::vector<Write*>& batch);

  PgPool& pool_;
  LockGuarded<Waiting> waiting_;
};
