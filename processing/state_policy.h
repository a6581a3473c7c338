#pragma once

#include "core/errors.h"
#include "core/text.h"
#include "execution/run_result.h"
#include "services/service.h"

#include <string>
#include <vector>

// A failed plugin or alerting program run; what() is the text logged.
class RunError : public ReceiverError {
public:
  using ReceiverError::ReceiverError;
};

// Who ran, for the failure texts: the notification runner names the plugin
// only, the polled runner the service too.
struct RunTexts {
  std::string path;
  std::string parameter;
  int timeoutSeconds = 0;
  const std::string* serviceName = nullptr;
};

// What a plugin run means for its service.
struct Verdict {
  // The state and output to store (valid UTF-8).
  ServiceState state = ServiceState::unknown;
  std::string output;
  // The run counts as failed and is tried again; failure is the text logged.
  bool failed = false;
  std::string failure;
};

// The state policy: exit status 0 to 5 is the state, 255 is UNKNOWN "could
// not connect", any other status UNKNOWN with an error text. The output is
// stored up to its first NUL byte, with invalid UTF-8 replaced by spaces,
// and with outputCutMark after it when the runner kept only its first part.
// A run that produced no output (or exactly ''), was ended by a signal, timed
// out, was stopped or failed to run has failed.
Verdict judgeRun(const RunResult& run, const RunTexts& texts);

// Follows an output of which only the runner's limit was kept.
extern const char* const outputCutMark;

// The output as it can be stored: up to its first NUL byte (what a C
// string holds, whatever the pipe's timing), invalid UTF-8 replaced.
std::string storableOutput(const std::string& raw);

// The output after three failed runs, stored with state UNKNOWN.
extern const char* const noOutputText;

// The alerting program's arguments: one that names "$ERROR" is replaced
// whole by the occurrence id.
std::vector<std::string> alertingArguments(const std::vector<std::string>& arguments, const std::string& errorId);

// The failure text of an alerting run that could not start or be waited
// for, or was stopped at its time limit or by the daemon's stop; empty when
// it ran to its end.
std::string alertFailure(
    const RunResult& run, const std::string& path, const std::string& parameter, int timeoutSeconds);
