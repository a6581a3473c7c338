#pragma once

#include <string>

struct CommandResult {
  // The exit status, or -1 when the command did not exit normally.
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `command` through /bin/sh with `input` on its standard input, killed after `timeoutSeconds`, and collects both
// output streams.
CommandResult runCommand(const std::string& command, const std::string& input = "", int timeoutSeconds = 30);

// Quotes a word for /bin/sh.
std::string shellQuote(const std::string& word);
