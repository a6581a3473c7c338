#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

// What /proc tells about one process at one moment.
struct ProcessSample {
  bool alive = false;
  int openFds = 0;
  int threads = 0;
  int children = 0; // live child processes
  int zombies = 0; // children that ended and were not reaped yet
  long rssKb = 0;
  // CPU time in clock ticks: the process itself, and its reaped children.
  std::uint64_t ownTicks = 0;
  std::uint64_t childTicks = 0;
  // CPU time in clock ticks of the children not reaped yet, running or
  // ended (persistent plugins run for the daemon's whole life, so
  // childTicks misses them). childTicks + liveChildTicks grows by what every
  // child spent in between, whether it was reaped in between or not.
  std::uint64_t liveChildTicks = 0;
};

ProcessSample sampleProcess(pid_t pid);

// Machine-wide CPU ticks from /proc/stat: busy (everything but idle and
// iowait) and total.
struct MachineTicks {
  std::uint64_t busy = 0;
  std::uint64_t total = 0;
};
MachineTicks sampleMachine();

// Own CPU ticks (user + system) of every live process named command.
std::uint64_t ticksOfCommand(const std::string& command);

long clockTicksPerSecond();

// The first line of a file (/proc/loadavg, say); empty when unreadable.
std::string firstLineOf(const char* path);

// This process's resident memory in kB (VmRSS), -1 when unknown.
long residentKb();
