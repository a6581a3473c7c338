#pragma once

#include <string>
#include <vector>

struct PluginRun {
  // The exit status, or -1 when the program did not exit within the time.
  int status = -1;
  std::string out;
};

// Runs a program the way the daemon runs a plugin: execve with the given
// environment (empty by default), `input` on standard input, standard
// output captured. Input the program does not read is dropped. Every wait
// ends after timeoutSeconds; a program still running then is killed.
PluginRun runPlugin(const std::vector<std::string>& argv, const std::string& input,
    const std::vector<std::string>& environment = {}, double timeoutSeconds = 20);
