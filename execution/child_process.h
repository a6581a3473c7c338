#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A child process owned by exactly one object. A child that nobody reaped
// is killed and reaped when its owner goes, so no zombie ever remains.
class ChildProcess {
public:
  ChildProcess() = default;
  ChildProcess(pid_t pid, bool ownGroup)
      : pid_(pid)
      , ownGroup_(ownGroup)
      , group_(ownGroup ? pid : -1)
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
  // True when a report was stored in status, false when WNOHANG found
  // nothing. An exit or a death by signal reaps the child. A failed waitpid
  // throws std::system_error; ECHILD (reaped elsewhere) also makes the
  // child no longer ours.
  bool wait(int options, int& status);

  // Whether the child has ended; it stays unreaped, so that its group can
  // still be signalled.
  bool hasExited() const;

  // Sends SIGKILL (to the whole group when the child leads one) and reaps.
  void kill();
  // SIGTERM, up to grace for the child to end, then SIGKILL; always reaps.
  void terminate(std::chrono::milliseconds grace);
  // Once the child has been reaped: whatever it left running in its group
  // (a background child) gets SIGTERM, up to grace to end, then SIGKILL.
  void stopLeftovers(std::chrono::milliseconds grace);
  // terminate and then stopLeftovers for several children together: each
  // step signals them all at once and gives them one shared grace, so that
  // stopping many takes no longer than stopping one.
  static void terminateAll(const std::vector<ChildProcess*>& children, std::chrono::milliseconds grace);

private:
  static void terminateAll(const std::vector<ChildProcess*>& children, std::chrono::milliseconds grace,
      const std::vector<ChildProcess*>& groupsOf);
  void signal(int number) const;
  // Blocks until the child has ended and reaps it.
  void reap();

  pid_t pid_ = -1;
  bool ownGroup_ = false;
  // The child's group, kept after it is reaped: the group's id is not given
  // to another process while members of it live.
  pid_t group_ = -1;
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
  // Makes the child lead a process group of its own, so that a time-out or
  // a stop can end the program together with whatever it started.
  bool ownProcessGroup = true;
  // Written to descriptor 1, followed by the error text and a newline, when
  // the program cannot be executed; the child then ends with status 2.
  const char* execFailurePrefix = "";
};

// Starts a child that closes every descriptor above 2 (whatever its
// close-on-exec flag), restores the default action of every signal the
// daemon handles and an empty signal mask, and runs plan.path. Throws std::system_error when the
// process cannot be created.
ChildProcess spawnChild(const ChildPlan& plan);

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
