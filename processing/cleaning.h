#pragma once

#include "core/lock_guarded.h"
#include "database/database_wait.h"
#include "processing/processing_context.h"
#include "services/service_loader.h"

#include <chrono>
#include <condition_variable>

class PgConnection;

// The cleaning thread's work: closes error occurrences older than each
// service's alert duration, and every 120 seconds removes deleted services,
// loads the ones added in the last five minutes and moves new services to
// OK (the cycle is configurable). Each part logs its failures at "ERR" and returns normally, so that
// they can also be driven one by one.
class Cleaner {
public:
  // Ids and tokens of applied notifications are kept resendWindow and one
  // cycle.
  Cleaner(ProcessingContext& context, AutoAcknowledgements& acknowledgements, std::chrono::seconds cycle = defaultCycle,
      std::chrono::seconds resendWindow = defaultResendWindow);
  Cleaner(const Cleaner&) = delete;
  Cleaner& operator=(const Cleaner&) = delete;

  // Prepares delete_service, new_autoacquitte and check_autoacquitte; false
  // (after an "ERR" line) when they cannot be prepared. A later call
  // prepares only what is still missing.
  bool prepareStatements();
  // Closes, for every automatic-acknowledgement entry, the service's open
  // occurrences older than its alert duration.
  void closeStaleErrors();
  // Deletes services marked deleted, loads services added in the last five
  // minutes and moves new services from state 4 to OK.
  void refreshServices();
  // Runs the alerts that committed changes left to run (their Receiver
  // stopped or died first), each under its service's locks.
  void runLeftAlerts();
  // Removes the ids and tokens older than the resend window and a cycle, in
  // bounded steps, until none is left.
  void expireApplied();
  // The thread's body: a first pass at once, then one every cycle, until
  // stop() is called.
  void run();
  void stop();

  static constexpr std::chrono::seconds defaultCycle { 120 };
  static constexpr std::chrono::seconds defaultResendWindow { 600 };

private:
  // Cluster mode: whether this Receiver has the cleaning role (taken when
  // free, checked every cycle); always true otherwise.
  bool holdsCleaningRole();
  // Removes from the registry, and from the acknowledgement entries, the
  // services whose rows are gone.
  void forgetDeletedServices();

  ProcessingContext& context_;
  const std::chrono::seconds cycle_;
  const std::chrono::seconds resendWindow_;
  // The connection whose session holds the cleaning role's lock.
  PgConnection* roleConnection_ = nullptr;
  bool cleaningRole_ = false;
  AutoAcknowledgements& acknowledgements_;
  DatabaseWait wait_;
  bool prepared_[3] = { false, false, false };
  // Raised by stop(); the wait between passes ends on it.
  LockGuarded<bool> stopping_ { false };
  std::condition_variable stopChanged_;
};
