#pragma once

#include "execution/run_result.h"

#include <string>
#include <vector>

class RunCancel;

// Starts the alerting program with the given arguments (argument 0 is the
// path), in the daemon's environment and standard streams and a process
// group of its own, and waits for it to end: at most timeoutSeconds when
// not 0, and a grace after a stop; then its group is stopped as a plugin's
// is. A program that cannot be started gives a failed result with the step
// "Error create fork"; one that cannot be waited for, "Error execute".
RunResult runAlertingProgram(const std::string& path, const std::vector<std::string>& arguments, int timeoutSeconds = 0,
    const RunCancel* cancel = nullptr);
