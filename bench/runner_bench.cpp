// quelm-bench-runner: plugin runs per second through the plugin runner
// next to the raw limit of the same program started with vfork+execve, fed
// and reaped by a minimal loop, at 1 and 4 threads; then both again while
// the process holds a large resident heap. Prints figures; it is not a test.

#include "execution/plugin_runner.h"
#include "processing/state_policy.h"

#include "bench/process_sampler.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const usageText = R"(Usage: quelm-bench-runner [options]

Plugin runs per second through the plugin runner and the state policy, as a
worker runs them and, in the same run, the limit: the same plugin started
with vfork+execve, fed and reaped by a minimal loop. At 1 and 4 threads,
first as is, then while the process holds a resident heap of --heap-mb.

  --plugin PATH   plugin binary (default: quelm-bench-plugin)
  --seconds S     duration of each measurement (default 3)
  --rounds N      measurements of each kind, alternating (default 2)
  --heap-mb N     resident heap of the second pass; 0 skips it (default 500)
  --only KIND     measure only "runner" or only "limit" (for profiling)
)";

struct Options {
  std::string plugin = QUELM_BENCH_PLUGIN_PATH;
  double seconds = 3;
  int rounds = 2;
  long heapMb = 500;
  std::string only;
};

[[noreturn]] void usage(int status)
{
  std::fputs(usageText, status == 0 ? stdout : stderr);
  std::exit(status);
}

Options parseOptions(int argc, char** argv)
{
  Options options;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h")
      usage(0);
    if (i + 1 >= argc)
      usage(2);
    std::string value = argv[++i];
    try {
      if (arg == "--plugin")
        options.plugin = value;
      else if (arg == "--seconds")
        options.seconds = std::stod(value);
      else if (arg == "--rounds")
        options.rounds = std::stoi(value);
      else if (arg == "--heap-mb")
        options.heapMb = std::stol(value);
      else if (arg == "--only" && (value == "runner" || value == "limit"))
        options.only = value;
      else
        usage(2);
    } catch (const std::exception&) {
      usage(2);
    }
  }
  if (options.seconds <= 0 || options.seconds > 60 || options.rounds < 1 || options.rounds > 10 || options.heapMb < 0
      || options.heapMb > 8192)
    usage(2);
  return options;
}

// The notification every run gets: a 200-byte JSON payload.
std::string benchMessage()
{
  std::string message = R"({"fromhost":"bench-host-1","message":"<13>Jan  1 00:00:00 bench-host-1 app: )";
  while (message.size() < 198)
    message.push_back('x');
  message += "\"}";
  return message;
}

double cpuSeconds(int who)
{
  struct rusage usage = {};
  ::getrusage(who, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
      + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

struct Measure {
  double rate = 0;
  long runs = 0;
  long failures = 0;
  double parentUsPerRun = 0; // this process's CPU per run
  double childUsPerRun = 0; // the plugins' CPU per run
};

// Runs body(stop) on `threads` threads for about `seconds`; body returns the
// runs it completed (and counts its failures).
template <typename Body> Measure measure(int threads, double seconds, Body body)
{
  std::atomic<bool> stop { false };
  std::atomic<long> runs { 0 };
  std::atomic<long> failures { 0 };
  double parentBefore = cpuSeconds(RUSAGE_SELF);
  double childBefore = cpuSeconds(RUSAGE_CHILDREN);
  auto start = Clock::now();
  std::vector<std::thread> workers;
  for (int i = 0; i < threads; ++i)
    workers.emplace_back([&] {
      long failed = 0;
      runs += body(stop, failed);
      failures += failed;
    });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& worker : workers)
    worker.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  Measure result;
  result.runs = runs;
  result.failures = failures;
  result.rate = static_cast<double>(result.runs) / elapsed;
  if (result.runs > 0) {
    result.parentUsPerRun = (cpuSeconds(RUSAGE_SELF) - parentBefore) * 1e6 / static_cast<double>(result.runs);
    result.childUsPerRun = (cpuSeconds(RUSAGE_CHILDREN) - childBefore) * 1e6 / static_cast<double>(result.runs);
  }
  return result;
}

// The limit: one spawn-feed-reap with nothing but the system calls it needs.
// Returns false when any step failed or the plugin did not exit with 0.
bool rawRun(const char* path, const std::string& input)
{
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0)
    return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  static char* const emptyEnvironment[] = { nullptr };
  char* const argv[] = { const_cast<char*>(path), nullptr };
  const int childIn = in[0];
  const int childOut = out[1];
  pid_t pid = ::vfork();
  if (pid == 0) {
    // dup2 clears close-on-exec on the copies, so only 0 and 1 survive exec.
    if (::dup2(childIn, 0) < 0 || ::dup2(childOut, 1) < 0)
      ::_exit(126);
    ::execve(path, argv, emptyEnvironment);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  bool ok = pid > 0;
  if (ok) {
    std::size_t sent = 0;
    while (sent < input.size()) {
      ssize_t wrote = ::write(in[1], input.data() + sent, input.size() - sent);
      if (wrote <= 0)
        break;
      sent += static_cast<std::size_t>(wrote);
    }
  }
  ::close(in[1]);
  char buffer[4096];
  std::size_t total = 0;
  for (;;) {
    ssize_t got = ::read(out[0], buffer, sizeof(buffer));
    if (got > 0) {
      total += static_cast<std::size_t>(got);
      continue;
    }
    if (got < 0 && errno == EINTR)
      continue;
    break;
  }
  ::close(out[0]);
  if (!ok)
    return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
  return total > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

Measure measureLimit(const Options& options, int threads, const std::string& message)
{
  // The runner writes the message and a newline; so does the limit.
  std::string input = message + "\n";
  return measure(threads, options.seconds, [&](std::atomic<bool>& stop, long& failed) {
    long done = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      if (rawRun(options.plugin.c_str(), input))
        ++done;
      else
        ++failed;
    }
    return done;
  });
}

Measure measureRunner(const Options& options, int threads, const std::string& message)
{
  return measure(threads, options.seconds, [&](std::atomic<bool>& stop, long& failed) {
    PluginRun run { options.plugin, {}, message + "\n", 0 };
    RunTexts texts { options.plugin, "", 0, nullptr };
    long done = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      Verdict verdict = judgeRun(runPlugin(run), texts);
      if (!verdict.failed && verdict.state == ServiceState::ok)
        ++done;
      else
        ++failed;
    }
    return done;
  });
}

