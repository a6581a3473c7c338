#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// A program started by a test, with its standard output (and error) read
// into a string. The destructor kills and reaps a child still running, so a
// failing test never leaves a process behind.
class TestProcess {
public:
  // Starts argv[0] with the given arguments; stdin is /dev/null unless
  // input is given, which is written and then closed.
  explicit TestProcess(const std::vector<std::string>& argv, const std::string& input = "");
  ~TestProcess();
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;

  pid_t pid() const { return pid_; }
  void signal(int number) const;
  // Waits at most timeoutSeconds for the exit; returns the exit status, or
  // -1 after a time-out (the child is then killed), or 128+signal.
  int wait(double timeoutSeconds);
  // Output collected so far (complete once wait has returned).
  const std::string& output();

private:
  void drain(int timeoutMs);
  pid_t pid_ = -1;
  int outFd_ = -1;
  std::string output_;
  bool reaped_ = false;
  int status_ = -1;
};

// Polls a condition every 50 ms until it holds or the time runs out.
bool waitFor(double timeoutSeconds, const std::function<bool()>& condition);
