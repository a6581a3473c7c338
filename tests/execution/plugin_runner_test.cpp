#include "execution/alerting_runner.h"
#include "execution/plugin_runner.h"
#include "execution/run_cancel.h"

#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <future>
#include <thread>

namespace {

using Ending = RunResult::Ending;

std::string script(const TempDir& dir, const std::string& name, const std::string& body)
{
  return dir.write(name, "#!/bin/sh\n" + body + "\n", true);
}

RunResult run(const std::string& path, std::vector<std::string> arguments = {}, int timeoutSeconds = 0, std::string input = "m\n")
{
  return runPlugin({ path, std::move(arguments), std::move(input), timeoutSeconds });
}

// True when every child of this process has been reaped, zombies included.
bool noChildLeft()
{
  int status = 0;
  return ::waitpid(-1, &status, WNOHANG) == -1 && errno == ECHILD;
}

std::atomic<int> sigtermsHandled { 0 };

TEST(PluginRunner, PluginsSeeOnlyTheStandardDescriptorsWhileManyThreadsSpawn)
{
  // Opened without close-on-exec, as a library of the daemon might.
  int inherited = ::open("/dev/null", O_RDONLY);
  std::vector<std::future<int>> runs;
  for (int t = 0; t < 6; ++t)
    runs.push_back(std::async(std::launch::async, [] {
      // ls holds one descriptor of its own, 3, for the directory it lists.
      int wrong = 0;
      for (int i = 0; i < 30; ++i)
        wrong += run("/bin/ls", { "/proc/self/fd" }).output != "0\n1\n2\n3\n";
      return wrong;
    }));
  for (std::future<int>& wrong : runs)
    EXPECT_EQ(wrong.get(), 0);
  EXPECT_TRUE(noChildLeft());
  ::close(inherited);
}

TEST(PluginRunner, PluginsStartWithDefaultSignalsAnEmptyMaskAndNoEnvironmentOrSayWhyNot)
{
  TempDir dir;
  // The daemon's side: a SIGTERM handler, SIGPIPE ignored, signals blocked.
  struct sigaction handler = {}, previousTerm = {};
  handler.sa_handler = [](int) { ++sigtermsHandled; };
  sigaction(SIGTERM, &handler, &previousTerm);
  ASSERT_TRUE(ignoreSigpipe());
  sigset_t blocked, previousMask;
  sigfillset(&blocked);
  pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
  RunResult masks = run("/usr/bin/grep", { "-E", "^Sig(Blk|Ign)", "/proc/self/status" });
  RunResult selfKilled = run(script(dir, "term", "kill -TERM $$; echo survived"));
  RunResult environment = run("/usr/bin/env");
  RunResult missing = run(dir.path() + "/missing");
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  std::signal(SIGPIPE, SIG_DFL);
  sigaction(SIGTERM, &previousTerm, nullptr);
  EXPECT_EQ(masks.output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  EXPECT_EQ(selfKilled.ending, Ending::signaled);
  EXPECT_EQ(selfKilled.exitStatus, SIGTERM);
  EXPECT_EQ(sigtermsHandled, 0);
  EXPECT_EQ(environment.output, "");
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_EQ(missing.output, "DAEMON: plugin is not executable " + std::string(std::strerror(ENOENT)) + "\n");
}

TEST(PluginRunner, NoDeadlockWhateverThePluginDoesWithItsPipes)
{
  TempDir dir;
  const std::string megabyte(1 << 20, 'm');
  const std::pair<std::string, std::string> cases[] = {
    // Never reads, holds its input open a while, then exits with it unread.
    { script(dir, "deaf", "echo deaf; /usr/bin/sleep 0.3; echo still"), "deaf\nstill\n" },
    // Writes back as it reads: feeding everything before reading would wedge.
    { "/bin/cat", megabyte },
  };
  // As if start-up had not ignored SIGPIPE: the runner shields its own writes.
  std::signal(SIGPIPE, SIG_DFL);
  for (const auto& [path, output] : cases) {
    RunResult result = run(path, {}, 0, megabyte);
    EXPECT_EQ(result.ending, Ending::exited) << path;
    EXPECT_TRUE(result.output == output) << path << ": " << result.output.size() << " bytes";
  }
}

TEST(PluginRunner, PluginAndWhatItStartedAreStoppedAtTheTimeLimit)
{
  TempDir dir;
  const std::string pidFile = dir.path() + "/grandchild";
  const std::pair<std::string, std::string> cases[] = {
    { script(dir, "hangs", "/usr/bin/sleep 100 &\necho $! > " + pidFile + "\necho started\n/usr/bin/sleep 100"),
        "started\n" },
    // Its output is closed: only the wait for its end can see the limit.
    { script(dir, "lingers", "echo answer; exec >&-; /usr/bin/sleep 100"), "answer\n" },
  };
  for (const auto& [path, output] : cases) {
    auto start = std::chrono::steady_clock::now();
    RunResult result = run(path, {}, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4)) << path;
    EXPECT_EQ(result.ending, Ending::timedOut) << path;
    EXPECT_EQ(result.output, output);
    EXPECT_TRUE(noChildLeft());
  }
  // The grandchild is gone too (or a zombie left to init to reap).
  const std::string stat = "/proc/" + std::to_string(std::stoi(readFile(pidFile))) + "/stat";
  EXPECT_TRUE(waitFor(2, [&] { return readFile(stat).empty() || readFile(stat).find(") Z ") != std::string::npos; }));
}

// What a plugin cannot do any more: fill the daemon's memory, hold a worker
// with a background child, escape its time limit by leaving its group, or
// outlive a stop; the alerting program has a time limit too.
TEST(PluginRunner, OutputIsCappedAndEveryRunEnds)
{
  TempDir dir;
  RunResult big = run(script(dir, "big", "/usr/bin/head -c 3000000 /dev/zero | /usr/bin/tr '\\0' a; exit 1"));
  EXPECT_EQ(big.ending, Ending::exited);
  EXPECT_EQ(big.exitStatus, 1);
  EXPECT_EQ(big.output, std::string(outputLimit, 'a'));
  EXPECT_TRUE(big.outputCut);

  RunCancel cancel;
  struct Case {
    std::string body;
    int timeout;
    Ending ending;
    std::string output;
  } cases[] = {
    { "/usr/bin/sleep 600 2>/dev/null &\necho $! > " + dir.path() + "/holder\necho hi", 0, Ending::exited, "hi\n" },
    { "echo x; exec /usr/bin/perl -e 'setpgrp(0, getpgrp(getppid())) or die; sleep 600'", 1, Ending::timedOut, "x\n" },
    { "echo y; exec /usr/bin/sleep 600", 0, Ending::cancelled, "y\n" },
  };
  std::thread stop([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel.raise();
  });
  for (const Case& c : cases) {
    auto start = std::chrono::steady_clock::now();
    RunResult result = runPlugin({ script(dir, "case", c.body), {}, std::string("m\n"), c.timeout, &cancel });
    EXPECT_EQ(result.ending, c.ending) << c.body;
    EXPECT_EQ(result.output, c.output) << c.body;
    EXPECT_LT(std::chrono::steady_clock::now() - start, RunCancel::grace + std::chrono::seconds(3)) << c.body;
    EXPECT_TRUE(noChildLeft()) << c.body;
  }
  stop.join();
  ::kill(std::stoi(readFile(dir.path() + "/holder")), SIGKILL);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(runAlertingProgram("/usr/bin/sleep", { "600" }, 1).ending, Ending::timedOut);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

} // namespace
