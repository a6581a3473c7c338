#include "processing/state_policy.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <tuple>

namespace {

using Ending = RunResult::Ending;

RunResult ended(
    Ending ending, int status, std::string output, RunStep step = RunStep::none, int error = 0, bool cut = false)
{
  return { ending, status, std::move(output), cut, step, std::error_code(error, std::generic_category()), {} };
}

TEST(StatePolicy, JudgesEveryWayARunCanEnd)
{
  const std::string name = "disk", where = "\npath:/p/check -w 1";
  // Whether the service is named, whether the run failed, the state, and the output stored or the failure logged.
  const std::tuple<RunResult, bool, bool, int, std::string> cases[] = {
    { ended(Ending::exited, 0, "OK: fine\n"), false, false, 0, "OK: fine\n" },
    { ended(Ending::exited, 1, "''\n"), false, false, 1, "''\n" },
    { ended(Ending::exited, 5, "maintenance"), true, false, 5, "maintenance" },
    { ended(Ending::exited, 255, "cannot ping\n"), false, false, 3, "UNKNOWN: QuelmDaemon could not connect to host" },
    { ended(Ending::exited, 7, "odd\n"), false, false, 3, "Error execute: Bad return code" + where + " odd\n" },
    { ended(Ending::exited, 7, "odd\n"), true, false, 3, "Error execute: Bad return code\ndisk" + where + " odd\n" },
    { ended(Ending::exited, 9, "bad\xff\n"), false, false, 3, "Error execute: Bad return code" + where + " bad \n" },
    { ended(Ending::exited, 0, "caf\xc3\xa9 \x80x\xff\xfey\xc3z\n"), false, false, 0, "caf\xc3\xa9  x  y z\n" },
    // A NUL ends the output, whatever came after it and however it was read.
    { ended(Ending::exited, 1, std::string("ab\0cd\xff", 6), RunStep::none, 0, true), false, false, 1, "ab" },
    { ended(Ending::exited, 1, "kept", RunStep::none, 0, true), false, false, 1, std::string("kept") + outputCutMark },
    { ended(Ending::exited, 1, std::string("\0later", 6)), false, true, 3, noOutputText },
    { ended(Ending::exited, 2, "''"), false, true, 3, noOutputText },
    { ended(Ending::exited, 255, ""), false, true, 3, noOutputText },
    { ended(Ending::cancelled, 0, "x"), false, true, 3, "Error plugin stopped: the Receiver is stopping" + where },
    { ended(Ending::signaled, 9, "partial\n"), false, true, 3, "Error: quelm can't execute" + where + "partial\n" },
    { ended(Ending::timedOut, 0, "late"), false, true, 3, "Error plugin timeout (7 s)" + where },
    { ended(Ending::failed, 0, "", RunStep::openPipe, EMFILE), false, true, 3,
        "Error open pipe" + where + std::strerror(EMFILE) },
    { ended(Ending::failed, 0, "", RunStep::createFork, EAGAIN), true, true, 3,
        "Error create fork disk" + where + std::strerror(EAGAIN) },
  };
  for (const auto& [run, polled, failed, state, text] : cases) {
    SCOPED_TRACE(std::to_string(run.exitStatus) + " " + run.output + " -> " + text);
    Verdict verdict = judgeRun(run, { "/p/check", "-w 1", 7, polled ? &name : nullptr });
    EXPECT_EQ(verdict.failed, failed);
    EXPECT_EQ(stateNumber(verdict.state), state);
    EXPECT_EQ(verdict.failed ? verdict.failure : verdict.output, text);
  }
}

} // namespace
