#pragma once

#include "execution/run_result.h"

#include <optional>
#include <string>
#include <vector>

// One run of a plugin: the program, its arguments (argument 0 is the path),
// what to write on its standard input (nothing: the plugin keeps the
// daemon's standard input, as a polled plugin does), and
// the longest it may run (0: no limit; then the plugin is stopped with its
// process group: SIGTERM, a short grace, SIGKILL).
struct PluginRun {
  std::string path;
  std::vector<std::string> arguments;
  std::optional<std::string> input;
  int timeoutSeconds = 0;
};

// Starts the plugin with an empty environment, feeds its input and reads its
// output at the same time, and reaps it. Never throws for a failure of the
// run itself: the result says how it ended.
RunResult runPlugin(const PluginRun& run);

// Start-up calls this once, before the first worker runs: writing to a
// plugin that has already exited then fails with EPIPE instead of ending the
// daemon. (The runner also shields its own writes, so a missed call is not
// fatal.) Returns false when the action cannot be changed.
bool ignoreSigpipe();
