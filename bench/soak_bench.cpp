// quelm-bench-soak: a long run of notifications over many connections for
// many hosts against a real quelm-receiver. Samples the daemon's open
// descriptors, threads, child processes and resident memory every few
// seconds, and checks at the end that every service's row was updated
// exactly as many times as notifications were sent for its host.

#include "bench/bench_database.h"
#include "bench/bench_options.h"
#include "bench/daemon_process.h"
#include "bench/process_sampler.h"
#include "bench/sender_pool.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const usageText = R"(Usage: quelm-bench-soak --env FILE [options]

Starts quelm-receiver against the throwaway cluster described by FILE (as
written by scripts/pg-cluster.sh, with bench/bench.sql loaded), sends COUNT
notifications spread over many hosts and connections, samples the daemon
from /proc and checks that no notification was lost.

  --env FILE           cluster settings (default: $QUELM_BENCH_ENV)
  --receiver PATH      daemon binary (default: the one built with this bench)
  --plugin PATH        plugin binary (default: quelm-bench-plugin)
  --count N            notifications to send (default 1000000)
  --hosts N            hosts, one service each (default 1000)
  --senders N          WebSocket connections at a time (default 32)
  --per-connection N   notifications before a connection is replaced by a
                       new one (default 1000)
  --window N           notifications in flight at most (default 2000)
  --interval S         seconds between samples (default 5)
  --workers N          daemon workers (default 8)
  --connections N      daemon database connections (default 8)
  --max-seconds S      stop sending after this long whatever the count
                       (default 7200)
)";

struct Options {
  std::string envFile;
  std::string receiver = QUELM_RECEIVER_PATH;
  std::string plugin = QUELM_BENCH_PLUGIN_PATH;
  long count = 1000000;
  int hosts = 1000;
  int senders = 32;
  long perConnection = 1000;
  long window = 2000;
  int interval = 5;
  int workers = 8;
  int connections = 8;
  int maxSeconds = 7200;
};

bool parseOptions(int argc, char** argv, Options& options)
{
  return parseNamedOptions(
      argc, argv, usageText, options.envFile, [&](const std::string& name, const std::string& value) {
        auto number = [&](long low, long high) { return static_cast<long>(boundedNumber(name, value, low, high)); };
        if (name == "--receiver")
          options.receiver = value;
        else if (name == "--plugin")
          options.plugin = value;
        else if (name == "--count")
          options.count = number(1, 100000000);
        else if (name == "--hosts")
          options.hosts = static_cast<int>(number(1, 100000));
        else if (name == "--senders")
          options.senders = static_cast<int>(number(1, 256));
        else if (name == "--per-connection")
          options.perConnection = number(1, 100000000);
        else if (name == "--window")
          options.window = number(1, 1000000);
        else if (name == "--interval")
          options.interval = static_cast<int>(number(1, 600));
        else if (name == "--workers")
          options.workers = static_cast<int>(number(1, 64));
        else if (name == "--connections")
          options.connections = static_cast<int>(number(1, 64));
        else if (name == "--max-seconds")
          options.maxSeconds = static_cast<int>(number(10, 86400));
        else
          return false;
        return true;
      });
}

// Follows the total of the trigger-fed update counters, reading it every
// 100 ms on its own connection.
class ProgressPoller {
public:
  explicit ProgressPoller(const ClusterSettings& cluster)
      : db_(cluster)
      , thread_([this] { run(); })
  {
  }
  ~ProgressPoller()
  {
    stop_ = true;
    thread_.join();
  }
  ProgressPoller(const ProgressPoller&) = delete;
  ProgressPoller& operator=(const ProgressPoller&) = delete;

