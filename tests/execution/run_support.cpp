#include "tests/execution/run_support.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

std::string linkProbe(const TempDir& dir, const std::string& name)
{
  std::string link = dir.path() + "/" + name;
  if (::symlink(probePath.c_str(), link.c_str()) != 0)
    throw std::runtime_error("symlink failed for " + link);
  return link;
}

std::string writeScript(const TempDir& dir, const std::string& name, const std::string& body)
{
  return dir.write(name, "#!/bin/sh\n" + body + "\n", true);
}

void within(std::chrono::seconds limit, const std::function<void()>& work)
{
  std::packaged_task<void()> task(work);
  std::future<void> done = task.get_future();
  std::thread runner(std::move(task));
  if (done.wait_for(limit) != std::future_status::ready) {
    std::fprintf(stderr, "run did not finish within %lld s\n", static_cast<long long>(limit.count()));
    std::fflush(stderr);
    std::_Exit(3);
  }
  runner.join();
  done.get();
}

std::vector<pid_t> childrenOfThisProcess()
{
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (!proc)
    return children;
  pid_t self = getpid();
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
      continue;
    std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
    std::string line;
    std::getline(stat, line);
    // The command name may hold spaces: the fields follow its last ')'.
    std::string::size_type close = line.rfind(')');
    if (close == std::string::npos)
      continue;
    std::istringstream fields(line.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    fields >> state >> parent;
    if (parent == self)
      children.push_back(std::stoi(entry->d_name));
  }
  closedir(proc);
  return children;
}

std::set<int> openDescriptors()
{
  std::set<int> fds;
  DIR* directory = opendir("/proc/self/fd");
  int own = dirfd(directory);
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.' && std::stoi(entry->d_name) != own)
      fds.insert(std::stoi(entry->d_name));
  }
  closedir(directory);
  return fds;
}

char processState(pid_t pid)
{
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line))
    return 0;
  std::string::size_type close = line.rfind(')');
  return close == std::string::npos || close + 2 >= line.size() ? 0 : line[close + 2];
}

std::vector<std::string> linesOf(const std::string& text)
{
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line))
    lines.push_back(line);
  return lines;
}

RedirectDescriptor::RedirectDescriptor(int fd, const std::string& file, bool forWriting)
    : fd_(fd)
    , saved_(::dup(fd))
{
  std::fflush(nullptr);
  int opened = forWriting ? ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : ::open(file.c_str(), O_RDONLY);
  if (saved_ < 0 || opened < 0 || ::dup2(opened, fd) < 0)
    throw std::runtime_error("cannot redirect to " + file);
  ::close(opened);
}

RedirectDescriptor::~RedirectDescriptor()
{
  std::fflush(nullptr);
  ::dup2(saved_, fd_);
  ::close(saved_);
}

std::string messageWhenForkFails(const std::function<void()>& work)
{
  int ends[2];
  if (::pipe(ends) != 0)
    return "pipe failed";
  pid_t tester = ::fork();
  if (tester == 0) {
    ::close(ends[0]);
    std::string message = "no exception";
    struct rlimit none {
      0, 0
    };
    if (::setgid(65534) != 0 && getuid() == 0)
      message = "setgid failed";
    else if (getuid() == 0 && ::setuid(65534) != 0)
      message = "setuid failed";
    else if (::setrlimit(RLIMIT_NPROC, &none) != 0)
      message = "setrlimit failed";
    else {
      try {
        work();
      } catch (const std::exception& error) {
        message = error.what();
      }
    }
    ssize_t ignored = ::write(ends[1], message.data(), message.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(ends[1]);
  std::string message;
  char buffer[512];
  ssize_t got = 0;
  while ((got = ::read(ends[0], buffer, sizeof(buffer))) > 0)
    message.append(buffer, static_cast<std::size_t>(got));
  ::close(ends[0]);
  int status = 0;
  ::waitpid(tester, &status, 0);
  return message;
}

void withoutFreeDescriptors(const std::function<void()>& work)
{
  struct rlimit saved { };
  ::getrlimit(RLIMIT_NOFILE, &saved);
  // The lowest free descriptor becomes the limit: nothing more can open.
  int lowest = ::open("/dev/null", O_RDONLY);
  ::close(lowest);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(lowest);
  ::setrlimit(RLIMIT_NOFILE, &tight);
  try {
    work();
  } catch (...) {
    ::setrlimit(RLIMIT_NOFILE, &saved);
    throw;
  }
  ::setrlimit(RLIMIT_NOFILE, &saved);
}
