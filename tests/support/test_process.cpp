#include "tests/support/test_process.h"

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

TestProcess::TestProcess(const std::vector<std::string>& argv, const std::string& input)
{
  int out[2];
  int in[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(in, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  std::vector<char*> args;
  for (const std::string& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0)
    throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(out[1], 2);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  outFd_ = out[0];
  fcntl(outFd_, F_SETFL, O_NONBLOCK);
  if (!input.empty()) {
    ssize_t ignored = write(in[1], input.data(), input.size());
    (void)ignored;
  }
  close(in[1]);
}

TestProcess::~TestProcess()
{
  if (!reaped_ && pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0)
    close(outFd_);
}

void TestProcess::signal(int number) const { kill(pid_, number); }

void TestProcess::drain(int timeoutMs)
{
  if (outFd_ < 0)
    return;
  pollfd fd { outFd_, POLLIN, 0 };
  if (poll(&fd, 1, timeoutMs) <= 0)
    return;
  char buffer[4096];
  for (;;) {
    ssize_t got = read(outFd_, buffer, sizeof buffer);
    if (got > 0) {
      output_.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) {
      close(outFd_);
      outFd_ = -1;
    }
    return;
  }
}

int TestProcess::wait(double timeoutSeconds)
{
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (!reaped_) {
    int status = 0;
    pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_) {
      reaped_ = true;
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      reaped_ = true;
      status_ = -1;
      break;
    }
    drain(50);
  }
  for (int i = 0; i < 20 && outFd_ >= 0; ++i)
    drain(50);
  return status_;
}

const std::string& TestProcess::output()
{
  drain(0);
  return output_;
}

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
