#pragma once

class pgConnectionPool;

// Cleaning thread body: closes error occurrences older than each service's
// alert duration, and every 120 seconds removes deleted services, loads the
// ones added in the last five minutes and moves new services to OK. Never
// returns; the process ends it.
void* thread_clean_error(void* unused);

// One cleaning cycle's parts, callable on their own so that they can be
// driven without waiting for the timer. Each logs its failures at "ERR" and
// returns normally.
class Cleaner {
public:
  explicit Cleaner(pgConnectionPool& pool);

  // Prepares delete_service, new_autoacquitte and check_autoacquitte; false
  // (after an "ERR" line) when they cannot be prepared. A later call
  // prepares only what is still missing.
  bool prepareStatements();
  // Closes, for every entry of error_during, the service's open occurrences
  // older than its alert duration.
  void closeStaleErrors();
  // Deletes services marked deleted, loads services added in the last five
  // minutes and moves new services from state 4 to OK.
  void refreshServices();
  // The thread's cycle: a first pass at once, then every 120 seconds.
  [[noreturn]] void runForever();

private:
  pgConnectionPool& pool_;
  bool prepared_[3] = { false, false, false };
};
