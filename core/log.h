#pragma once

#include <functional>
#include <streambuf>
#include <string>

// The daemon's one log: every line goes to the standard output stream,
// which start-up points at the log file. The stream is shared by every
// thread and by library callbacks, so the lock that keeps lines whole is
// process-wide, as is the debug switch set once from the command line.

// One line "<asctime>#<level>#<message>", flushed at once.
void writeLog(const std::string& level, const std::string& message);
// writeLog("DEBUG", message) in debug mode, nothing otherwise.
void trace(const std::string& message);
// A raw line (no time, no level), whole among the log lines.
void writeRaw(const std::string& line);
// Points the stream at buffer and returns the buffer it wrote to. From then
// on only the functions here write through it: std::cerr, which the standard
// library ties to std::cout, no longer flushes it (the WebSocket library
// writes its error lines to std::cerr from its own threads, outside the log
// lock, and such a flush could write a line out twice).
std::streambuf* redirectLog(std::streambuf* buffer);
// Flushes the stream under the log lock, so no line is cut at exit.
void flushLog();
// Flushes the stream and runs work under the log lock: for changing the
// file under the stream between two whole lines.
void withLogPaused(const std::function<void()>& work);

// Text that came from outside (a sender's host, identity or payload) as it
// may stand in a log line: every control character is escaped ("\n" becomes
// the two characters \ and n, others \xHH), so that no sender can end a line
// or start one of its own. Everything else is kept as it is.
std::string logSafe(const std::string& text);

// Debug mode (-D): trace lines are written. Set before any thread starts.
void setTraceEnabled(bool enabled);
bool traceEnabled();
