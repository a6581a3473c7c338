#include "execution/child_process.h"

#include "core/daemon_signals.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <system_error>
#include <unistd.h>

ChildProcess::ChildProcess(ChildProcess&& other) noexcept
    : pid_(other.pid_)
    , ownGroup_(other.ownGroup_)
    , group_(other.group_)
{
  other.pid_ = -1;
  other.group_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept
{
  if (this != &other) {
    kill();
    pid_ = other.pid_;
    ownGroup_ = other.ownGroup_;
    group_ = other.group_;
    other.pid_ = -1;
    other.group_ = -1;
  }
  return *this;
}

bool ChildProcess::wait(int options, int& status)
{
  if (pid_ <= 0)
    throw std::system_error(ECHILD, std::generic_category(), "waitpid");
  for (;;) {
    pid_t got = ::waitpid(pid_, &status, options);
    if (got == pid_) {
      if (WIFEXITED(status) || WIFSIGNALED(status))
        pid_ = -1;
      return true;
    }
    if (got == 0)
      return false;
    if (errno == EINTR)
      continue;
    int error = errno;
    if (error == ECHILD)
      pid_ = -1;
    throw std::system_error(error, std::generic_category(), "waitpid");
  }
}

void ChildProcess::signal(int number) const
{
  // Only called while the child is unreaped: its pid (and group id) cannot
  // have been given to another process yet. The child itself is signalled
  // too: it may have left its group (the group kill then fails with ESRCH,
  // or reaches only what it left behind).
  if (pid_ <= 0)
    return;
  if (ownGroup_)
    ::kill(-pid_, number);
  ::kill(pid_, number);
}

void ChildProcess::reap()
{
  int status = 0;
  try {
    while (pid_ > 0)
      wait(0, status);
  } catch (const std::system_error&) {
    // Not ours any more: nothing left to reap.
  }
}

void ChildProcess::kill()
{
  if (pid_ <= 0)
    return;
  signal(SIGKILL);
  reap();
}

bool ChildProcess::hasExited() const
{
  if (pid_ <= 0)
    return true;
  siginfo_t info {};
  for (;;) {
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0)
      return info.si_pid == pid_;
    if (errno != EINTR)
      return true; // Not ours any more.
  }
}

namespace {

// Sleeps while any of the conditions' owners still runs, at most until limit,
// the pause growing from 0.1 ms to 20 ms.
template <typename StillRunning> void waitWhile(StillRunning stillRunning, std::chrono::steady_clock::time_point limit)
{
  long pauseNs = 100000;
  while (std::chrono::steady_clock::now() < limit && stillRunning()) {
    struct timespec pause {
      0, pauseNs
    };
    ::nanosleep(&pause, nullptr);
    pauseNs = std::min(pauseNs * 2, 20000000L);
  }
}

} // namespace

void ChildProcess::terminate(std::chrono::milliseconds grace)
{
  if (pid_ <= 0)
    return;
  signal(SIGTERM);
  waitWhile([this] { return !hasExited(); }, std::chrono::steady_clock::now() + grace);
  // The leader may be gone while others of its group still run.
  signal(SIGKILL);
  reap();
}

void ChildProcess::stopLeftovers(std::chrono::milliseconds grace) { terminateAll({}, grace, { this }); }

void ChildProcess::terminateAll(const std::vector<ChildProcess*>& children, std::chrono::milliseconds grace)
{
  terminateAll(children, grace, children);
}

void ChildProcess::terminateAll(const std::vector<ChildProcess*>& children, std::chrono::milliseconds grace,
    const std::vector<ChildProcess*>& groupsOf)
{
  if (!children.empty()) {
    for (ChildProcess* child : children)
      child->signal(SIGTERM);
    waitWhile(
        [&] {
          return std::any_of(
              children.begin(), children.end(), [](const ChildProcess* child) { return !child->hasExited(); });
        },
        std::chrono::steady_clock::now() + grace);
    for (ChildProcess* child : children) {
      child->signal(SIGKILL);
      child->reap();
    }
  }
  // What they left running in their groups once they are reaped.
  std::vector<pid_t> groups;
  for (ChildProcess* child : groupsOf) {
    if (child->pid_ <= 0 && child->group_ > 0 && ::kill(-child->group_, 0) == 0) {
      groups.push_back(child->group_);
      ::kill(-child->group_, SIGTERM);
    }
    if (child->pid_ <= 0)
      child->group_ = -1;
  }
  if (groups.empty())
    return;
  waitWhile(
      [&] { return std::any_of(groups.begin(), groups.end(), [](pid_t group) { return ::kill(-group, 0) == 0; }); },
      std::chrono::steady_clock::now() + grace);
  for (pid_t group : groups)
    ::kill(-group, SIGKILL);
}

