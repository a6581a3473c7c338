#include "core/log.h"

#include <ctime>
#include <iostream>

std::mutex mutex_log_system;
int debug = 0;

void write_log(const std::string& level, const std::string& message)
{
  std::lock_guard<std::mutex> guard(mutex_log_system);
  std::time_t now = std::time(nullptr);
  std::tm local {};
  localtime_r(&now, &local);
  char buffer[64] = {};
  std::string stamp = asctime_r(&local, buffer) ? buffer : "";
  // asctime ends its text with a line end: cut at the last one.
  std::string::size_type end = stamp.rfind('\n');
  if (end != std::string::npos)
    stamp.erase(end);
  std::cout << stamp << '#' << level << '#' << message << std::endl;
}

void write_raw(const std::string& line)
{
  std::lock_guard<std::mutex> guard(mutex_log_system);
  std::cout << line << std::endl;
}

void Trace(const std::string& message)
{
  if (debug == 1)
    write_log("DEBUG", message);
}
