#pragma once

#include "processing/database_wait.h"
#include "processing/processing_context.h"
#include "services/service_loader.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

// The cleaning thread's work: closes error occurrences older than each
// service's alert duration, and every 120 seconds removes deleted services,
// loads the ones added in the last five minutes and moves new services to
// OK. Each part logs its failures at "ERR" and returns normally, so that
// they can also be driven one by one.
class Cleaner {
public:
  Cleaner(ProcessingContext& context, AutoAcknowledgements& acknowledgements);
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
  // The thread's body: a first pass at once, then one every cycle, until
  // stop() is called.
  void run();
  void stop();

  static constexpr std::chrono::seconds cycle { 120 };

private:
  ProcessingContext& context_;
  AutoAcknowledgements& acknowledgements_;
  DatabaseWait wait_;
  bool prepared_[3] = { false, false, false };
  std::mutex stopLock_;
  std::condition_variable stopChanged_;
  bool stopping_ = false;
};