  long done() const { return done_.load(); }
  // Waits until done() >= target or the deadline; returns done().
  long waitFor(long target, Clock::time_point deadline)
  {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_until(lock, deadline, [&] { return done_.load() >= target || failed_.load(); });
    return done_.load();
  }
  bool failed() const { return failed_.load(); }

private:
  void run()
  {
    while (!stop_) {
      try {
        long total = std::atol(db_.scalar("SELECT coalesce(sum(updates), 0) FROM bench_update_counts").c_str());
        {
          std::lock_guard<std::mutex> guard(lock_);
          done_ = total;
        }
        changed_.notify_all();
      } catch (const std::exception& error) {
        std::fprintf(stderr, "progress query failed: %s\n", error.what());
        failed_ = true;
        changed_.notify_all();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  BenchDatabase db_;
  std::atomic<long> done_ { 0 };
  std::atomic<bool> stop_ { false };
  std::atomic<bool> failed_ { false };
  std::mutex lock_;
  std::condition_variable changed_;
  std::thread thread_;
};

struct Sample {
  double seconds = 0;
  long sent = 0;
  long done = 0;
  ProcessSample process;
};

void printSampleHeader()
{
  std::printf("%8s %9s %9s %8s %6s %7s %8s %7s %9s\n", "time_s", "sent", "updated", "rate/s", "fds", "threads",
      "children", "zombies", "rss_kb");
}

void printSample(const Sample& sample, const Sample* previous)
{
  double rate = 0;
  if (previous != nullptr && sample.seconds > previous->seconds)
    rate = (sample.done - previous->done) / (sample.seconds - previous->seconds);
  std::printf("%8.1f %9ld %9ld %8.0f %6d %7d %8d %7d %9ld\n", sample.seconds, sample.sent, sample.done, rate,
      sample.process.openFds, sample.process.threads, sample.process.children, sample.process.zombies,
      sample.process.rssKb);
  std::fflush(stdout);
}

// Samples the daemon every interval on its own thread and prints each line.
class Sampler {
public:
  Sampler(pid_t pid, const ProgressPoller& progress, const std::atomic<long>& sent, int interval)
      : pid_(pid)
      , progress_(progress)
      , sent_(sent)
      , interval_(interval)
      , start_(Clock::now())
      , thread_([this] { run(); })
  {
  }
  ~Sampler() { finish(); }
  Sampler(const Sampler&) = delete;
  Sampler& operator=(const Sampler&) = delete;

  // Takes one more sample now and stops the thread.
  void finish()
  {
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (stopped_)
        return;
      stopped_ = true;
    }
    wake_.notify_all();
    thread_.join();
    takeSample();
  }

  std::vector<Sample> samples() const
  {
    std::lock_guard<std::mutex> guard(lock_);
    return samples_;
  }

private:
  void takeSample()
  {
    Sample sample;
    sample.seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    sample.sent = sent_.load();
    sample.done = progress_.done();
    sample.process = sampleProcess(pid_);
    std::lock_guard<std::mutex> guard(lock_);
    printSample(sample, samples_.empty() ? nullptr : &samples_.back());
    samples_.push_back(sample);
  }

  void run()
  {
    takeSample();
    for (;;) {
      {
        std::unique_lock<std::mutex> lock(lock_);
        if (wake_.wait_for(lock, std::chrono::seconds(interval_), [&] { return stopped_; }))
          return;
      }
      takeSample();
    }
  }

  pid_t pid_;
  const ProgressPoller& progress_;
  const std::atomic<long>& sent_;
  int interval_;
  Clock::time_point start_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stopped_ = false;
  std::vector<Sample> samples_;
  std::thread thread_;
};

struct Range {
  long low = 0, high = 0;
  double firstHalf = 0, secondHalf = 0;
};

// Spread of one sampled value over the warm samples, and the means of their
// first and second halves (a leak shows as a second half above the first).
template <typename Get> Range rangeOf(const std::vector<Sample>& warm, Get get)
{
  Range range;
  if (warm.empty())
    return range;
  range.low = range.high = get(warm.front());
  std::size_t half = warm.size() / 2;
  for (std::size_t i = 0; i < warm.size(); ++i) {
    long value = get(warm[i]);
    range.low = std::min(range.low, value);
    range.high = std::max(range.high, value);
    (i < half ? range.firstHalf : range.secondHalf) += value;
  }
  if (half > 0)
    range.firstHalf /= half;
  if (warm.size() > half)
    range.secondHalf /= (warm.size() - half);
  return range;
}

int run(const Options& options)
{
  ClusterSettings cluster = ClusterSettings::fromEnvFile(options.envFile);
  BenchDatabase db(cluster);
  std::printf("machine: %ld cores online, load average at start: %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
      readWholeFile("/proc/loadavg").substr(0, 14).c_str());
  std::printf("soak: %ld notifications, %d hosts, %d connections (each replaced after %ld), window %ld, "
              "%d workers, %d database connections\n",
      options.count, options.hosts, options.senders, options.perConnection, options.window, options.workers,
      options.connections);
  seedServices(db, options.plugin, "soak-h", options.hosts);
  setBenchTrigger(db, "bench_notify", false);
  setBenchTrigger(db, "bench_count", true);

  ScratchDir dir;
  DaemonOptions daemonOptions { options.receiver, options.workers, options.connections };
  DaemonProcess daemon(dir, cluster, daemonOptions);
  if (!daemon.waitReady(std::chrono::seconds(60)))
    throw std::runtime_error("the daemon did not start; its log:\n" + daemon.log());
  std::printf("daemon: pid %d on %s\n\n", static_cast<int>(daemon.pid()), daemon.uri().c_str());

  ProgressPoller progress(cluster);
  std::atomic<long> sent { 0 };
  SenderPool pool(daemon.uri(), options.senders);
  pool.open(std::chrono::seconds(10));

  printSampleHeader();
  const auto start = Clock::now();
  const auto sendDeadline = start + std::chrono::seconds(options.maxSeconds);
  const auto stallLimit = std::chrono::seconds(60);
  std::vector<long> perSlot(static_cast<std::size_t>(options.senders), 0);
  long sendFailures = 0;
  std::string stopReason;
  {
    Sampler sampler(daemon.pid(), progress, sent, options.interval);
    long lastDone = -1;
    auto lastProgress = Clock::now();
    for (long sequence = 0; sequence < options.count; ++sequence) {
      // Keep the queue bounded: wait while the window is full.
      while (sequence - progress.done() >= options.window) {
        long done = progress.waitFor(sequence - options.window + 1, Clock::now() + std::chrono::milliseconds(200));
        if (done != lastDone) {
          lastDone = done;
          lastProgress = Clock::now();
        }
        if (progress.failed())
          stopReason = "the progress query failed";
        else if (Clock::now() - lastProgress > stallLimit)
          stopReason = "no update for 60 s";
        else if (Clock::now() > sendDeadline)
          stopReason = "--max-seconds reached";
        if (!stopReason.empty())
          break;
      }
      if (!stopReason.empty())
        break;
      std::size_t slot = static_cast<std::size_t>(sequence % options.senders);
      std::string payload = "{\"fromhost\":\"" + benchHostName("soak-h", static_cast<int>(sequence % options.hosts))
          + "\",\"message\":\"n=" + std::to_string(sequence) + "\"}";
      if (!pool.send(slot, payload)) {
        // The connection went away: count it, replace it and send again once.
        ++sendFailures;
        pool.reconnect(slot, std::chrono::seconds(10));
        perSlot[slot] = 0;
        if (!pool.send(slot, payload))
          ++sendFailures;
      }
      ++sent;
      if (++perSlot[slot] >= options.perConnection) {
        pool.reconnect(slot, std::chrono::seconds(10));
        perSlot[slot] = 0;
      }
    }
    // Everything sent: wait for the last updates (or a stall).
    for (int round = 0; round < 100000 && stopReason.empty(); ++round) {
      long done = progress.waitFor(sent.load(), Clock::now() + std::chrono::seconds(1));
      if (done >= sent.load() || progress.failed())
        break;
      if (done != lastDone) {
        lastDone = done;
        lastProgress = Clock::now();
      } else if (Clock::now() - lastProgress > stallLimit) {
        stopReason = "no update for 60 s while waiting for the last ones";
      }
    }
    // One interval idle, so the last sample shows the daemon at rest.
    std::this_thread::sleep_for(std::chrono::seconds(options.interval));
    sampler.finish();

    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::vector<Sample> samples = sampler.samples();
    std::vector<Sample> warm;
    for (const Sample& sample : samples) {
      if (sample.done >= options.count / 10 && sample.done < sent.load())
        warm.push_back(sample);
    }
    std::printf("\nsoak ran %.0f s (%.1f min), %ld sent, %ld updated, %.0f notifications/s on average, %ld "
                "connection replacements%s%s\n",
        elapsed, elapsed / 60, sent.load(), progress.done(), progress.done() / elapsed, pool.reconnects(),
        stopReason.empty() ? "" : ", stopped early: ", stopReason.c_str());
    if (!warm.empty()) {
      auto show = [](const char* name, const Range& range) {
        std::printf("  %-9s min %9ld  max %9ld  mean of first half %11.1f  of second half %11.1f\n", name, range.low,
            range.high, range.firstHalf, range.secondHalf);
      };
      std::printf("warm samples (%zu, from 10%% of the count until the last update):\n", warm.size());
      show("fds", rangeOf(warm, [](const Sample& s) { return static_cast<long>(s.process.openFds); }));
      show("threads", rangeOf(warm, [](const Sample& s) { return static_cast<long>(s.process.threads); }));
      show("children", rangeOf(warm, [](const Sample& s) { return static_cast<long>(s.process.children); }));
      show("zombies", rangeOf(warm, [](const Sample& s) { return static_cast<long>(s.process.zombies); }));
      show("rss_kb", rangeOf(warm, [](const Sample& s) { return s.process.rssKb; }));
    }
    const Sample& last = samples.back();
    std::printf("at rest after the run: %d fds, %d threads, %d children, %d zombies, %ld kB resident\n",
        last.process.openFds, last.process.threads, last.process.children, last.process.zombies, last.process.rssKb);
  }

  int abnormal = pool.closeAll(std::chrono::seconds(10));

  // Every service must have been updated once per notification for its host.
  long lost = 0, extra = 0, wrongServices = 0;
  const long total = sent.load();
  for (const auto& row : db.rows("SELECT service_id, updates FROM bench_update_counts ORDER BY service_id")) {
    long index = std::atol(row[0].c_str()) - 1;
    long expected = total / options.hosts + (index < total % options.hosts ? 1 : 0);
    long got = std::atol(row[1].c_str());
    if (got != expected) {
      ++wrongServices;
      if (got < expected)
        lost += expected - got;
      else
        extra += got - expected;
    }
  }
  std::string log = daemon.log();
  long errLines = 0;
  for (std::size_t at = log.find("#ERR#"); at != std::string::npos && errLines < 1000000;
       at = log.find("#ERR#", at + 1))
    ++errLines;
  std::printf("checks: %ld sent, %ld lost, %ld extra updates, %ld services with a wrong count, %ld send "
              "failures, %d abnormal closes, %ld ERR lines in the daemon log\n",
      total, lost, extra, wrongServices, sendFailures, abnormal, errLines);

  int status = daemon.stop(std::chrono::seconds(30));
  std::printf("daemon stopped with status %d\n", status);
  return (lost == 0 && extra == 0 && stopReason.empty() && status == 0) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
  // Line by line even into a file, so that progress can be followed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  Options options;
  try {
    if (!parseOptions(argc, argv, options))
      return 2;
    return run(options);
  } catch (const std::exception& error) {
    std::cerr << "quelm-bench-soak: " << error.what() << std::endl;
    return 1;
  }
}
