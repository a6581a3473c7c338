#pragma once

#include <sys/time.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One monitored check: a plugin run against one device with one parameter
// string, whose exit status becomes the check's state.
class service {
public:
  service() = default;
  service(const service& other) = default;
  service& operator=(const service& other) = default;
  virtual ~service() = default;

  // Stores the interval and derives the weight 300000 / interval (integer
  // division). An interval of 0 leaves the weight as it was.
  void Setinterval_exec_time(int interval);

  // Ordering by next execution time: seconds first, then microseconds.
  bool operator<(const service& other) const;
  bool operator>(const service& other) const;

  // Stores the text and replaces the arguments by its tokens.
  void Setparameter(std::string text);
  // Appends the tokens of the text to the alerting arguments.
  void SetAlertingParameter(std::string text);

  // Runs the plugin once without input (polled services).
  int execute();
  // Starts the alerting program with "$ERROR" replaced by errorId and waits
  // for it to end.
  void executeAlertingSoftware(std::string errorId);

  std::int64_t device_id = 0;
  std::int32_t plugin_id = 0;
  std::int64_t service_id = 0;
  std::string service_id_text;
  std::int32_t return_code = 0;
  std::int32_t stored_state = 0;
  std::string service_name;
  std::string parameter;
  std::vector<std::string> arguments;
  std::vector<std::string> alerting_arguments;
  std::string plugin_path;
  std::string program_path;
  bool response_ok = false;
  bool response_unknown = false;
  bool response_warning = false;
  bool response_critical = false;
  struct timeval next_exec_time { 0, 0 };
  std::int32_t interval_exec_time = 0;
  std::string last_stdout;
  float exec_weight = 1.0f;
};

// A service run when a syslog notification for its device arrives.
// return_code_lock guards return_code and serialises the final phase of
// every run of the service.
class serviceSyslog : public service {
public:
  serviceSyslog() = default;
  // A copy gets a lock of its own.
  serviceSyslog(const serviceSyslog& other)
      : service(other)
  {
  }
  serviceSyslog& operator=(const serviceSyslog& other)
  {
    service::operator=(other);
    return *this;
  }
  virtual ~serviceSyslog() = default;

  int GetReturnCode();
  void SetReturnCode(int code);

  // Runs the plugin once with the notification text on its standard input.
  int execute(std::string syslog_message);

  std::mutex return_code_lock;
};

// Splits a parameter string into plugin arguments: space is the only
// separator, both quote characters quote (and close each other), there is
// no escape character, and empty tokens are dropped.
std::vector<std::string> tokenizeParameter(const std::string& text);
