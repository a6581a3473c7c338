#pragma once

#include <string>

// A private directory under /tmp, removed with its contents at the end.
class TempDir {
public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // Writes a file below the directory and returns its path.
  std::string write(const std::string& name, const std::string& content, bool executable = false) const;

private:
  std::string path_;
};

// The whole content of a file (empty when it cannot be read).
std::string readFile(const std::string& path);
