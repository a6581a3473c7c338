#pragma once

#include <functional>

// SIGTERM handling. The signal handler itself only writes one byte to a
// pipe (async-signal-safe); a dedicated thread reads it and performs the
// stop: the "stop Receiver... SIGTERM" log line, then the stop action. So no
// lock is ever taken inside the handler, whichever thread the signal hits.

// Creates the wake-up pipe and the stop thread, which runs onStop after its
// log line for every SIGTERM. Call once. Returns false when the pipe or the
// thread cannot be made.
bool startStopThread(std::function<void()> onStop);

// sigaction(SIGTERM) with an empty mask and no flags; false on failure.
bool installSigtermHandler();
