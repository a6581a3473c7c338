#pragma once

#include "database/connection_settings.h"
#include "database/database_error.h"
#include "database/pg_pipeline.h"
#include "database/pg_result.h"

#include "core/backoff.h"
#include "core/metrics.h"
#include "core/mutex.h"

#include <libpq-fe.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// One PostgreSQL connection and the lock that serialises every use of it.
// A connection the server dropped is reset on its next use, at most once per
// pause (0.5 s doubling up to 5 s while the server stays away), and the
// statements prepared on it are prepared again.
class PgConnection {
public:
  // Opens the connection; throws DatabaseError with the library's error text
  // and a line end when it cannot.
  explicit PgConnection(const ConnectionSettings& settings, Metrics* metrics = nullptr);
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;

  std::string clientEncoding();
  PgResult executeRequest(const std::string& sql);
  PgResult executeParams(const std::string& sql, const std::vector<std::string>& values);
  void prepareRequest(const std::string& name, const std::string& sql, int paramCount);
  // answerTimeout: this statement's own bound on its answer, longer than the
  // connection's (0: the connection's).
  PgResult executePrepared(const std::string& name, const std::vector<std::string>& values,
      std::chrono::milliseconds answerTimeout = std::chrono::milliseconds(0));

  // How long an answer may still come once the daemon stops.
  static constexpr std::chrono::milliseconds stopGrace { 3000 };

  // How many times the connection was reset after the server dropped it:
  // the number of the session its statements now run on.
  int resetAttempts();
  // The session statements run on now, as Exclusive::session() gives it;
  // none when the connection is known lost (its session is gone).
  std::optional<int> sessionOf();

  // Exclusive use of the connection for several statements in a row, such as
  // a transaction: no other thread's statement runs on it meanwhile. A lost
  // connection is never reset and the statement retried inside it (whether
  // the statement ran is not known, and a transaction dies with its
  // session): it throws ConnectionLost, and the connection is reset at its
  // next use.
  // Its methods run with the connection's lock held by exclusive(), which
  // alone makes one: clang cannot follow the lock into them.
  class Exclusive {
  public:
    PgResult execute(const std::string& sql) QUELM_NO_THREAD_SAFETY_ANALYSIS;
    PgResult executePrepared(
        const std::string& name, const std::vector<std::string>& values) QUELM_NO_THREAD_SAFETY_ANALYSIS;
    // The session the statements run on, as resetAttempts() counts it.
    int session() const QUELM_NO_THREAD_SAFETY_ANALYSIS { return connection_.resetAttempts_; }
    // Whether the session is inside a transaction block.
    bool inTransaction() const QUELM_NO_THREAD_SAFETY_ANALYSIS;
    // How long a statement of a transaction may wait for a lock before it
    // is told so (LockBusy): well within the bound on its answer; 0 (no
    // limit) without one.
    std::chrono::milliseconds lockWait() const;
    // The queries of pipe in one round trip, in pipeline mode behind one
    // sync point, after leading (BEGIN and its settings, say), whose answers
    // are not kept: pipe then holds each query's answer. The first refusal
    // throws StatementRefused once every answer is read, a lost connection
    // ConnectionLost.
    void pipeline(PgPipeline& pipe, const std::vector<PipelineQuery>& leading = {}) QUELM_NO_THREAD_SAFETY_ANALYSIS;

  private:
    friend class PgConnection;
    explicit Exclusive(PgConnection& connection)
        : connection_(connection)
    {
    }
    PgConnection& connection_;
  };

  // Runs body(Exclusive&) under the connection's lock, after restoring a
  // connection known to be down (ConnectionLost when it cannot be yet).
  template <typename Body> auto exclusive(Body body) -> decltype(body(std::declval<Exclusive&>()))
  {
    Claim claim(claims_);
    MutexLock guard(lock_);
    if (lost_ && !recoverLocked())
      throw ConnectionLost("Exec prepareRequest failed:  no connection to the server\n");
    Exclusive use(*this);
    return body(use);
  }

  // Nobody uses the connection or waits for it.
  bool idle() const { return claims_.load(std::memory_order_relaxed) == 0; }

