// A plugin for the execution tests. What it does depends on the name it is
// started under (tests link it under several names):
//   list_fds          prints the numbers of its open descriptors;
//   report_to_file    writes the report below to "<argv[0]>.out";
//   anything else     prints the report: its arguments, its environment,
//                     the SIGPIPE state it was given and its whole input.

#include <dirent.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

extern char** environ;

namespace {

std::string baseName(const std::string& path)
{
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string listDescriptors()
{
  std::string list;
  DIR* directory = opendir("/proc/self/fd");
  if (!directory)
    return "cannot list\n";
  int own = dirfd(directory);
  while (dirent* entry = readdir(directory)) {
    if (entry->d_name[0] == '.' || std::stoi(entry->d_name) == own)
      continue;
    list += std::string(list.empty() ? "" : " ") + entry->d_name;
  }
  closedir(directory);
  return list + "\n";
}

std::string report(int argc, char** argv, bool readInput)
{
  std::ostringstream out;
  for (int i = 0; i < argc; ++i)
    out << "arg:" << argv[i] << "\n";
  for (char** variable = environ; *variable; ++variable)
    out << "env:" << *variable << "\n";
  struct sigaction action { };
  sigaction(SIGPIPE, nullptr, &action);
  sigset_t mask;
  sigprocmask(SIG_SETMASK, nullptr, &mask);
  out << "sigpipe-ignored:" << (action.sa_handler == SIG_IGN) << "\n";
  out << "sigpipe-blocked:" << sigismember(&mask, SIGPIPE) << "\n";
  out << "sigterm-blocked:" << sigismember(&mask, SIGTERM) << "\n";
  if (readInput)
    out << "stdin:" << std::cin.rdbuf();
  return out.str();
}

} // namespace

int main(int argc, char** argv)
{
  std::string name = baseName(argv[0]);
  if (name == "list_fds") {
    std::cout << listDescriptors();
    return 0;
  }
  if (name == "report_to_file") {
    std::ofstream(std::string(argv[0]) + ".out") << report(argc, argv, false);
    return 0;
  }
  std::cout << report(argc, argv, true);
  return 0;
}
