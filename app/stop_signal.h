#pragma once

#include <functional>

// SIGTERM and SIGHUP handling. The signal handler itself only writes one
// byte to a pipe (async-signal-safe); a dedicated thread reads it and acts:
// for SIGTERM the "stop Receiver... SIGTERM" log line, then the stop
// action; for SIGHUP the hang-up action (the log file is reopened). So no
// lock is ever taken inside the handler, whichever thread the signal hits.

// Creates the wake-up pipe and the signal thread, which runs onStop after
// its log line for every SIGTERM and onHangup for every SIGHUP. Call once.
// Returns false when the pipe or the thread cannot be made.
bool startStopThread(std::function<void()> onStop, std::function<void()> onHangup);

// sigaction(SIGTERM), and sigaction(SIGHUP), with an empty mask and no
// flags; false on failure.
bool installSigtermHandler();
bool installSighupHandler();
