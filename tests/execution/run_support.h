#pragma once

#include "tests/support/temp_dir.h"

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <set>
#include <string>
#include <vector>

// Path of the probe plugin built with the tests.
const std::string probePath = EXECUTION_PROBE;

// A link to the probe under the given name (the name selects its mode).
std::string linkProbe(const TempDir& dir, const std::string& name);

// A /bin/sh plugin with the given body; it runs with an empty environment.
std::string writeScript(const TempDir& dir, const std::string& name, const std::string& body);

// Runs work on its own thread and fails the whole test program if it has not
// finished within the limit: a hung run must not hang the suite.
void within(std::chrono::seconds limit, const std::function<void()>& work);

// Process ids whose parent is this process (zombies included).
std::vector<pid_t> childrenOfThisProcess();
// Descriptors open in this process.
std::set<int> openDescriptors();
// The state letter of /proc/<pid>/stat, or 0 when the process is gone.
char processState(pid_t pid);

// Lines of text, without their line ends.
std::vector<std::string> linesOf(const std::string& text);

// Points descriptor 0 or 1 of this process at a file for the object's life.
class RedirectDescriptor {
  public:
  RedirectDescriptor(int fd, const std::string& file, bool forWriting);
  ~RedirectDescriptor();
  RedirectDescriptor(const RedirectDescriptor&) = delete;
  RedirectDescriptor& operator=(const RedirectDescriptor&) = delete;

  private:
  int fd_;
  int saved_;
};

// Runs work in a forked copy of this process that may not create any further
// process (unprivileged user, no process allowed) and returns the message of
// the exception it threw, or "no exception".
std::string messageWhenForkFails(const std::function<void()>& work);

// Runs work while this process cannot open any further descriptor.
void withoutFreeDescriptors(const std::function<void()>& work);
