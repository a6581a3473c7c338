#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// The text of an errno value (the strerror text), safe to call from any thread.
std::string systemErrorText(int error);

// A child process owned by exactly one object. A child that nobody reaped
// is killed and reaped when its owner goes, so no zombie ever remains.
class ChildProcess {
  public:
  ChildProcess() = default;
  ChildProcess(pid_t pid, bool ownGroup)
      : pid_(pid)
      , ownGroup_(ownGroup)
  {
  }
  ~ChildProcess() { kill(); }
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // True until the child has been reaped (or found reaped by someone else).
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // waitpid on the child with the given options, retried when interrupted.
  // Returns 1 when a report was stored in status, 0 when WNOHANG found
  // nothing, or minus the errno. An exit or a death by signal reaps the
  // child; ECHILD means it was reaped elsewhere and is no longer ours.
  int wait(int options, int& status);

  // Sends SIGKILL (to the whole group when the child leads one) and reaps.
  void kill();
  // SIGTERM, up to grace for the child to end, then SIGKILL; always reaps.
  void terminate(std::chrono::milliseconds grace);

  private:
  void signal(int number) const;
  // Blocks until the child has ended and reaps it.
  void reap();

  pid_t pid_ = -1;
  bool ownGroup_ = false;
};

// Everything a new child does between fork and exec. It is prepared in the
// parent: the child of a threaded process may only make async-signal-safe
// calls, so it must not allocate.
struct ChildPlan {
  const char* path = nullptr;
  char* const* argv = nullptr;
  // nullptr: the program gets the daemon's environment.
  char* const* envp = nullptr;
  // Duplicated onto 0 and 1 when not -1; both must be above 2.
  int stdinFd = -1;
  int stdoutFd = -1;
  // Makes the child lead a process group of its own, so that a time-out can
  // stop the plugin together with whatever it started.
  bool ownProcessGroup = false;
  // Written to descriptor 1, followed by the error text and a newline, when
  // the program cannot be executed; the child then ends with status 2.
  const char* execFailurePrefix = "";
};

// Starts a child that closes every descriptor above 2 (whatever its
// close-on-exec flag), restores the default SIGPIPE action and an empty
// signal mask, and runs plan.path. On failure returns an owner that is not
// running and stores the errno of vfork in error.
ChildProcess spawnChild(const ChildPlan& plan, int& error);

// An argv array built from copies of the given strings.
class ArgumentList {
  public:
  ArgumentList(const std::string& first, const std::vector<std::string>& rest);
  ArgumentList(const ArgumentList&) = delete;
  ArgumentList& operator=(const ArgumentList&) = delete;

  char* const* data() { return pointers_.data(); }

  private:
  std::vector<std::string> storage_;
  std::vector<char*> pointers_;
};
