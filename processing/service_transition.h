#pragma once

#include "database/database_error.h"
#include "database/database_wait.h"
#include "database/pg_connection.h"
#include "intake/notification.h"
#include "processing/cluster_locks.h"
#include "processing/processing_context.h"
#include "processing/service_locks.h"
#include "processing/state_batches.h"
#include "processing/state_records.h"
#include "services/service.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class DatabaseWait;

// The one way a service's state changes, for the workers and the cleaning
// thread alike. It owns, for its life, the service's locks and the state
// read under them, and writes each transition in one transaction that
// decides what to close and open from the state it reads itself, records
// the write's token, and records the alert it decides (the alert runs after
// the commit, and a Receiver that finds one left runs it later).
//
// The daemon's lock order, the one table of it, outermost first; no other
// lock is held around these:
//   1. the host's turn (workers only): a host taken from the notification
//      queue is offered to no other worker until this one is done with it,
//      so its notifications are handled one at a time, in the order
//      received. No worker ever waits for it: the others take other hosts;
//   2. the service's local lock (ServiceLocks), taken here: one transition of
//      a service at a time in this process;
//   3. in cluster mode, the service's session advisory lock, taken here on a
//      pooled connection and held across the plugin run: one Receiver at a
//      time works on the service. It only orders the work, as its session
//      may end at any moment;
//   4. one connection's lock, for one transaction and never across a plugin
//      or alerting run. In cluster mode the transaction first takes
//      pg_advisory_xact_lock(service) and reads the row FOR UPDATE: that
//      fence, not lock 3, is what makes the write safe. A Receiver whose
//      session died writes only after another one is done, and from the
//      state that one stored.
// Under them, briefly and one at a time: the registry's lock, a service's
// stored state, the notification queue's lock (to answer and release a
// host), the batch writer's hand-over lock, a persistent plugin pool's lock.
// The connection pool takes its list lock before a connection's lock, both
// together only while preparing. The log's lock is last of all: taken
// under any of these, never around another. No other two are held together.
class ServiceTransition {
public:
  // Takes locks 2 and 3 and reads the previous state in memory (in cluster
  // mode the fence reads the row's), then runs the alerts an earlier change
  // of the service left to run: they come before its next plugin run.
  // Throws DatabaseUnavailable when the daemon stops before the locks are
  // taken.
  ServiceTransition(ProcessingContext& context, std::shared_ptr<SyslogService> svc, DatabaseWait& wait);
  ~ServiceTransition();
  ServiceTransition(const ServiceTransition&) = delete;
  ServiceTransition& operator=(const ServiceTransition&) = delete;

  ServiceState previousState() const { return previous_; }

  // Tells the sender how its notification ended, as soon as that is known.
  using Answer = std::function<void(Outcome)>;

  // A plugin's result: stores it and, on a change, closes and opens the
  // occurrences and starts the alerting program, once the sender has been
  // answered. number begins the trace and log lines (the worker's thread
  // number). Returns the sender's outcome: stored; duplicate when the
  // token was on record (nothing done); ignored when the service's row is
  // gone; rejected when the server refused a statement (logged). Throws
  // DatabaseUnavailable when the daemon stops while the database is away:
  // nothing was written then, or whether it was cannot be known yet.
  Outcome record(ServiceState newState, const std::string& output, const std::string& number, const WriteToken& token,
      const Answer& answer);

  // Whether a result is the write most notifications make, which the
  // workers share in batches: an unchanged state, in single mode.
  bool batchable(ServiceState newState) const;
  // What follows a batch's write of a batchable result: stored, ignored when
  // the row is gone, and when the batch could not take it, record's write
  // alone. Same outcomes and throws as record.
  Outcome settle(StateBatches::Written written, ServiceState newState, const std::string& output,
      const std::string& number, const WriteToken& token, const Answer& answer);

  // The cleaner's close of a stale error: only if the service still has an
  // occurrence older than the interval and its state is still the one the
  // cleaner judged. Stores OK with the fixed text, closes the occurrences
  // and alerts as for a return to OK. False when the service was left alone
  // (changed since it was judged, or deleted).
  bool acknowledgeStale(ServiceState judged, const std::string& interval);

  // Runs every alert the service's committed changes left to run, each
  // once it is read under the service's locks, and forgets each that ran.
  void runPendingAlerts();

private:
  // What one transaction decided, kept for after its commit.
  struct Plan {
    ServiceState previous = ServiceState::ok;
    // The service's row is gone.
    bool deleted = false;
    // The cleaner's judgement no longer holds.
    bool skipped = false;
    // The token was on record: nothing was written.
    bool duplicate = false;
    // A commit whose answer was lost took effect: this is what it decided.
    bool committedInDoubt = false;
    // No occurrence statement was refused.
    bool clean = true;
    bool alert = false;
    std::optional<std::uint64_t> alertId;
    // The alert's record, written with the change.
    std::string pendingAlert;
  };
  using Body = std::function<void(PgConnection::Exclusive&, Plan&)>;

  // Runs body in one transaction, with the fence in cluster mode and the
  // token recorded first, until it has committed: a lost connection is
  // waited out and the whole transaction run again with the same token. A
  // commit whose answer was lost (inDoubt, which may come set from an
  // earlier try) is thereby resolved by what it wrote: its token there, it
  // took effect (the new transaction waits for the old one while that still
  // runs); absent, it did not, and runs again.
  Plan fenced(const Body& body, const WriteToken& token, bool& inDoubt);
  // One try of fenced's transaction on connection, opened by the fence and
  // the token: decided and inDoubt say what a commit whose answer was lost
  // decided, and whether that answer is still owed.
  Plan attempt(PgConnection& connection, const WriteToken& token, const Body& body, Plan& decided, bool& inDoubt);
  // Runs one occurrence statement; a refusal is logged behind prefix and
  // undone alone, and the transaction goes on.
  bool refusable(PgConnection::Exclusive& use, const char* prefix, const std::function<void()>& step);
  // Closes the open occurrences; false when the statement was refused.
  bool closeAll(PgConnection::Exclusive& use);
  // Decides the alert on the occurrence open now, and records it.
  void decideAlert(PgConnection::Exclusive& use, Plan& plan, bool flag);
  // After the commit: the alert the plan recorded (who begins its trace,
  // logPrefix the line of a missing occurrence and of a failure).
  void alert(const Plan& plan, const std::string& who, const std::string& logPrefix);
  // Runs one recorded alert and, once its program has ended, removes its
  // record.
  void runRecordedAlert(const std::string& alertId, std::uint64_t occurrenceId, const std::string& logPrefix);
  // The connection of the service's statements outside a transition: the
  // lock's in cluster mode (none once its session is gone), any otherwise.
  PgConnection* ownConnection();
  // A service whose row is gone leaves the registry (logged once).
  void forget();

  ProcessingContext& context_;
  std::shared_ptr<SyslogService> svc_;
  DatabaseWait& wait_;
  ServiceLocks::Lease serialised_;
  ServiceState previous_;
  std::optional<ServiceClusterLock> clusterLock_;
  // How long a statement of its transactions waits for a lock; 0: the
  // connection's bound.
  std::chrono::milliseconds lockWait_ {};
};
