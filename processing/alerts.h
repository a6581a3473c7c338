#pragma once

#include <cstdint>
#include <string>

class Service;
struct ProcessingContext;

// Starts the service's alerting program for the occurrence and waits for
// it, at most the context's alert time-out when not 0 and a grace after a
// stop. A program that cannot be started or waited for, or had to be
// stopped, throws RunError with the failure text.
void startAlert(const Service& svc, std::uint64_t occurrenceId, const ProcessingContext& context);