  static constexpr std::chrono::milliseconds resetIntervalMin { 500 };
  static constexpr std::chrono::milliseconds resetIntervalMax { 5000 };

private:
  struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
  };
  // Counts a user of the connection, or one waiting for it, for its scope.
  struct Claim {
    explicit Claim(std::atomic<int>& claims)
        : claims_(claims)
    {
      claims_.fetch_add(1, std::memory_order_relaxed);
    }
    ~Claim() { claims_.fetch_sub(1, std::memory_order_relaxed); }
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    std::atomic<int>& claims_;
  };
  struct Prepared {
    std::string name;
    std::string sql;
    int paramCount;
  };

  // Everything below is used with lock_ held.

  // The text of a failure: the connection's own message when asked for, or
  // when there is no result to read it from; the result's message otherwise.
  std::string errorText(const PgResult& result, bool connectionText) const QUELM_REQUIRES(lock_);
  // A result that is neither "command ok" nor "tuples ok" becomes a
  // DatabaseError with the prefix and error text, naming the statement
  // (empty for a text).
  PgResult checked(PgResult result, const std::string& prefix, bool connectionText, const std::string& statement = "")
      QUELM_REQUIRES(lock_);
  // Sends a statement and takes its answer. When it fails because the
  // server dropped the connection, the connection is reset, its statements
  // prepared again and the statement sent once more.
  PgResult runLocked(const std::function<int(PGconn*)>& send, std::chrono::milliseconds bound,
      const std::string& prefix, bool connectionText, const std::string& statement = "") QUELM_REQUIRES(lock_);
  // Reset and re-prepare; false when not attempted (too soon) or failed.
  bool recoverLocked() QUELM_REQUIRES(lock_);
  // Marks the connection down, logging and counting the loss once, with the
  // library's text or the reason given.
  void noteLostLocked(const std::string& reason = "") QUELM_REQUIRES(lock_);
  // The answers to what send sent (count queries; in pipeline mode, up to
  // its sync point), waited for at most the bound (0: the connection's):
  // for each query its last result, its first error winning. Incomplete
  // when sending failed or a pipeline's connection broke. A silent server
  // throws ConnectionLost and the connection is reset at its next use.
  struct Answers {
    std::vector<PgResult> results;
    bool complete = true;
  };
  Answers roundTrip(const std::function<int(PGconn*)>& send, std::size_t count, std::chrono::milliseconds bound)
      QUELM_REQUIRES(lock_);
  // The answer to one statement sent with send (one of libpq's PQsend calls).
  PgResult answered(const std::function<int(PGconn*)>& send, std::chrono::milliseconds bound) QUELM_REQUIRES(lock_);
  [[noreturn]] void silentLocked(std::chrono::milliseconds bound) QUELM_REQUIRES(lock_);
  std::chrono::milliseconds boundOf(std::chrono::milliseconds bound) const;
  // The time an answer is waited for: from start to deadline, which a stop
  // may bring nearer.
  struct Answering {
    std::chrono::steady_clock::time_point start, deadline;
    std::chrono::milliseconds bound() const
    {
      return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - start);
    }
  };
  Answering answering(std::chrono::milliseconds bound) const;
  // Sends what the library holds, reading meanwhile; false when the
  // connection broke. A silent server throws ConnectionLost.
  bool flushedLocked(Answering& wait) QUELM_REQUIRES(lock_);
  // Reads until a result can be taken without waiting; false when the
  // connection broke. A silent server throws ConnectionLost.
  bool readableLocked(Answering& wait) QUELM_REQUIRES(lock_);
  // Waits until the socket is ready for events or the deadline passes;
  // false at the deadline.
  bool waitSocket(short events, std::chrono::steady_clock::time_point& deadline) QUELM_REQUIRES(lock_);
  // Whether a failed call failed because the server could not be reached
  // (bad connection, or a connection-class SQLSTATE).
  bool connectionFailed(const PgResult& result) const QUELM_REQUIRES(lock_);

  Metrics* const metrics_;
  const std::chrono::milliseconds answerTimeout_;
  const std::atomic<bool>* const stopping_;
  std::atomic<int> claims_ { 0 };
  // A bare Mutex, not LockGuarded: it is held across a caller's whole
  // transaction (exclusive()), not around one access.
  mutable Mutex lock_;
  std::unique_ptr<PGconn, ConnDeleter> connection_ QUELM_GUARDED_BY(lock_);
  // Statements prepared on this connection, to prepare again after a reset.
  std::vector<Prepared> prepared_ QUELM_GUARDED_BY(lock_);
  bool lost_ QUELM_GUARDED_BY(lock_) = false;
  int resetAttempts_ QUELM_GUARDED_BY(lock_) = 0;
  // Paces the resets while the server stays away.
  Backoff resets_ QUELM_GUARDED_BY(lock_);
};
