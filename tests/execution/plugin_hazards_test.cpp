#include "execution/plugin_runner.h"

#include "tests/execution/run_support.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

SyslogService makeService(const std::string& path)
{
  SyslogService made;
  made.pluginPath = path;
  return made;
}

// Waits (bounded) until no child of this process is left, zombie or not.
std::vector<pid_t> childrenAfterSettling()
{
  std::vector<pid_t> children = childrenOfThisProcess();
  for (int i = 0; i < 100 && !children.empty(); ++i) {
    std::this_thread::sleep_for(20ms);
    children = childrenOfThisProcess();
  }
  return children;
}

const std::string megabyte(1 << 20, 'm');

TEST(PluginHazards, PluginExitingBeforeReadingDoesNotKillTheDaemon)
{
  TempDir dir;
  SyslogService target = makeService(writeScript(dir, "early", "echo early"));
  // First with the default SIGPIPE action, as if start-up forgot to ignore
  // it: the runner must shield its own writes.
  signal(SIGPIPE, SIG_DFL);
  for (int attempt = 0; attempt < 2; ++attempt) {
    int state = -1;
    within(20s, [&] { state = target.execute(megabyte); });
    EXPECT_EQ(state, 0);
    EXPECT_EQ(target.lastStdout, "early\n");
    ASSERT_TRUE(ignoreSigpipe());
  }
  signal(SIGPIPE, SIG_DFL);
  // The caller's signal mask is as it was, with no SIGPIPE left pending.
  sigset_t mask, pending;
  pthread_sigmask(SIG_SETMASK, nullptr, &mask);
  sigpending(&pending);
  EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

TEST(PluginHazards, PluginThatNeverReadsDoesNotBlockTheFeed)
{
  TempDir dir;
  // Keeps its input open, unread, for a while after answering.
  SyslogService target = makeService(writeScript(dir, "deaf", "echo deaf; /bin/sleep 0.3; echo still deaf"));
  auto start = Clock::now();
  int state = -1;
  within(20s, [&] { state = target.execute(megabyte); });
  EXPECT_EQ(state, 0);
  EXPECT_EQ(target.lastStdout, "deaf\nstill deaf\n");
  EXPECT_LT(Clock::now() - start, 10s);
}

TEST(PluginHazards, PluginEchoingAHugeInputIsFedAndDrainedTogether)
{
  TempDir dir;
  // Writes back as it reads: feeding first and reading after would wedge
  // both sides once the two pipes are full.
  SyslogService target = makeService("/bin/cat");
  int state = -1;
  within(30s, [&] { state = target.execute(megabyte); });
  EXPECT_EQ(state, 0);
  EXPECT_EQ(target.lastStdout.size(), megabyte.size() + 1);
  EXPECT_TRUE(target.lastStdout == megabyte + "\n");
}

TEST(PluginHazards, GrandchildHoldingTheOutputIsWaitedFor)
{
  TempDir dir;
  SyslogService target = makeService(writeScript(dir, "parent", "(/bin/sleep 0.5; echo late) &\necho now"));
  auto start = Clock::now();
  int state = -1;
  within(20s, [&] { state = target.execute("m"); });
  EXPECT_EQ(state, 0);
  EXPECT_EQ(target.lastStdout, "now\nlate\n");
  EXPECT_GE(Clock::now() - start, 400ms);
  EXPECT_TRUE(childrenAfterSettling().empty());
}

TEST(PluginHazards, StoppedPluginIsReportedAndStillReaped)
{
  TempDir dir;
  std::string plugin = writeScript(dir, "stops", "echo before; exec >&-; kill -STOP $$");
  SyslogService target = makeService(plugin);
  std::string message;
  LogCapture capture;
  within(20s, [&] {
    try {
      target.execute("m");
    } catch (const RunError& failure) {
      message = failure.what();
    }
  });
  EXPECT_EQ(message, "Error: quelm can't execute\npath:" + plugin + " before\n");
  EXPECT_EQ(target.lastStdout, "Error: quelm can't execute " + plugin);
  EXPECT_EQ(capture.text(), "LOCK\nException service unlock\n");
  EXPECT_TRUE(childrenAfterSettling().empty());
}

TEST(PluginHazards, ManyThreadsNoZombiesNoLeakedDescriptors)
{
  TempDir dir;
  std::string lister = linkProbe(dir, "list_fds");
  std::string killed = writeScript(dir, "killed", "echo x; kill -9 $$");
  std::string missing = dir.path() + "/missing";
  // Descriptors another subsystem might hold without close-on-exec.
  int plainFile = ::open("/dev/null", O_RDONLY);
  int plainSocket = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(plainFile, 3);
  ASSERT_GE(plainSocket, 3);
  std::set<int> before = openDescriptors();

  // One service shared by every thread, as workers share a busy host's.
  SyslogService shared = makeService(lister);
  const int threads = 6;
  const int runsPerThread = 50;
  std::atomic<int> leaks { 0 }, successes { 0 }, failures { 0 };
  std::string leakExample;
  std::mutex exampleLock;
  LogCapture capture;
  within(120s, [&] {
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
      workers.emplace_back([&, t] {
        SyslogService own = makeService(t % 2 ? killed : missing);
        for (int i = 0; i < runsPerThread; ++i) {
          try {
            if (i % 5 == 4) {
              own.execute("other");
              continue;
            }
            shared.execute("{\"n\":" + std::to_string(i) + "}");
            // Runs of the shared service store lastStdout under its lock.
            std::string seen;
            {
              std::lock_guard<std::mutex> guard(shared.returnCodeLock);
              seen = shared.lastStdout;
            }
            ++successes;
            if (seen != "0 1 2\n") {
              ++leaks;
              std::lock_guard<std::mutex> guard(exampleLock);
              leakExample = seen;
            }
          } catch (const RunError&) {
            ++failures;
          }
        }
      });
    }
    for (std::thread& worker : workers)
      worker.join();
  });
  EXPECT_EQ(leaks, 0) << leakExample;
  EXPECT_EQ(successes, threads * runsPerThread * 4 / 5);
  EXPECT_EQ(failures, threads / 2 * runsPerThread / 5);
  EXPECT_EQ(shared.getReturnCode(), 0);
  EXPECT_TRUE(childrenAfterSettling().empty());
  EXPECT_EQ(openDescriptors(), before);
  std::string raw = capture.text();
  auto count = [&raw](const std::string& line) {
    std::size_t found = 0;
    for (const std::string& each : linesOf(raw))
      found += each == line;
    return found;
  };
  EXPECT_EQ(count("LOCK"), static_cast<std::size_t>(threads * runsPerThread));
  EXPECT_EQ(count("UNLOCK") + count("Exception service unlock"), count("LOCK"));
  EXPECT_EQ(count("Exception service unlock"), static_cast<std::size_t>(failures.load()));
  ::close(plainFile);
  ::close(plainSocket);
}

