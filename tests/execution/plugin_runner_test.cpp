#include "execution/alerting_runner.h"
#include "execution/persistent_plugin.h"
#include "execution/plugin_runner.h"
#include "execution/run_cancel.h"

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstring>
#include <ctime>
#include <future>
#include <thread>
#include <tuple>

namespace {

using Ending = RunResult::Ending;
using Clock = std::chrono::steady_clock;

std::string script(const TempDir& dir, const std::string& name, const std::string& body)
{
  return dir.write(name, "#!/bin/sh\n" + body + "\n", true);
}

RunResult run(const std::string& path, std::vector<std::string> arguments = {})
{
  return runPlugin({ path, std::move(arguments), std::string("m\n"), 0 });
}

// True when every child of this process has been reaped, zombies included.
bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

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
      // The spawning thread gets its own signal mask back.
      sigset_t mask;
      pthread_sigmask(SIG_SETMASK, nullptr, &mask);
      return wrong + sigismember(&mask, SIGTERM);
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
  // The signal state, and any variable of the environment.
  RunResult state = run("/usr/bin/grep", { "-aE", "^Sig(Blk|Ign)|=", "/proc/self/status", "/proc/self/environ" });
  RunResult selfKilled = run(script(dir, "term", "kill -TERM $$; echo survived"));
  RunResult missing = run(dir.path() + "/missing");
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  std::signal(SIGPIPE, SIG_DFL);
  sigaction(SIGTERM, &previousTerm, nullptr);
  EXPECT_EQ(state.output, "/proc/self/status:SigBlk:\t0000000000000000\n/proc/self/status:SigIgn:\t0000000000000000\n");
  EXPECT_EQ(selfKilled.ending, Ending::signaled);
  EXPECT_EQ(selfKilled.exitStatus, SIGTERM);
  EXPECT_EQ(sigtermsHandled, 0);
  EXPECT_EQ(missing.exitStatus, 2);
  EXPECT_EQ(missing.output, "DAEMON: plugin is not executable " + std::string(std::strerror(ENOENT)) + "\n");
}

// Fed a megabyte, stopped during the first run: no deadlock, no run held by a background child or outliving its limit,
// the output capped at 1 MiB.
TEST(PluginRunner, EveryRunEndsInTimeWithItsOutputWhateverThePluginDoes)
{
  TempDir dir;
  const std::string megabyte(outputLimit, 'm'), bg = "/usr/bin/sleep 600 2>/dev/null &\necho $! > $0.pid\n";
  // The plugin's script, its time limit, exit status, ending, whether its output was cut, and the output.
  const std::tuple<std::string, int, int, Ending, bool, std::string> cases[] = {
    { "echo y; exec /usr/bin/sleep 600", 0, 0, Ending::cancelled, false, "y\n" },
    { "echo deaf; /usr/bin/sleep 0.3; echo still", 0, 0, Ending::exited, false, "deaf\nstill\n" },
    // Writes back as it reads: feeding everything before reading would wedge.
    { "exec /bin/cat", 0, 0, Ending::exited, false, megabyte },
    { bg + "/usr/bin/head -c 3000000 /dev/zero | /usr/bin/tr '\\0' a; exit 1", 0, 1, Ending::exited, true,
        std::string(outputLimit, 'a') },
    { bg + "echo started\n/usr/bin/sleep 100", 1, 0, Ending::timedOut, false, "started\n" },
    // Its pipes are closed: only the wait for its end can see the limit.
    { "echo answer; exec >&- <&-; /usr/bin/sleep 100", 1, 0, Ending::timedOut, false, "answer\n" },
    { "echo x; exec /usr/bin/perl -e 'setpgrp(0, getpgrp(getppid())) or die; sleep 600'", 1, 0, Ending::timedOut, false,
        "x\n" },
  };
  // As if start-up had not ignored SIGPIPE: the runner shields its own writes.
  std::signal(SIGPIPE, SIG_DFL);
  RunCancel cancel;
  std::thread stop([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    cancel.raise();
  });
  int number = 0;
  for (const auto& [body, timeout, status, ending, cut, output] : cases) {
    SCOPED_TRACE(body);
    auto start = Clock::now();
    const std::clock_t cpu = std::clock();
    RunResult result = runPlugin({ script(dir, std::to_string(number++), body), {}, megabyte, timeout,
        ending == Ending::cancelled ? &cancel : nullptr });
    const auto grace = ending == Ending::cancelled ? RunCancel::grace : outputGrace;
    EXPECT_LT(Clock::now() - start, grace + std::chrono::seconds(2));
    EXPECT_LT(std::clock() - cpu, CLOCKS_PER_SEC / 2) << "the wait for the output or the end spins";
    EXPECT_EQ(result.ending, ending);
    EXPECT_EQ(result.exitStatus, status);
    EXPECT_EQ(result.outputCut, cut);
    EXPECT_TRUE(result.output == output) << result.output.size() << " bytes";
    EXPECT_TRUE(noChildLeft());
  }
  stop.join();
  // One grace for the whole stop: a run that starts once it has passed is stopped at once.
  auto late = Clock::now();
  EXPECT_EQ(
      runPlugin({ script(dir, "late", "exec /usr/bin/sleep 600"), {}, "", 0, &cancel }).ending, Ending::cancelled);
  EXPECT_LT(Clock::now() - late, std::chrono::milliseconds(1500));
  // Neither a plugin that ended nor a stopped one leaves its background child (gone, or a zombie).
  for (const char* leader : { "/3.pid", "/4.pid" }) {
    const std::string stat = "/proc/" + std::to_string(std::stoi(readFile(dir.path() + leader))) + "/stat";
    EXPECT_TRUE(waitFor(2, [&] { return readFile(stat).empty() || readFile(stat).find(") Z ") != std::string::npos; }))
        << leader << " " << readFile(stat);
  }
  auto start = Clock::now();
  EXPECT_EQ(runAlertingProgram("/usr/bin/sleep", { "600" }, 1).ending, Ending::timedOut);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(4));
}

} // namespace

