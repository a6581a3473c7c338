#include "tests/support/command.h"

#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <sys/wait.h>

std::string shellQuote(const std::string& word)
{
  std::string quoted = "'";
  for (char c : word)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

CommandResult runCommand(const std::string& command, const std::string& input, int timeoutSeconds)
{
  TempDir files;
  const std::string in = files.write("stdin", input), out = files.path() + "/stdout", err = files.path() + "/stderr";
  std::string line = "timeout -k 5 " + std::to_string(timeoutSeconds) + " /bin/sh -c " + shellQuote(command) + " <"
      + shellQuote(in) + " >" + shellQuote(out) + " 2>" + shellQuote(err);
  const int raw = std::system(line.c_str());
  return { raw != -1 && WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, readFile(out), readFile(err) };
}
