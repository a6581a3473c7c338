#pragma once

#include <sys/time.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

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
  int returnCode = 0;
  std::string lastStdout;
};

// A service run when a syslog notification for its device arrives. Its
// stored state is shared by the workers and the cleaning thread, so it is
// read and written only under its cell's lock; it changes only together
// with the service's row.
class SyslogService : public Service {
public:
  StoredState stored() const
  {
    std::lock_guard<std::mutex> guard(cell_->lock);
    return cell_->state;
  }
  int getReturnCode() const
  {
    std::lock_guard<std::mutex> guard(cell_->lock);
    return cell_->state.returnCode;
  }
  void setStored(int state, std::string output)
  {
    std::lock_guard<std::mutex> guard(cell_->lock);
    cell_->state.returnCode = state;
    cell_->state.lastStdout = std::move(output);
  }
  // A service loaded again takes over the state of the one it replaces: a
  // worker may have written the row and that state after the loader read
  // the row, and both objects then see every later change.
  void takeStoredStateOf(const SyslogService& replaced) { cell_ = replaced.cell_; }

private:
  struct Cell {
    std::mutex lock;
    StoredState state;
  };
  std::shared_ptr<Cell> cell_ = std::make_shared<Cell>();
};

// Splits a parameter string into plugin arguments: space is the only
// separator, both quote characters quote (and close each other), there is
// no escape character, and empty tokens are dropped.
std::vector<std::string> tokenizeParameter(const std::string& text);

// Whether the service asks for the alerting program on entering a state
// (1 WARNING, 2 CRITICAL, 3 UNKNOWN; no other state has a flag of its own).
bool responseFlagOf(const Service& service, int state);
