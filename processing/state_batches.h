#pragma once

#include "core/lock_guarded.h"
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
// holds two of one service and a host's order is its worker's.
class StateBatches {
public:
  explicit StateBatches(PgPool& pool)
      : pool_(pool)
  {
  }
  StateBatches(const StateBatches&) = delete;
  StateBatches& operator=(const StateBatches&) = delete;

  // Stores the state and output in the service's row, once the commit that
  // holds it is answered; false when the row is gone. A refusal of the
  // batch runs each of its writes alone, so that only the refused one
  // fails (StatementRefused). Throws ConnectionLost when the connection
  // went: unknownCommit then holds the id of the transaction if its COMMIT
  // may have been on its way, and the call made again with it asks the
  // server whether it took effect before writing anything.
  bool updateState(const Service& svc, ServiceState state, const std::string& output, std::string& unknownCommit);

  // Batches written at once, at most; and writes in one batch, at most.
  static constexpr int concurrentBatches = 1;
  static constexpr std::size_t batchLimit = 64;

private:
  struct Write {
    std::vector<std::string> values;
    bool done = false;
    bool found = false;
    std::exception_ptr error;
    std::string unknownCommit;
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