// A copy of the two-mode test plugin under the given name, so that its pid and hang notes are the test's own.
std::string dualPlugin(const TempDir& dir, const std::string& name)
{
  return dir.write(name, readFile(QUELM_DUAL_PLUGIN), true);
}

// Replies are judged as runs are; no more processes than the pool allows, and the stop leaves none: one that outlives
// the end of its input is asked to end (SIGTERM) before it is killed.
TEST(PersistentPlugin, RepliesAreRunsAndAFailedProcessIsReplacedByAFreshOne)
{
  TempDir dir;
  const std::string dual = dualPlugin(dir, "dual");
  const std::string bare = script(dir, "bare",
      R"(trap 'echo >"$0.term"; exit' TERM; read line; echo "{\"seq\":1,\"status\":4,\"output\":\"$#:$QUELM_PLUGIN_PROTOCOL:$HOME\"}"; read line; while :; do sleep 0.1; done)");
  // One that answers before it has read its request, and one whose reply line passes the limit in its last bytes.
  const std::string eager
      = script(dir, "eager", R"(head -c 10 >/dev/null; echo '{"seq":1,"status":0,"output":"x"}'; sleep 5)");
  const std::string lengthy = script(dir, "lengthy",
      R"sh(read line; printf '{"seq":1,"status":0,"output":"%s"}\n' "$(head -c 2097200 /dev/zero | tr '\0' x)"; read line)sh");
  auto pids = [&] { return countOf(readFile(dual + ".pids"), "\n"); };
  // Plugin, input, limit, ending, status, output or failure; bare sees no arguments, only the protocol's variable.
  const std::tuple<std::string, std::string, int, Ending, int, std::string> cases[] = {
    { bare, "m", 5, Ending::exited, 4, "0:1:" },
    { eager, std::string(1 << 20, 'm'), 5, Ending::failed, 0, " answered before its request was written whole" },
    { lengthy, "m", 5, Ending::failed, 0, " reply line longer than 2097152 bytes" },
    { dual, "fine \"quoted\" \xc3\xa9 \\ \x01", 0, Ending::exited, 0, "OK: fine \"quoted\" \xc3\xa9 \\ \x01\n" },
    { dual, "CRIT", 0, Ending::exited, 2, "CRITICAL: CRIT\n" },
    { dual, "GARBAGE", 0, Ending::failed, 0, " not a reply: garbage" },
    { dual, "SEQ", 0, Ending::failed, 0, " answered seq 2 to request 1" },
    { dual, "EXIT", 0, Ending::failed, 0, " ended without a reply (exit status 1)" },
    { dual, "HANG", 1, Ending::timedOut, 0, "" },
    { dual, "WARN", 0, Ending::exited, 1, "WARNING: WARN\n" },
  };
  {
    PersistentPlugins plugins({ dual, bare, eager, lengthy }, 2, nullptr);
    EXPECT_TRUE(plugins.serves(dual) && !plugins.serves(dir.path() + "/other"));
    for (const auto& [path, input, timeout, ending, status, text] : cases) {
      SCOPED_TRACE(input.substr(0, 20));
      const auto started = Clock::now();
      RunResult result = plugins.run({ path, { "-c", "x" }, input + "\n", timeout });
      EXPECT_EQ(result.ending, ending);
      EXPECT_EQ(ending == Ending::exited ? result.output : result.detail, text);
      EXPECT_EQ(result.exitStatus, status);
      EXPECT_LT(Clock::now() - started, std::chrono::seconds(timeout + 3));
    }
    EXPECT_EQ(pids(), 5u) << "a fresh process after each of the four failures";
    // Four threads share at most two processes.
    std::vector<std::future<void>> threads;
    for (int t = 0; t < 4; ++t)
      threads.push_back(std::async(std::launch::async, [&] {
        for (int n = 0; n < 25; ++n)
          EXPECT_EQ(plugins.run({ dual, {}, std::string("fine\n"), 5 }).output, "OK: fine\n");
      }));
    threads.clear();
    EXPECT_EQ(pids(), 6u);
    EXPECT_EQ(plugins.liveProcesses(), 3);
    plugins.stopAll();
    EXPECT_EQ(plugins.liveProcesses(), 0);
    EXPECT_EQ(readFile(bare + ".term"), "\n") << "bare outlived its input and was not asked to end";
  }
  EXPECT_TRUE(noChildLeft());
}
