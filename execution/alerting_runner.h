#pragma once

#include "execution/run_result.h"

#include <string>
#include <vector>

// Starts the alerting program with the given arguments (argument 0 is the
// path), in the daemon's environment and standard streams, and waits for it
// to end. A program that cannot be started gives a failed result with the
// step "Error create fork"; one that cannot be waited for, "Error execute".
RunResult runAlertingProgram(const std::string& path, const std::vector<std::string>& arguments);
