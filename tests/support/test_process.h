#pragma once

#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

class TempDir;

// A program started by a test, its input and output in files. The destructor kills and reaps a child still running, so
// a failing test never leaves a process behind.
class TestProcess {
public:
  // Starts argv[0] with the given arguments and input on standard input; standard output and error go to one file, and
  // no other descriptor of the test is passed on.
  explicit TestProcess(const std::vector<std::string>& argv, const std::string& input = "");
  ~TestProcess();
  TestProcess(const TestProcess&) = delete;
  TestProcess& operator=(const TestProcess&) = delete;

  void signal(int number) const;
  pid_t pid() const { return pid_; }
  // Waits at most timeoutSeconds for the exit; returns the exit status, 128+signal, or -1 after a time-out (the child
  // is then killed).
  int wait(double timeoutSeconds);
  // Whether it has ended; it stays unreaped, so its pid stays its own.
  bool hasExited() const;
  // What the program wrote so far.
  std::string output() const;

private:
  std::unique_ptr<TempDir> files_;
  std::string outPath_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

// Polls a condition every 50 ms until it holds or the time runs out.
bool waitFor(double timeoutSeconds, const std::function<bool()>& condition);
