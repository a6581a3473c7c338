#include "bench/process_sampler.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace {

int countEntries(const std::string& directory)
{
  DIR* dir = ::opendir(directory.c_str());
  if (dir == nullptr)
    return -1;
  int count = 0;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.')
      ++count;
  }
  ::closedir(dir);
  return count;
}

// Fields of /proc/PID/stat after the command name (which may hold spaces):
// fields[0] is the state, fields[1] the parent pid, and so on.
bool readStatFields(const std::string& path, std::string fields[], int count)
{
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line))
    return false;
  auto close = line.rfind(')');
  if (close == std::string::npos)
    return false;
  std::istringstream rest(line.substr(close + 1));
  for (int i = 0; i < count; ++i) {
    if (!(rest >> fields[i]))
      return false;
  }
  return true;
}

} // namespace

ProcessSample sampleProcess(pid_t pid)
{
  ProcessSample sample;
  const std::string base = "/proc/" + std::to_string(pid);
  std::string fields[16];
  if (!readStatFields(base + "/stat", fields, 16) || fields[0] == "Z")
    return sample;
  sample.alive = true;
  // utime, stime, cutime, cstime are fields 14 to 17 of the whole line.
  sample.ownTicks = std::strtoull(fields[11].c_str(), nullptr, 10) + std::strtoull(fields[12].c_str(), nullptr, 10);
  sample.childTicks = std::strtoull(fields[13].c_str(), nullptr, 10) + std::strtoull(fields[14].c_str(), nullptr, 10);
  sample.openFds = countEntries(base + "/fd");

  std::ifstream status(base + "/status");
  std::string line;
  for (int i = 0; i < 200 && std::getline(status, line); ++i) {
    if (line.rfind("Threads:", 0) == 0)
      sample.threads = std::atoi(line.c_str() + 8);
    else if (line.rfind("VmRSS:", 0) == 0)
      sample.rssKb = std::atol(line.c_str() + 6);
  }

  // Children: every process whose parent is pid (a scan of /proc, which
  // works without the per-thread children files).
  DIR* proc = ::opendir("/proc");
  if (proc != nullptr) {
    while (dirent* entry = ::readdir(proc)) {
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
        continue;
      std::string child[13];
      if (!readStatFields(std::string("/proc/") + entry->d_name + "/stat", child, 13))
        continue;
      if (std::atol(child[1].c_str()) != pid)
        continue;
      if (child[0] == "Z")
        ++sample.zombies;
      else
        ++sample.children;
      sample.liveChildTicks
          += std::strtoull(child[11].c_str(), nullptr, 10) + std::strtoull(child[12].c_str(), nullptr, 10);
    }
    ::closedir(proc);
  }
  return sample;
}

MachineTicks sampleMachine()
{
  MachineTicks ticks;
  std::ifstream in("/proc/stat");
  std::string cpu;
  in >> cpu;
  std::uint64_t value = 0;
  for (int i = 0; i < 8 && in >> value; ++i) {
    ticks.total += value;
    // idle (4th) and iowait (5th) are not busy; guest time is already in user.
    if (i != 3 && i != 4)
      ticks.busy += value;
  }
  return ticks;
}

std::uint64_t ticksOfCommand(const std::string& command)
{
  std::uint64_t ticks = 0;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr)
    return 0;
  while (dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9')
      continue;
    std::string base = std::string("/proc/") + entry->d_name;
    std::ifstream commFile(base + "/comm");
    std::string name;
    if (!std::getline(commFile, name) || name != command)
      continue;
    std::string fields[13];
    if (readStatFields(base + "/stat", fields, 13))
      ticks += std::strtoull(fields[11].c_str(), nullptr, 10) + std::strtoull(fields[12].c_str(), nullptr, 10);
  }
  ::closedir(proc);
  return ticks;
}

long clockTicksPerSecond() { return ::sysconf(_SC_CLK_TCK); }

std::string firstLineOf(const char* path)
{
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

long residentKb()
{
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0)
      return std::atol(line.c_str() + 6);
  return -1;
}
