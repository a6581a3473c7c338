#pragma once

#include "core/lock_guarded.h"
#include "database/database_wait.h"
#include "database/pg_pipeline.h"
#include "processing/state_records.h"
#include "services/service.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <string>
#include <thread>
#include <vector>

class PgConnection;
class PgPool;

// The workers' writes of an unchanged state, shared: a worker hands its
// write over and goes on with another host, and the writer thread sends
// every write waiting in one pipeline, one round trip and one commit, then
// tells each worker's continuation how its write ended. Each write is one
// service's, whose locks stay taken until it is told, so a batch never holds
// two of one service and a host's order is its worker's. The batch's
// transaction records a token of its own, and the id of each write whose
// sender gave one.
class StateBatches {
public:
  // stopping says when a batch gives up waiting for the database.
  StateBatches(PgPool& pool, const std::atomic<bool>& stopping);
  // Writes what was handed over, then ends the writer.
  ~StateBatches();
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
  // How a write ended, told on the writer's thread once its commit is
  // answered: an error is DatabaseUnavailable when the daemon stopped first
  // (nothing is known written then), or the batch's DatabaseError.
  using Done = std::function<void(Written, std::exception_ptr)>;

  // Hands over the write of the state and output to the service's row, and
  // returns at once, unless as many writes as a few batches hold wait
  // already: then it waits for room. A batch whose commit answer was lost
  // is resolved by its token once the database is back: found, it took
  // effect; absent, the batch is written again.
  void submit(const Service& svc, ServiceState state, const std::string& output, const WriteToken& token, Done done);
  // Returns once every write handed over has been told.
  void drain();

  // Writes in one batch, at most; and writes handed over, at most.
  static constexpr std::size_t batchLimit = 128;
  static constexpr std::size_t waitingLimit = 4 * batchLimit;
  // Threads that write alone what a batch could not take, at most.
  static constexpr std::size_t aloneLimit = 8;
  // How long a batch waits for a row another session holds.
  static constexpr std::chrono::milliseconds lockWait { 200 };
  // The service id under which batches record their tokens.
  static constexpr const char* batchService = "-1";

private:
  struct Write {
    std::vector<std::string> values;
    // The sender's id; empty when it gave none.
    std::string senderId;
    Written written = Written::stored;
    std::exception_ptr error;
    Done done;
  };
  struct Waiting {
    std::deque<Write> writes;
    bool writing = false;
    bool closing = false;
    // Writes the batch could not take, whose continuations write them alone
    // on threads of their own (a row another session holds would otherwise
    // stop the writer), and the threads busy with one.
    std::deque<Write> alone;
    int aloneBusy = 0;
    bool aloneClosing = false;
  };

  // The writer thread: one batch at a time, until closed and empty.
  void run();
  // Tells the writes of a batch: those it could not take on the alone
  // threads (started as needed), the others at once.
  void tell(std::vector<Write>& batch);
  // An alone thread: one continuation at a time, until closed and empty.
  void runAlone();
  // Writes the batch and fills in each write's outcome.
  void write(std::vector<Write>& batch);
  // Adds the ids of the batch's writes and their state writes, then COMMIT;
  // the handles of the state writes, in the batch's order.
  static std::vector<PgPipeline::Handle> addWrites(PgPipeline& pipe, const std::vector<Write>& batch);

  PgPool& pool_;
  DatabaseWait wait_;
  LockGuarded<Waiting> waiting_;
  // Writes were handed over, or the writer closes; room was made; a batch
  // was told.
  std::condition_variable handed_, room_, told_, aloneHanded_;
  std::thread writer_;
  std::vector<std::thread> aloneThreads_;
};
