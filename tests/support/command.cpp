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
  std::string in = files.write("stdin", input);
  std::string out = files.path() + "/stdout";
  std::string err = files.path() + "/stderr";
  std::string line = "timeout -k 5 " + std::to_string(timeoutSeconds) + " /bin/sh -c " + shellQuote(command) + " <"
      + shellQuote(in) + " >" + shellQuote(out) + " 2>" + shellQuote(err);
  int raw = std::system(line.c_str());
  CommandResult result;
  if (raw != -1 && WIFEXITED(raw))
    result.status = WEXITSTATUS(raw);
  result.out = readFile(out);
  result.err = readFile(err);
  return result;
}
