#pragma once

#include "core/lock_guarded.h"

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A service's state. The numbers are those the database's
// service_previous_state column and the log keep, and a plugin's exit
// status 0 to 5 gives the state of its number; a number read from the
// database outside 0..5 is kept as it is.
enum class ServiceState : int {
  ok = 0,
  warning = 1,
  critical = 2,
  unknown = 3,
  pending = 4,
  maintenance = 5,
};

inline int stateNumber(ServiceState state) { return static_cast<int>(state); }
inline ServiceState stateFromNumber(int number) { return static_cast<ServiceState>(number); }
// WARNING, CRITICAL and UNKNOWN: the states that open an error occurrence.
inline bool isErrorState(ServiceState state)
{
  return state == ServiceState::warning || state == ServiceState::critical || state == ServiceState::unknown;
}

// One monitored check: a plugin run against one device with one parameter
// string, whose exit status becomes the check's state.
class Service {
public:
  // Stores the interval and derives the weight 300000 / interval (integer
  // division). An interval of 0 leaves the weight as it was.
  void setIntervalExecTime(int interval);

  // Ordering by next execution time: seconds first, then microseconds.
  bool operator<(const Service& other) const;
  bool operator>(const Service& other) const;

  // Stores the text and replaces the arguments by its tokens.
  void setParameter(const std::string& text);
  // Appends the tokens of the text to the alerting arguments.
  void setAlertingParameter(const std::string& text);

  std::int64_t deviceId = 0;
  std::int32_t pluginId = 0;
  std::int64_t serviceId = 0;
  std::string serviceIdText;
  std::string serviceName;
  std::string parameter;
  std::vector<std::string> arguments;
  std::vector<std::string> alertingArguments;
  std::string pluginPath;
  std::string programPath;
  bool responseOk = false;
  bool responseUnknown = false;
  bool responseWarning = false;
  bool responseCritical = false;
  timeval nextExecTime = { 0, 0 };
  std::int32_t intervalExecTime = 0;
  float execWeight = 1.0f;
};

// What a syslog service last stored: its state and the plugin's output.
struct StoredState {
  ServiceState state = ServiceState::ok;
  std::string lastStdout;
};

// A service run when a syslog notification for its device arrives. Its
// stored state is shared by the workers and the cleaning thread, so it is
// read and written only under its cell's lock; it changes only together
// with the service's row.
class SyslogService : public Service {
public:
  StoredState stored() const { return cell_->copy(); }
  ServiceState state() const { return cell_->lock()->state; }
  void setStored(ServiceState state, std::string output)
  {
    auto cell = cell_->lock();
    cell->state = state;
    cell->lastStdout = std::move(output);
  }
  // A service loaded again takes over the state of the one it replaces: a
  // worker may have written the row and that state after the loader read
  // the row, and both objects then see every later change.
  void takeStoredStateOf(const SyslogService& replaced) { cell_ = replaced.cell_; }

private:
  std::shared_ptr<LockGuarded<StoredState>> cell_ = std::make_shared<LockGuarded<StoredState>>();
};

// Splits a parameter string into plugin arguments: space is the only
// separator, both quote characters quote (and close each other), there is
// no escape character, and empty tokens are dropped.
std::vector<std::string> tokenizeParameter(const std::string& text);

// Whether the service asks for the alerting program on entering a state
// (1 WARNING, 2 CRITICAL, 3 UNKNOWN; no other state has a flag of its own).
bool responseFlagOf(const Service& service, ServiceState state);
