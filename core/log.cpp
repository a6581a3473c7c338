#include "core/log.h"

#include <atomic>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <mutex>

namespace {

// Process-wide: the stream they guard is.
std::mutex logMutex;
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
  std::lock_guard<std::mutex> guard(logMutex);
  std::cout << stamp << '#' << level << '#' << message << std::endl;
}

void writeRaw(const std::string& line)
{
  std::lock_guard<std::mutex> guard(logMutex);
  std::cout << line << std::endl;
}

void trace(const std::string& message)
{
  if (traceOn.load(std::memory_order_relaxed))
    writeLog("DEBUG", message);
}

void flushLog()
{
  std::lock_guard<std::mutex> guard(logMutex);
  std::cout.flush();
  std::fflush(nullptr);
}

void withLogPaused(const std::function<void()>& work)
{
  std::lock_guard<std::mutex> guard(logMutex);
  std::cout.flush();
  work();
}

void setTraceEnabled(bool enabled) { traceOn = enabled; }

bool traceEnabled() { return traceOn.load(std::memory_order_relaxed); }
