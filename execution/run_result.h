#pragma once

#include <string>
#include <system_error>

// The step of a run that failed.
enum class RunStep {
  none,
  openPipe,
  createFork,
  readOutput,
  // Waiting for the program.
  execute,
  // A persistent plugin's reply was missing or not one.
  reply,
};

// The step in the words of the daemon's failure texts: "Error open pipe",
// "Error create fork", "Error read buffer:" or "Error execute"; empty for
// none.
inline const char* runStepText(RunStep step)
{
  switch (step) {
  case RunStep::openPipe:
    return "Error open pipe";
  case RunStep::createFork:
    return "Error create fork";
  case RunStep::readOutput:
    return "Error read buffer:";
  case RunStep::execute:
    return "Error execute";
  case RunStep::reply:
    return "Error plugin reply:";
  case RunStep::none:
    break;
  }
  return "";
}

// How one run of a program ended, as plain facts: what to make of them (the
// state, the stored text, whether to try again) is the caller's business.
struct RunResult {
  enum class Ending {
    // The program exited; exitStatus is its status.
    exited,
    // A signal ended or stopped it; exitStatus is the signal number.
    signaled,
    // It was still running at its time limit and was stopped.
    timedOut,
    // The daemon is stopping: the program was stopped after a grace.
    cancelled,
    // A step of the run failed: failedStep names it, error says why.
    failed,
  };

  Ending ending = Ending::failed;
  int exitStatus = 0;
  // What the program wrote on its standard output, at most the runner's
  // limit (the rest was read and thrown away: outputCut is then true).
  std::string output;
  bool outputCut = false;
  // For a failed run, the step that failed.
  RunStep failedStep = RunStep::none;
  std::error_code error;
  // Why a step failed, where no error code says it.
  std::string detail;

  // The program ran to its end and was waited for (or waiting failed).
  bool reachedEnd() const
  {
    return ending == Ending::exited || ending == Ending::signaled || failedStep == RunStep::execute;
  }
};