ArgumentList::ArgumentList(const std::string& first, const std::vector<std::string>& rest)
{
  storage_.reserve(rest.size() + 1);
  storage_.push_back(first);
  storage_.insert(storage_.end(), rest.begin(), rest.end());
  pointers_.reserve(storage_.size() + 1);
  for (std::string& entry : storage_)
    pointers_.push_back(entry.data());
  pointers_.push_back(nullptr);
}

namespace {

// Appends text to a fixed buffer without allocating.
void appendText(char* buffer, std::size_t capacity, std::size_t& used, const char* text)
{
  std::size_t length = std::strlen(text);
  std::size_t room = capacity - used;
  if (length > room)
    length = room;
  // The caller tracks the length and ends the text itself.
  std::memcpy(buffer + used, text, length); // NOLINT(bugprone-not-null-terminated-result)
  used += length;
}

// One write of prefix + the error text + newline, without allocating.
void writeErrorLine(int fd, const char* prefix, int error)
{
  char buffer[512];
  std::size_t used = 0;
  const char* description = ::strerrordesc_np(error);
  appendText(buffer, sizeof(buffer) - 1, used, prefix);
  appendText(buffer, sizeof(buffer) - 1, used, description ? description : "Unknown error");
  buffer[used++] = '\n';
  std::size_t done = 0;
  while (done < used) {
    ssize_t wrote = ::write(fd, buffer + done, used - done);
    if (wrote < 0 && errno == EINTR)
      continue;
    if (wrote <= 0)
      return;
    done += static_cast<std::size_t>(wrote);
  }
}

[[noreturn]] void failRedirection()
{
  writeErrorLine(2, "EXEC fils: erreur de redirection de flux (dup2): ", errno);
  ::_exit(2);
}

void closeFrom(int lowest, int limit)
{
  if (::close_range(static_cast<unsigned>(lowest), ~0U, 0) == 0)
    return;
  for (int fd = lowest; fd < limit; ++fd)
    ::close(fd);
}

// The child's side; only async-signal-safe calls from here on.
[[noreturn]] void runChild(const ChildPlan& plan, int closeLimit)
{
  if (plan.stdinFd >= 0 && ::dup2(plan.stdinFd, 0) < 0)
    failRedirection();
  if (plan.stdoutFd >= 0 && ::dup2(plan.stdoutFd, 1) < 0)
    failRedirection();
  // Other threads may hold descriptors without close-on-exec (sockets of
  // libraries, descriptors between creation and fcntl): close them all.
  closeFrom(3, closeLimit);
  if (plan.ownProcessGroup)
    ::setpgid(0, 0);
  // An ignored SIGPIPE and a worker's blocked signals would survive exec.
  // No handler of the daemon may run here either (this child shares the
  // daemon's memory until exec): every signal it handles gets its default.
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int number : daemonSignals)
    ::sigaction(number, &standard, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::pthread_sigmask(SIG_SETMASK, &none, nullptr);
  if (plan.envp)
    ::execve(plan.path, plan.argv, plan.envp);
  else
    ::execv(plan.path, plan.argv);
  writeErrorLine(1, plan.execFailurePrefix, errno);
  ::_exit(2);
}

} // namespace

namespace {

// vfork shares the parent's memory until exec, so its cost does not grow
// with the daemon's heap as fork's page-table copy does, and it skips the
// per-signal work a general spawn does. Every signal stays blocked until the
// child has reset the daemon's handlers: a handler must never run on the
// memory the child shares with the daemon.
ChildProcess vforkChild(const ChildPlan& plan, int closeLimit)
{
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  // NOLINTNEXTLINE(clang-analyzer-security.insecureAPI.vfork): chosen on purpose, see above.
  pid_t pid = ::vfork();
  if (pid == 0)
    runChild(plan, closeLimit); // NOLINT(clang-analyzer-unix.Vfork): only async-signal-safe calls, then exec or _exit.
  int saved = errno;
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0)
    throw std::system_error(saved, std::generic_category(), "vfork");
  if (plan.ownProcessGroup)
    ::setpgid(pid, pid);
  return ChildProcess(pid, plan.ownProcessGroup);
}

} // namespace

ChildProcess spawnChild(const ChildPlan& plan)
{
  // Bound of the fallback descriptor loop, read here: sysconf and getrlimit
  // are not for the child.
  struct rlimit files = {};
  int closeLimit = 65536;
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY)
    closeLimit = static_cast<int>(std::min<rlim_t>(files.rlim_cur, 1 << 20));
  return vforkChild(plan, closeLimit);
}
