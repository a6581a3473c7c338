#pragma once

#include <iosfwd>
#include <string>
#include <vector>

// What the configuration check found. A problem would make the daemon fail
// or misbehave; a warning (a certificate close to its end) is for the
// operator to act on soon, and does not keep the daemon from starting.
struct CheckReport {
  std::vector<std::string> problems;
  std::vector<std::string> warnings;
};

// What a service's plugin or alerting program that cannot be run is: a
// problem for the operator's check, a warning for the check before a start,
// where it costs that service's notifications alone, not every host's.
enum class ProgramFaults { problems, warnings };

// Checks the configuration file at path against everything start-up meets:
// each value, the listener's certificate, key and authority, the sender
// rules and metrics address, the database with the daemon's statements, and
// the plugin and alerting program of every service. It starts no listener,
// opens no log file, writes nothing to the database and runs no program.
// The daemon's own log lines meanwhile go to logLines (null: discarded).
CheckReport checkConfiguration(
    const std::string& path, std::streambuf* logLines = nullptr, ProgramFaults programFaults = ProgramFaults::problems);

// Writes each problem, then each warning, one line each, then the summary
// line; returns the exit status: 1 with any problem, otherwise 0.
int printCheckReport(const std::string& path, const CheckReport& report, std::ostream& out);
