#include "processing/workers.h"

#include "core/log.h"
#include "core/process_state.h"
#include "database/pg_connection_pool.h"
#include "database/postgresql_exception.h"
#include "execution/service_exception.h"
#include "intake/execute_queue.h"
#include "processing/database_wait.h"
#include "processing/host_order.h"
#include "processing/service_locks.h"
#include "processing/state_records.h"
#include "services/hash_map_service.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <optional>

namespace {

const int runAttempts = 3;

// Shared by every worker; never destroyed, as workers may outlive main.
HostOrder& hostOrder = *new HostOrder;

bool responseFlagOf(const service& svc, int state)
{
  switch (state) {
  case 1:
    return svc.response_warning;
  case 2:
    return svc.response_critical;
  case 3:
    return svc.response_unknown;
  default:
    return false;
  }
}

// Runs the plugin up to three times, one second apart after each failure.
// After the last failure the service is UNKNOWN with a fixed output.
int runWithRetries(serviceSyslog& svc, const std::string& message)
{
  for (int attemptsLeft = runAttempts;;) {
    try {
      return svc.execute(message);
    } catch (const serviceException& error) {
      write_log("ERR",
          "Excute failed retry" + svc.service_name + " " + std::to_string(static_cast<std::uint64_t>(svc.service_id))
              + " " + error.what());
      ::sleep(1);
      if (--attemptsLeft != 0)
        continue;
      svc.last_stdout = "DAEMON: the plugin does not return anything on the stdout";
      // A failed pipe or fork leaves the old state in return_code; the row,
      // the memory and the UNKNOWN occurrence must agree, so store 3.
      svc.SetReturnCode(3);
      return 3;
    }
  }
}

bool stopRequested() { return die_quelm != 0; }

// Starts the alerting program for the service's open occurrence. Without an
// occurrence there is no id to give it: the alert is logged, not started.
void alertFor(serviceSyslog& svc, DatabaseWait& wait, const std::string& who)
{
  std::optional<std::uint64_t> id = wait.run([&] { return getHappenError(svc, *pgSQL); });
  if (!id) {
    write_log("ERR", who + "no open occurrence of service " + svc.service_id_text + ": alerting program not started");
    return;
  }
  Trace(who + "SEND ALERT ");
  svc.executeAlertingSoftware(std::to_string(*id));
}

// The occurrences and alert of a stored state change; false when the server
// refused one of its statements. Each statement waits out a lost connection
// and runs once: an occurrence whose insert may have been committed just
// before the connection went is looked for before it is inserted again.
bool actOnStateChange(serviceSyslog& svc, int newState, int previousState, const std::string& output,
    DatabaseWait& wait, const std::string& number)
{
  pgConnectionPool& pool = *pgSQL;
  const std::string who = number + "#" + svc.service_name + " ";
  bool clean = true;
  if (newState == 1 || newState == 2 || newState == 3) {
    Trace(who + svc.parameter + "acquitte l'ancienne erreur ");
    clean &= wait.run([&] { return AcquitteError(svc, previousState, pool); });
    Trace(who + svc.parameter + "insère l'erreur ");
    bool retry = false;
    clean &= wait.run([&] {
      if (retry && hasOpenOccurrence(svc, getErrorId(newState), pool))
        return true;
      retry = true;
      return InsertError(svc, newState, output, pool);
    });
    if (responseFlagOf(svc, newState))
      alertFor(svc, wait, who);
  } else if (newState == 0 && svc.response_ok) {
    if (responseFlagOf(svc, previousState))
      alertFor(svc, wait, who);
    Trace(who + "acquitte l'erreur");
    clean &= wait.run([&] { return AcquitteError(svc, previousState, pool); });
    Trace(who + "acquitte l'erreur==>OK ");
  }
  return clean;
}

// Puts back the state and output the service row holds, after a run whose
// result could not be stored.
void restoreStored(serviceSyslog& svc, int state, const std::string& output)
{
  std::lock_guard<std::mutex> guard(svc.return_code_lock);
  svc.return_code = state;
  svc.last_stdout = output;
}

void removeFromThreadList(unsigned long threadId, std::int32_t number)
{
  {
    std::lock_guard<std::mutex> guard(mutex_vec_thread);
    auto found = std::find(threadList.begin(), threadList.end(), threadId);
    if (found != threadList.end())
      threadList.erase(found);
    write_raw("\tfin thread: " + std::to_string(number) + " nbr:" + std::to_string(threadList.size()) + " "
        + std::to_string(threadId));
  }
  cond_vec_thread.notify_one();
}

} // namespace

