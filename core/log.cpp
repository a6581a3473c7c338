#include "core/log.h"

#include "core/mutex.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace {

// A bare Mutex, not a LockGuarded: what it orders is std::cout (and, paused,
// the process's other writers), which is process-wide and owned by nobody here.
Mutex logMutex;
std::atomic<bool> traceOn { false };

} // namespace

void writeLog(const std::string& level, const std::string& message)
{
  std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  char buffer[64] = {};
  std::string stamp = asctime_r(&local, buffer) ? buffer : "";
  // asctime ends its text with a line end: cut at the last one.
  std::string::size_type end = stamp.rfind('\n');
  if (end != std::string::npos)
    stamp.erase(end);
  MutexLock guard(logMutex);
  std::cout << stamp << '#' << level << '#' << message << std::endl;
}

void writeRaw(const std::string& line)
{
  MutexLock guard(logMutex);
  std::cout << line << std::endl;
}

void trace(const std::string& message)
{
  if (traceOn.load(std::memory_order_relaxed))
    writeLog("DEBUG", message);
}

std::streambuf* redirectLog(std::streambuf* buffer)
{
  MutexLock guard(logMutex);
  std::cerr.tie(nullptr);
  std::cout.flush();
  return std::cout.rdbuf(buffer);
}

void flushLog()
{
  MutexLock guard(logMutex);
  std::cout.flush();
  std::fflush(nullptr);
}

void withLogPaused(const std::function<void()>& work)
{
  MutexLock guard(logMutex);
  std::cout.flush();
  work();
}

std::string logSafe(const std::string& text)
{
  auto control = [](unsigned char c) { return c < 0x20 || c == 0x7f; };
  std::string::size_type first = 0;
  while (first < text.size() && !control(static_cast<unsigned char>(text[first])))
    ++first;
  if (first == text.size())
    return text;
  static const char hex[] = "0123456789abcdef";
  std::string safe = text.substr(0, first);
  for (std::string::size_type i = first; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (!control(c)) {
      safe += static_cast<char>(c);
      continue;
    }
    switch (c) {
    case '\n':
      safe += "\\n";
      break;
    case '\r':
      safe += "\\r";
      break;
    case '\t':
      safe += "\\t";
      break;
    default:
      safe += "\\x";
      safe += hex[c >> 4];
      safe += hex[c & 0xf];
    }
  }
  return safe;
}

void setTraceEnabled(bool enabled) { traceOn = enabled; }

bool traceEnabled() { return traceOn.load(std::memory_order_relaxed); }
