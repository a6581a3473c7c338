#pragma once

#include <iostream>
#include <sstream>
#include <string>

// How many times part occurs in text.
inline std::size_t countOf(const std::string& text, const std::string& part)
{
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

// Points the standard output stream (where the daemon's log goes) at a buffer for the life of the object.
class LogCapture {
public:
  LogCapture()
      : previous_(std::cout.rdbuf(buffer_.rdbuf()))
  {
  }
  ~LogCapture() { std::cout.rdbuf(previous_); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::string text() const { return buffer_.str(); }
  bool contains(const std::string& part) const { return text().find(part) != std::string::npos; }

private:
  std::ostringstream buffer_;
  std::streambuf* previous_;
};