TEST(PluginTimeout, HungPluginAndItsGroupAreStopped)
{
  TempDir dir;
  std::string pidFile = dir.path() + "/grandchild";
  std::string plugin = writeScript(dir, "hangs",
      "/bin/sleep 100 &\necho $! > " + pidFile + "\necho started\n/bin/sleep 100");
  SyslogService target = makeService(plugin);
  target.setParameter("-t 1");
  setPluginTimeout(1);
  std::string message;
  LogCapture capture;
  auto start = Clock::now();
  within(20s, [&] {
    try {
      target.execute("m");
    } catch (const RunError& failure) {
      message = failure.what();
    }
  });
  setPluginTimeout(0);
  EXPECT_EQ(message, "Error plugin timeout (1 s)\npath:" + plugin + " -t 1");
  EXPECT_LT(Clock::now() - start, 5s);
  // Stopped before the locked phase: no lock lines, no state change.
  EXPECT_EQ(capture.text(), "");
  EXPECT_TRUE(childrenAfterSettling().empty());
  pid_t grandchild = std::stoi(readFile(pidFile));
  for (int i = 0; i < 100 && processState(grandchild) != 0 && processState(grandchild) != 'Z'; ++i)
    std::this_thread::sleep_for(20ms);
  char state = processState(grandchild);
  EXPECT_TRUE(state == 0 || state == 'Z') << "grandchild still " << state;
}

TEST(PluginTimeout, PluginThatClosedItsOutputButHangsIsStopped)
{
  TempDir dir;
  std::string plugin = writeScript(dir, "lingers", "echo answer; exec >&-; /bin/sleep 100");
  SyslogService target = makeService(plugin);
  setPluginTimeout(1);
  std::string message;
  LogCapture capture;
  within(20s, [&] {
    try {
      target.execute("m");
    } catch (const RunError& failure) {
      message = failure.what();
    }
  });
  setPluginTimeout(0);
  EXPECT_EQ(message, "Error plugin timeout (1 s)\npath:" + plugin + " ");
  EXPECT_EQ(capture.text(), "LOCK\nException service unlock\n");
  EXPECT_EQ(target.lastStdout, "answer\n");
  EXPECT_TRUE(childrenAfterSettling().empty());
  // A plugin that writes without pause is stopped at the limit too.
  SyslogService flood = makeService("/usr/bin/yes");
  setPluginTimeout(1);
  std::string floodMessage;
  within(20s, [&] {
    try {
      flood.execute("m");
    } catch (const RunError& failure) {
      floodMessage = failure.what();
    }
  });
  setPluginTimeout(0);
  EXPECT_EQ(floodMessage, "Error plugin timeout (1 s)\npath:/usr/bin/yes ");
  EXPECT_TRUE(childrenAfterSettling().empty());
  // With the limit off again, a normal run is unaffected.
  SyslogService quick = makeService(writeScript(dir, "quick", "echo ok"));
  within(20s, [&] { EXPECT_EQ(quick.execute("m"), 0); });
}

} // namespace
