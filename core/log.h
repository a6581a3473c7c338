#pragma once

#include <mutex>
#include <string>

// Serialises whole log lines between threads.
extern std::mutex mutex_log_system;
// 1 when the daemon runs with -D: Trace lines are written.
extern int debug;

// One line "<asctime>#<level>#<message>" on the standard output stream,
// which start-up points at the log file; flushed at once.
void write_log(const std::string& level, const std::string& message);
// write_log("DEBUG", message) in debug mode, nothing otherwise.
void Trace(const std::string& message);
// A raw line (no time, no level) on the same stream, whole among the log
// lines: the stream is shared by every thread, so it takes the log lock too.
void write_raw(const std::string& line);
