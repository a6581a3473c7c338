#pragma once

#include <functional>
#include <thread>

// SIGTERM and SIGHUP handling. The signal handler itself only writes one
// byte to a pipe (async-signal-safe); a dedicated thread reads it and acts:
// for SIGTERM the "stop Receiver... SIGTERM" log line, then the stop
// action; for SIGHUP the hang-up action (the log file is reopened). So no
// lock is ever taken inside the handler, whichever thread the signal hits.

// The signal thread: runs onStop after its log line for every SIGTERM and
// onHangup for every SIGHUP, until its owner goes. Its owner must outlive
// whatever the two actions use: the thread is ended and joined first thing
// when the owner goes, so no action runs on what is destroyed after. A
// signal that comes later only writes to the pipe.
class SignalThread {
public:
  SignalThread() = default;
  ~SignalThread() { stop(); }
  SignalThread(const SignalThread&) = delete;
  SignalThread& operator=(const SignalThread&) = delete;

  // Creates the wake-up pipe and the thread; call once. False when the pipe
  // or the thread cannot be made.
  bool start(std::function<void()> onStop, std::function<void()> onHangup);
  // Ends the thread (after the action in progress, if any) and joins it.
  void stop();

private:
  std::thread thread_;
};

// sigaction(SIGTERM), and sigaction(SIGHUP), with an empty mask and no
// flags; false on failure.
bool installSigtermHandler();
bool installSighupHandler();