struct PassResult {
  Measure limit[2];
  Measure runner[2];
};

const int threadCounts[2] = { 1, 4 };

void printMeasure(const char* what, int threads, int round, const Measure& m)
{
  std::printf("  %-7s %d thread%s round %d: %8.0f runs/s  (%ld runs, %ld failed; CPU per run: %.0f us here, %.0f us "
              "plugin)\n",
      what, threads, threads == 1 ? " " : "s", round + 1, m.rate, m.runs, m.failures, m.parentUsPerRun,
      m.childUsPerRun);
  std::fflush(stdout);
}

// Alternates limit and runner measurements; keeps the best of each.
PassResult runPass(const Options& options, const std::string& message)
{
  PassResult result;
  for (int t = 0; t < 2; ++t) {
    int threads = threadCounts[t];
    for (int round = 0; round < options.rounds; ++round) {
      Measure limit;
      if (options.only != "runner") {
        limit = measureLimit(options, threads, message);
        printMeasure("limit", threads, round, limit);
      }
      Measure runner;
      if (options.only != "limit") {
        runner = measureRunner(options, threads, message);
        printMeasure("runner", threads, round, runner);
      }
      if (limit.rate > result.limit[t].rate)
        result.limit[t] = limit;
      if (runner.rate > result.runner[t].rate)
        result.runner[t] = runner;
    }
  }
  return result;
}

void printSummary(const char* title, const PassResult& pass)
{
  std::printf("%s\n", title);
  std::printf("  %-8s %12s %12s %8s\n", "threads", "runner /s", "limit /s", "ratio");
  for (int t = 0; t < 2; ++t) {
    double ratio = pass.limit[t].rate > 0 ? pass.runner[t].rate / pass.limit[t].rate : 0;
    std::printf("  %-8d %12.0f %12.0f %7.1f%%  %s\n", threadCounts[t], pass.runner[t].rate, pass.limit[t].rate,
        ratio * 100, ratio >= 0.9 ? "(goal >= 90%: met)" : "(goal >= 90%: MISSED)");
  }
  std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
  Options options = parseOptions(argc, argv);
  if (::access(options.plugin.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "quelm-bench-runner: plugin %s is not executable\n", options.plugin.c_str());
    return 1;
  }
  // The runner writes "LOCK"/"UNLOCK" per run to std::cout: silenced here so
  // that terminal output does not weigh on the figures. The figures go
  // through stdio.
  std::cout.rdbuf(nullptr);

  std::string message = benchMessage();
  std::printf("quelm-bench-runner: plugin %s, %zu-byte message, %.1f s per measurement, %d round(s), best kept\n",
      options.plugin.c_str(), message.size(), options.seconds, options.rounds);
  std::printf("load average at start: %s\n", firstLineOf("/proc/loadavg").c_str());
  std::printf("resident memory: %ld kB\n", residentKb());
  std::fflush(stdout);

  PassResult plain = runPass(options, message);
  printSummary("Without heap:", plain);

  if (options.heapMb > 0) {
    std::size_t bytes = static_cast<std::size_t>(options.heapMb) << 20;
    std::unique_ptr<char[]> heap(new char[bytes]);
    // Every page written, so that all of it is resident and mapped.
    for (std::size_t at = 0; at < bytes; at += 4096)
      heap[at] = static_cast<char>((at >> 12) | 1);
    std::printf("holding a %ld MB heap: resident memory %ld kB; load average: %s\n", options.heapMb, residentKb(),
        firstLineOf("/proc/loadavg").c_str());
    std::fflush(stdout);
    PassResult held = runPass(options, message);
    printSummary("With the heap:", held);
    std::printf("Rate with the heap relative to without (same kind and threads):\n");
    for (int t = 0; t < 2; ++t) {
      double runnerChange = plain.runner[t].rate > 0 ? held.runner[t].rate / plain.runner[t].rate : 0;
      double limitChange = plain.limit[t].rate > 0 ? held.limit[t].rate / plain.limit[t].rate : 0;
      std::printf("  %d thread%s: runner %.0f%%, limit %.0f%%%s\n", threadCounts[t], t == 0 ? " " : "s",
          runnerChange * 100, limitChange * 100, runnerChange < 0.85 ? "  (runner rate DROPS with the heap)" : "");
    }
    // Read back so that the heap cannot be optimised away.
    long sum = 0;
    for (std::size_t at = 0; at < bytes; at += 1 << 20)
      sum += heap[at];
    std::printf("(heap checksum %ld)\n", sum);
  }
  std::printf("load average at end: %s\n", firstLineOf("/proc/loadavg").c_str());
  return 0;
}
