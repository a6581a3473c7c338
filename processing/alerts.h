#pragma once

#include <cstdint>
#include <string>

class Service;

// Starts the service's alerting program for the occurrence and waits for
// it; a program that cannot be started or waited for throws RunError with
// the failure text.
void startAlert(const Service& svc, std::uint64_t occurrenceId);