Outcome handleNotification(const notification& item, std::int32_t threadNumber)
{
  const std::string number = std::to_string(threadNumber);
  if (!ListTrapService.find(item.host))
    return Outcome::ignored;
  std::shared_ptr<serviceSyslog> svc = ListTrapService.getService(item.host);
  if (!svc)
    return Outcome::ignored;
  Trace(number + "# prise du reussi");
  Trace("service from host find:" + svc->plugin_path);

  // Two notifications of one service never interleave their transitions.
  std::lock_guard<std::mutex> serialised(serviceLocks().lockFor(svc->service_id));
  int previousState = 0;
  std::string previousOutput;
  {
    std::lock_guard<std::mutex> guard(svc->return_code_lock);
    previousState = svc->return_code;
    previousOutput = svc->last_stdout;
  }
  int newState = runWithRetries(*svc, item.message);
  std::string output;
  {
    std::lock_guard<std::mutex> guard(svc->return_code_lock);
    output = svc->last_stdout;
  }
  Trace("exec return: " + std::to_string(newState) + "=" + std::to_string(previousState));
  Trace("exec stdout: " + output);

  // The result in hand is kept while the database is away: the record is
  // written once it is back, and only a stop gives it up.
  DatabaseWait wait(stopRequested);
  const std::string what = svc->service_id_text + " " + svc->service_name + " ";
  try {
    wait.run([&] { updateService(*svc, newState, output, *pgSQL); });
  } catch (const PostgresqlException& error) {
    // Refused: the row keeps its state, and so does the memory.
    restoreStored(*svc, previousState, previousOutput);
    write_log("ERR", number + "#Update service state failed: " + what + error.what());
    return Outcome::rejected;
  } catch (const DatabaseUnavailable& error) {
    restoreStored(*svc, previousState, previousOutput);
    write_log("ERR",
        number + "#notification from " + item.host + " not stored, the Receiver is stopping: " + what + "state "
            + std::to_string(newState) + ": " + error.what());
    return Outcome::shutdown;
  }
  svc->stored_state = newState;
  Trace(number + "#" + svc->service_name + " " + svc->parameter + "Update state OK ");
  if (newState == previousState)
    return Outcome::stored;
  try {
    return actOnStateChange(*svc, newState, previousState, output, wait, number) ? Outcome::stored
                                                                                   : Outcome::rejected;
  } catch (const DatabaseUnavailable& error) {
    write_log("ERR",
        number + "#notification from " + item.host + " stored without its occurrences, the Receiver is stopping: "
            + what + "state " + std::to_string(newState) + ": " + error.what());
    return Outcome::shutdown;
  } catch (const serviceException& error) {
    // The alerting program could not be waited for: this notification ends
    // here, the worker goes on.
    write_log("ERR", number + "#" + svc->service_name + " " + error.what());
  }
  return Outcome::stored;
}

void answerUnhandled(std::deque<notification> left)
{
  for (const notification& item : left) {
    write_log("ERR", "notification from " + item.host + " not handled, the Receiver is stopping");
    item.answer(Outcome::shutdown);
  }
}

void* thread_execute_plugin(void*)
{
  sigset_t empty;
  sigemptyset(&empty);
  pthread_sigmask(SIG_SETMASK, &empty, nullptr);
  const unsigned long threadId = static_cast<unsigned long>(pthread_self());
  const auto number = static_cast<std::int32_t>(threadId);
  const std::string prefix = std::to_string(number);

  while (die_quelm == 0) {
    executeService->waitNotEmpty(die_quelm);
    Trace(prefix + "# Réveille ");
    if (die_quelm != 0)
      break;
    Trace(prefix + "# prise du service");
    try {
      std::uint64_t ticket = 0;
      notification item
          = executeService->popWith([&](const notification& popped) { ticket = hostOrder.take(popped.host); });
      // Notifications of one host are handled in the order received.
      HostTurn turn(hostOrder, item.host, ticket);
      item.answer(handleNotification(item, number));
    } catch (const EmptyQueueException&) {
      // Another worker took the last notification.
    } catch (const std::exception& error) {
      write_log("ERR", prefix + "#notification handling failed: " + error.what());
    }
  }
  removeFromThreadList(threadId, number);
  return nullptr;
}
