#include "tests/support/temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>

TempDir::TempDir()
{
  char pattern[] = "/tmp/quelm-test.XXXXXX";
  if (!mkdtemp(pattern))
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
  // Child programs may run as another user in some tests: let them in.
  chmod(path_.c_str(), 0755);
}

TempDir::~TempDir()
{
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& content, bool executable) const
{
  const std::string file = path_ + "/" + name;
  std::ofstream(file, std::ios::binary | std::ios::trunc) << content; // closed at the end of the statement
  chmod(file.c_str(), executable ? 0755 : 0644);
  return file;
}

std::string readFile(const std::string& path)
{
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}
