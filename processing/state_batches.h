#pragma once

#include "core/lock_guarded.h"
#include "processing/state_records.h"
#include "services/service.h"

#include <condition_variable>
#include <exception>
#include <string>
#include <vector>

class PgPool;

// The workers' writes of an unchanged state, shared: whoever finds no batch
// being written takes every write waiting and sends them in one pipeline,
// one round trip and one commit, while the others wait for theirs. Each
// write is one service's, whose worker holds its locks, so a batch never
// holds two of one service and a host's order is its worker's. Each write's
// token is recorded in the batch's transaction.
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
    // The token was on record: nothing was written.
    onRecord,
    // The service's row is gone.
    gone,
  };

  // Stores the state and output in the service's row, once the commit that
  // holds it is answered. A batch refused (a token on record among its
  // writes, or a statement the server refused) writes each of its writes
  // alone, so that only the refused one fails (StatementRefused). Throws
  // ConnectionLost when the connection went, inDoubt then set if the
  // commit may have taken effect: the call made again with the same token
  // finds it on record if it did.
  Written updateState(
      const Service& svc, ServiceState state, const std::string& output, const WriteToken& token, bool& inDoubt);

  // Batches written at once, at most; and writes in one batch, at most.
  static constexpr int concurrentBatches = 1;
  static constexpr std::size_t batchLimit = 64;

private:
  struct Write {
    std::vector<std::string> values;
    std::string token;
    bool done = false;
    Written written = Written::stored;
    std::exception_ptr error;
    bool inDoubt = false;
    std::condition_variable wake;
  };
  struct Waiting {
    std::vector<Write*> writes;
    int writing = 0;
  };

  // Writes the batch and fills in each write's outcome.
  void write(const std::vector<Write*>& batch);
  // A batch that could not be written whole: each write alone.
  void writeEachAlone(const std::vector<Write*>& batch);

  PgPool& pool_;
  LockGuarded<Waiting> waiting_;
};
