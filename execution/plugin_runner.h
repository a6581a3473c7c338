#pragma once

// Runs the programs of a service: serviceSyslog::execute (a plugin fed with
// a notification), service::execute (a plugin polled without input) and
// service::executeAlertingSoftware. The three are declared with the record
// in services/service.h and defined by this library.

#include "execution/service_exception.h"
#include "services/service.h"

// Start-up calls this once, before the first worker runs: writing to a
// plugin that has already exited then fails with EPIPE instead of ending the
// daemon. (The runner also shields its own writes, so a missed call is not
// fatal.) Returns false when the action cannot be changed.
bool ignoreSigpipe();

// Longest run of one plugin, in seconds; 0 (the default) means no limit.
// A plugin still running at the limit is sent SIGTERM with its whole process
// group, then SIGKILL after a short grace, and the run fails.
void setPluginTimeout(int seconds);
int pluginTimeout();
