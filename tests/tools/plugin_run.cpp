#include "tests/tools/plugin_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <stdexcept>

namespace {

std::vector<char*> pointers(const std::vector<std::string>& words)
{
  std::vector<char*> list;
  for (const std::string& word : words)
    list.push_back(const_cast<char*>(word.c_str()));
  list.push_back(nullptr);
  return list;
}

} // namespace

PluginRun runPlugin(const std::vector<std::string>& argv, const std::string& input,
    const std::vector<std::string>& environment, double timeoutSeconds)
{
  // A program that exits before reading all its input must not end the test.
  std::signal(SIGPIPE, SIG_IGN);
  int out[2];
  int in[2];
  if (pipe2(out, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe2 failed");
  if (pipe2(in, O_CLOEXEC) != 0) {
    close(out[0]);
    close(out[1]);
    throw std::runtime_error("pipe2 failed");
  }
  std::vector<char*> args = pointers(argv);
  std::vector<char*> envp = pointers(environment);
  pid_t pid = fork();
  if (pid < 0)
    throw std::runtime_error("fork failed");
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    execve(args[0], args.data(), envp.data());
    _exit(127);
  }
  close(out[1]);
  close(in[0]);
  int outFd = out[0];
  int inFd = in[1];
  fcntl(inFd, F_SETFL, O_NONBLOCK);
  std::size_t written = 0;
  if (input.empty()) {
    close(inFd);
    inFd = -1;
  }

  PluginRun run;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  while (outFd >= 0 && std::chrono::steady_clock::now() < deadline) {
    pollfd fds[2] = { { outFd, POLLIN, 0 }, { inFd, POLLOUT, 0 } };
    if (poll(fds, inFd >= 0 ? 2 : 1, 50) < 0)
      continue;
    if (fds[0].revents != 0) {
      char buffer[4096];
      ssize_t got = read(outFd, buffer, sizeof buffer);
      if (got > 0) {
        run.out.append(buffer, static_cast<std::size_t>(got));
      } else {
        close(outFd);
        outFd = -1;
      }
    }
    if (inFd >= 0 && fds[1].revents != 0) {
      ssize_t put = write(inFd, input.data() + written, input.size() - written);
      if (put > 0)
        written += static_cast<std::size_t>(put);
      if (written == input.size() || (put < 0 && errno != EAGAIN)) {
        close(inFd);
        inFd = -1;
      }
    }
  }
  if (inFd >= 0)
    close(inFd);
  if (outFd >= 0)
    close(outFd);

  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      run.status = -1;
      break;
    }
    usleep(10000);
  }
  return run;
}
