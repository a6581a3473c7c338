#include "tests/support/test_process.h"

#include "tests/support/temp_dir.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <stdexcept>
#include <thread>

TestProcess::TestProcess(const std::vector<std::string>& argv, const std::string& input)
    : files_(std::make_unique<TempDir>())
{
  // Input and output are files: nothing to pump, and a background child of the program cannot hold up whoever reads the
  // output.
  std::string in = files_->write("stdin", input);
  outPath_ = files_->path() + "/stdout";
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0)
    throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    int inFd = open(in.c_str(), O_RDONLY);
    int outFd = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    dup2(inFd, 0);
    dup2(outFd, 1);
    dup2(outFd, 2);
    // Nothing else of the test's: a pipe's or FIFO's write end held here would keep a program the test feeds from
    // ever seeing the end of its input, and a socket would outlive the test's own close.
    close_range(3, ~0U, 0);
    execv(args[0], args.data());
    _exit(127);
  }
}

TestProcess::~TestProcess() { wait(0); }

void TestProcess::signal(int number) const { kill(pid_, number); }

int TestProcess::wait(double timeoutSeconds)
{
  waitFor(timeoutSeconds, [&] {
    int status = 0;
    if (!reaped_ && waitpid(pid_, &status, WNOHANG) == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return reaped_;
  });
  if (!reaped_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    reaped_ = true;
  }
  return status_;
}

bool TestProcess::hasExited() const
{
  siginfo_t info {};
  return reaped_
      || (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid_);
}

std::string TestProcess::output() const { return readFile(outPath_); }

bool waitFor(double timeoutSeconds, const std::function<bool()>& condition)
{
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}
