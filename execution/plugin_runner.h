#pragma once

#include "execution/child_process.h"
#include "execution/run_result.h"

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

class RunCancel;

// One run of a plugin: the program, its arguments (argument 0 is the path),
// what to write on its standard input (nothing: the plugin keeps the
// daemon's standard input, as a polled plugin does), the longest it may run
// (0: no limit), and what tells it the daemon is stopping (may be null).
struct PluginRun {
  std::string path;
  std::vector<std::string> arguments;
  std::optional<std::string> input;
  int timeoutSeconds = 0;
  const RunCancel* cancel = nullptr;
};

// The most of a plugin's output that is kept; the rest is read and thrown
// away until the plugin ends, so that it never blocks on a full pipe.
constexpr std::size_t outputLimit = std::size_t { 1024 } * 1024;
// How long the output may stay open once the plugin itself has exited (a
// background child may hold it); then what was read is kept.
constexpr std::chrono::seconds outputGrace { 2 };

// Starts the plugin in a process group of its own with an empty
// environment, feeds its input and reads its output at the same time, and
// reaps it. At its time limit, or a grace after a stop, its group gets
// SIGTERM, a short grace, then SIGKILL. Never throws for a failure of the
// run itself: the result says how it ended.
RunResult runPlugin(const PluginRun& run);

// Starts a plugin program as every plugin starts: in a process group of
// its own, with the given environment and standard input and output (-1:
// the daemon's), and a line on its output when it cannot be executed.
// Throws std::system_error when the process cannot be created.
ChildProcess spawnPlugin(const std::string& path, const std::vector<std::string>& arguments, char* const* environment,
    int stdinFd, int stdoutFd);

// Start-up calls this once, before the first worker runs: writing to a
// plugin that has already exited then fails with EPIPE instead of ending the
// daemon. (The runner also shields its own writes, so a missed call is not
// fatal.) Returns false when the action cannot be changed.
bool ignoreSigpipe();
