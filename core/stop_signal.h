#pragma once

#include <functional>

// SIGTERM handling. The signal handler itself only writes one byte to a
// pipe (async-signal-safe); a dedicated thread reads it and performs the
// stop: the "stop Receiver... SIGTERM" log line, then the stop action. So no
// lock is ever taken inside the handler, whichever thread the signal hits.

// The SIGTERM handler: records the signal for the stop thread.
void HandlerQuit(int signal);

// Creates the wake-up pipe and the stop thread. Call once, before
// installSigtermHandler. Returns false when the pipe or thread cannot be made.
bool startStopThread();

// sigaction(SIGTERM) with an empty mask and no flags; false on failure.
bool installSigtermHandler();

// What the stop thread does after its log line. Until an action is set it
// only sets die_quelm; once the notification queue exists, start-up sets an
// action that raises the flag and wakes every consumer under the queue's
// mutex, so that no waiting worker can miss the wake-up.
void setStopAction(std::function<void()> action);
