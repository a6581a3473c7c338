// quelm-bench-throughput: end-to-end notifications per second and latency
// of a real quelm-receiver, next to the limits it cannot beat on this
// machine: plugin spawns per second, updateState executions per second and,
// for persistent plugins, request round trips per second. The daemon runs
// once with a plugin process per notification and once with the bench
// plugin served by persistent processes. Prints figures; it is not a test.

#include "bench/arrival_listener.h"
#include "bench/bench_database.h"
#include "bench/bench_options.h"
#include "bench/daemon_process.h"
#include "bench/process_sampler.h"
#include "bench/sender_pool.h"
#include "database/database_error.h"
#include "database/pg_pool.h"
#include "database/receiver_tables.h"
#include "database/statements.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const char* const usageText = R"(Usage: quelm-bench-throughput --env FILE [options]

Starts quelm-receiver against the throwaway cluster described by FILE (as
written by scripts/pg-cluster.sh, with bench/bench.sql loaded) and prints:
plugin spawns per second (vfork+execve, same thread count), UpdateState
executions per second through the pool (same connection count), round
trips per second to persistent plugin processes (one per thread), and for
each plugin mode the end-to-end peak rate, the latency at half that rate
and where the CPU went.

  --env FILE          cluster settings (default: $QUELM_BENCH_ENV)
  --receiver PATH     daemon binary (default: the one built with this bench)
  --plugin PATH       plugin binary (default: quelm-bench-plugin)
  --workers N         daemon workers and spawning threads (default 16)
  --connections N     database connections of daemon and pool (default 8)
  --services N        services, one per host (default 100)
  --senders N         WebSocket connections sending (default 16)
  --window N          notifications in flight during the peak (default 256)
  --limit-seconds S   duration of each limit measurement (default 5)
  --peak-seconds S    duration of the peak measurement (default 15)
  --latency-seconds S duration of the half-rate latency run (default 15)
  --metrics 0|1       1: the daemon serves metrics, so it counts every
                      notification (default 0)
  --cluster 0|1       1: the daemon runs in cluster mode (default 0)
  --receivers N       Receivers in cluster mode on the one database, the
                      sender connections spread over them (default 1)
  --mode M            end-to-end runs: per-run (a plugin process per
                      notification), persistent (the plugin listed under
                      [PLUGINS] persistent=) or both (default both)
  --acks M            the end-to-end runs that are repeated with
                      acknowledged messages: none, per-run, persistent or
                      both (default per-run)
  --ids 0|1           1: every notification carries a notification_id of
                      its own (default 0)
  --trigger 0|1       1: a row-counting AFTER UPDATE trigger on
                      quelm_services (bench_count) runs in the UpdateState
                      limit and end to end, as product databases have
                      triggers (default 0)
  --durable 0|1       1: the cluster must commit to disk (fsync,
                      synchronous_commit and full_page_writes on; start it
                      with scripts/bench.sh --durable); the bench refuses
                      to run otherwise (default 0)
)";

struct Options {
  std::string envFile;
  std::string receiver = QUELM_RECEIVER_PATH;
  std::string plugin = QUELM_BENCH_PLUGIN_PATH;
  int workers = 16;
  int connections = 8;
  int services = 100;
  int senders = 16;
  int window = 256;
  int limitSeconds = 5;
  int peakSeconds = 15;
  int latencySeconds = 15;
  bool metrics = false;
  bool cluster = false;
  int receivers = 1;
  bool perRun = true;
  bool persistent = true;
  bool acksPerRun = true;
  bool acksPersistent = false;
  bool ids = false;
  bool trigger = false;
  bool durable = false;
};

// "per-run", "persistent" or "both" as the two flags; throws otherwise.
void parseModes(const std::string& name, const std::string& value, bool allowNone, bool& perRun, bool& persistent)
{
  if (value == "per-run" || value == "persistent" || value == "both" || (allowNone && value == "none")) {
    perRun = value == "per-run" || value == "both";
    persistent = value == "persistent" || value == "both";
    return;
  }
  throw std::runtime_error(name + " takes " + (allowNone ? "none, " : "") + "per-run, persistent or both");
}

bool parseOptions(int argc, char** argv, Options& options)
{
  return parseNamedOptions(
      argc, argv, usageText, options.envFile, [&](const std::string& name, const std::string& value) {
        auto number = [&](long low, long high) { return static_cast<int>(boundedNumber(name, value, low, high)); };
        if (name == "--receiver")
          options.receiver = value;
        else if (name == "--plugin")
          options.plugin = value;
        else if (name == "--workers")
          options.workers = number(1, 64);
        else if (name == "--connections")
          options.connections = number(1, 64);
        else if (name == "--services")
          options.services = number(1, 100000);
        else if (name == "--senders")
          options.senders = number(1, 256);
        else if (name == "--window")
          options.window = number(1, 100000);
        else if (name == "--limit-seconds")
          options.limitSeconds = number(1, 600);
        else if (name == "--peak-seconds")
          options.peakSeconds = number(3, 600);
        else if (name == "--latency-seconds")
          options.latencySeconds = number(1, 600);
        else if (name == "--metrics")
          options.metrics = number(0, 1) == 1;
        else if (name == "--cluster")
          options.cluster = number(0, 1) == 1;
        else if (name == "--receivers")
          options.receivers = number(1, 8);
        else if (name == "--mode")
          parseModes(name, value, false, options.perRun, options.persistent);
        else if (name == "--acks")
          parseModes(name, value, true, options.acksPerRun, options.acksPersistent);
        else if (name == "--ids")
          options.ids = number(0, 1) == 1;
        else if (name == "--trigger")
          options.trigger = number(0, 1) == 1;
        else if (name == "--durable")
          options.durable = number(0, 1) == 1;
        else
          return false;
        return true;
      });
}

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The payload of notification number sequence: for its host, with a text and,
// when asked, an id that no other notification of any run has.
std::string benchPayload(const Options& options, std::size_t sequence, const char* word)
{
  static const std::string run = std::to_string(::getpid()) + "-" + std::to_string(::time(nullptr));
  static std::atomic<std::uint64_t> serial { 0 };
  std::string payload = "{\"fromhost\":\"" + benchHostName("bench-h", static_cast<int>(sequence % options.services))
      + "\",\"message\":\"" + word + "=" + std::to_string(sequence) + "\"";
  if (options.ids)
    payload += ",\"notification_id\":\"" + run + "-" + std::to_string(serial++) + "\"";
  return payload + "}";
}

// CPU seconds spent by each party during a phase, from /proc. The daemons'
// figures are summed over every daemon.
struct CpuSnapshot {
  ProcessSample daemon;
  std::uint64_t postgres = 0;
  std::uint64_t bench = 0;
  MachineTicks machine;
  Clock::time_point at;

  // benchBackends: the server processes of the bench's own sessions (its
  // NOTIFY listener, its statistics queries), counted as the bench's CPU,
  // not PostgreSQL's, so that the PostgreSQL figure is the daemon's.
  static CpuSnapshot take(const std::vector<pid_t>& daemonPids, const std::vector<pid_t>& benchBackends = {})
  {
    CpuSnapshot snapshot;
    for (pid_t pid : daemonPids) {
      ProcessSample one = sampleProcess(pid);
      snapshot.daemon.ownTicks += one.ownTicks;
      snapshot.daemon.childTicks += one.childTicks;
      snapshot.daemon.liveChildTicks += one.liveChildTicks;
      snapshot.daemon.children += one.children;
      snapshot.daemon.rssKb += one.rssKb;
    }
    snapshot.postgres = ticksOfCommand("postgres");
    snapshot.bench = sampleProcess(::getpid()).ownTicks;
    for (pid_t backend : benchBackends) {
      std::uint64_t ticks = std::min(sampleProcess(backend).ownTicks, snapshot.postgres);
      snapshot.postgres -= ticks;
      snapshot.bench += ticks;
    }
    snapshot.machine = sampleMachine();
    snapshot.at = Clock::now();
    return snapshot;
  }
};

// CPU per operation of the daemon and of PostgreSQL, in microseconds.
struct CpuPerOperation {
  double daemon = 0, postgres = 0;
};

// Prints where the CPU went between two snapshots, per operation.
CpuPerOperation printCpu(const char* label, const CpuSnapshot& from, const CpuSnapshot& to, double operations)
{
  const double tick = 1.0 / static_cast<double>(clockTicksPerSecond());
  const double wall = std::chrono::duration<double>(to.at - from.at).count();
  auto us = [&](std::uint64_t ticks) { return operations > 0 ? ticks * tick * 1e6 / operations : 0.0; };
  std::uint64_t machineBusy = to.machine.busy - from.machine.busy;
  std::uint64_t machineTotal = to.machine.total - from.machine.total;
  std::uint64_t daemonOwn = to.daemon.ownTicks - from.daemon.ownTicks;
  // Plugins that ran all through the phase are still the daemon's live
  // children: their time is not in childTicks yet.
  std::uint64_t pluginsFrom = from.daemon.childTicks + from.daemon.liveChildTicks;
  std::uint64_t pluginsTo = to.daemon.childTicks + to.daemon.liveChildTicks;
  std::uint64_t plugins = pluginsTo > pluginsFrom ? pluginsTo - pluginsFrom : 0;
  std::uint64_t postgres = to.postgres >= from.postgres ? to.postgres - from.postgres : 0;
  std::uint64_t bench = to.bench - from.bench;
  std::uint64_t known = daemonOwn + plugins + postgres + bench;
  std::uint64_t other = machineBusy > known ? machineBusy - known : 0;
  std::printf("  cpu during %s (%.1f s wall, machine %.0f%% busy of %ld cores):\n", label, wall,
      machineTotal ? 100.0 * machineBusy / machineTotal : 0.0, ::sysconf(_SC_NPROCESSORS_ONLN));
  std::printf("    per operation: daemon %.0f us, plugins %.0f us, postgres %.0f us, bench and its sessions %.0f us, "
              "other processes %.0f us\n",
      us(daemonOwn), us(plugins), us(postgres), us(bench), us(other));
  return { us(daemonOwn), us(postgres) };
}

// ---- Limit 1: spawning the plugin with vfork+execve -----------------------

// One plugin run the way a worker does it: input on a pipe, output read to
// its end, child reaped. Returns true when the plugin answered "OK".
bool spawnOnce(const char* path, const std::string& input)
{
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) != 0)
    return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  char* argv[] = { const_cast<char*>(path), nullptr };
  char* envp[] = { nullptr };
  pid_t pid = ::vfork();
  if (pid == 0) {
    // dup2 clears close-on-exec on the copies, so only they survive exec.
    if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0)
      ::_exit(126);
    ::execve(path, argv, envp);
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  bool ok = false;
  if (pid > 0) {
    ssize_t wrote = ::write(in[1], input.data(), input.size());
    (void)wrote;
    ::close(in[1]);
    char buffer[4096];
    std::size_t total = 0;
    for (int chunk = 0; chunk < 1000; ++chunk) {
      ssize_t got = ::read(out[0], buffer + std::min<std::size_t>(total, 2), sizeof(buffer) - 2);
      if (got > 0) {
        total += static_cast<std::size_t>(got);
        continue;
      }
      if (got < 0 && errno == EINTR)
        continue;
      break;
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) { }
    ok = total >= 2 && buffer[0] == 'O' && buffer[1] == 'K' && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  } else {
    ::close(in[1]);
  }
  ::close(out[0]);
  return ok;
}

// Runs body(thread, deadline, done, failed) on one thread per worker for the
// limit's duration, then prints the rate behind label and the CPU per
// operation of this process (named caller), its reaped children (plugin)
// and the machine. Returns the rate.
double measureLimit(const Options& options, const char* label, const char* operation, const char* caller,
    const std::function<void(int, Clock::time_point, std::atomic<long>&, std::atomic<long>&)>& body)
{
  std::atomic<long> done { 0 }, failed { 0 };
  const auto deadline = Clock::now() + std::chrono::seconds(options.limitSeconds);
  CpuSnapshot before = CpuSnapshot::take({});
  ProcessSample selfBefore = sampleProcess(::getpid());
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int t = 0; t < options.workers; ++t)
    threads.emplace_back([&, t] { body(t, deadline, done, failed); });
  for (auto& thread : threads)
    thread.join();
  double elapsed = secondsSince(start);
  CpuSnapshot after = CpuSnapshot::take({});
  ProcessSample selfAfter = sampleProcess(::getpid());
  double rate = done / elapsed;
  std::printf("%s: %.0f /s  (%ld in %.1f s, %ld failed)\n", label, rate, done.load(), elapsed, failed.load());
  const double tick = 1.0 / static_cast<double>(clockTicksPerSecond());
  std::uint64_t busy = after.machine.busy - before.machine.busy;
  std::uint64_t total = after.machine.total - before.machine.total;
  const double count = done > 0 ? static_cast<double>(done) : 1.0;
  std::printf("  cpu: machine %.0f%% busy; per %s: %s %.1f us, plugin %.1f us, machine %.1f us\n",
      total ? 100.0 * busy / total : 0.0, operation, caller,
      (selfAfter.ownTicks - selfBefore.ownTicks) * tick * 1e6 / count,
      (selfAfter.childTicks - selfBefore.childTicks) * tick * 1e6 / count, busy * tick * 1e6 / count);
  return rate;
}

double measureSpawnLimit(const Options& options)
{
  const std::string label = "limit 1: plugin spawns (vfork+execve, " + std::to_string(options.workers) + " threads)";
  return measureLimit(options, label.c_str(), "spawn", "spawner",
      [&](int t, Clock::time_point deadline, std::atomic<long>& done, std::atomic<long>& failed) {
        std::string input = "{\"fromhost\":\"bench-h00000\",\"message\":\"limit " + std::to_string(t) + "\"}\n";
        while (Clock::now() < deadline) {
          if (spawnOnce(options.plugin.c_str(), input))
            ++done;
          else
            ++failed;
        }
      });
}

// ---- Limit 2: updateState through the pool ---------------------------------

double measureUpdateLimit(const Options& options, const ClusterSettings& cluster, const char* label)
{
  PgPool pool(cluster.pool(), options.connections);
  prepareDaemonStatements(pool);
  std::atomic<long> done { 0 }, failed { 0 };
  const auto deadline = Clock::now() + std::chrono::seconds(options.limitSeconds);
  CpuSnapshot before = CpuSnapshot::take({});
  std::vector<std::thread> threads;
  auto start = Clock::now();
  for (int t = 0; t < options.workers; ++t) {
    threads.emplace_back([&, t] {
      // Each thread keeps to its own services, as workers mostly do, so that
      // row locks do not serialise the threads.
      int id = t + 1;
      long round = 0;
      while (Clock::now() < deadline) {
        std::vector<std::string> values { "0", "OK limit " + std::to_string(round++), std::to_string(id) };
        try {
          pool.executePrepared(statements::updateStateName, values);
          ++done;
        } catch (const DatabaseError&) {
          ++failed;
        }
        id += options.workers;
        if (id > options.services)
          id = t + 1;
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  double elapsed = secondsSince(start);
  CpuSnapshot after = CpuSnapshot::take({});
  double rate = done / elapsed;
  std::printf("limit 2: UpdateState through the pool (%d threads, %d connections, %s): %.0f /s  (%ld in %.1f s, "
              "%ld failed)\n",
      options.workers, options.connections, label, rate, done.load(), elapsed, failed.load());
  printCpu("UpdateState limit", before, after, static_cast<double>(done));
  return rate;
}

// ---- Limit 3: round trips to persistent plugin processes ------------------

// One persistent plugin process driven the way a worker drives it: a
// request line written, its reply line read, then the next request.
class PersistentPlugin {
public:
  explicit PersistentPlugin(const std::string& path)
  {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0)
      throw std::runtime_error(std::string("pipe2 failed: ") + std::strerror(errno));
    if (::pipe2(out, O_CLOEXEC) != 0) {
      int error = errno;
      ::close(in[0]);
      ::close(in[1]);
      throw std::runtime_error(std::string("pipe2 failed: ") + std::strerror(error));
    }
    char* argv[] = { const_cast<char*>(path.c_str()), nullptr };
    char protocol[] = "QUELM_PLUGIN_PROTOCOL=1";
    char* envp[] = { protocol, nullptr };
    // The child may write nothing but this local before execve.
    const pid_t pid = ::vfork();
    if (pid == 0) {
      if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0)
        ::_exit(126);
      ::execve(argv[0], argv, envp);
      ::_exit(127);
    }
    const int error = errno;
    pid_ = pid;
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (pid_ < 0) {
      ::close(input_);
      ::close(output_);
      throw std::runtime_error(std::string("vfork failed: ") + std::strerror(error));
    }
  }

  // Closing its input ends the plugin; it is reaped here.
  ~PersistentPlugin()
  {
    ::close(input_);
    ::close(output_);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) { }
  }
  PersistentPlugin(const PersistentPlugin&) = delete;
  PersistentPlugin& operator=(const PersistentPlugin&) = delete;

  // input is the notification text already escaped for JSON. True when the
  // reply is the one the bench plugin owes: same seq, status 0, "OK " and
  // the input.
  bool roundTrip(const std::string& input)
  {
    const std::string seq = std::to_string(++seq_);
    const std::string request = "{\"seq\":" + seq + ",\"args\":[],\"input\":\"" + input + "\"}\n";
    const std::string expected = "{\"seq\":" + seq + ",\"status\":0,\"output\":\"OK " + input + "\"}\n";
    std::size_t done = 0;
    while (done < request.size()) {
      ssize_t wrote = ::write(input_, request.data() + done, request.size() - done);
      if (wrote < 0 && errno == EINTR)
        continue;
      if (wrote <= 0)
        return false;
      done += static_cast<std::size_t>(wrote);
    }
    // One request in flight: the reply ends at the first newline.
    reply_.clear();
    char buffer[4096];
    while (reply_.empty() || reply_.back() != '\n') {
      ssize_t got = ::read(output_, buffer, sizeof(buffer));
      if (got < 0 && errno == EINTR)
        continue;
      if (got <= 0)
        return false;
      reply_.append(buffer, static_cast<std::size_t>(got));
    }
    return reply_ == expected;
  }

private:
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::uint64_t seq_ = 0;
  std::string reply_;
};

double measurePersistentLimit(const Options& options)
{
  // The plugins are reaped once their threads end: their time is in the
  // children's.
  const std::string label = "limit 3: persistent plugin round trips (" + std::to_string(options.workers)
      + " processes, one request each in flight)";
  return measureLimit(options, label.c_str(), "round trip", "caller",
      [&](int t, Clock::time_point deadline, std::atomic<long>& done, std::atomic<long>& failed) {
        // Escaped for JSON, as the daemon puts it into a request.
        std::string input = R"({\"fromhost\":\"bench-h00000\",\"message\":\"limit )" + std::to_string(t) + R"(\"})";
        try {
          PersistentPlugin plugin(options.plugin);
          while (Clock::now() < deadline) {
            if (plugin.roundTrip(input)) {
              ++done;
            } else {
              // A wrong or missing reply leaves the process useless.
              ++failed;
              break;
            }
          }
        } catch (const std::exception& error) {
          std::fprintf(stderr, "persistent plugin: %s\n", error.what());
          ++failed;
        }
      });
}

// ---- End to end ------------------------------------------------------------

// Numbers the notifications of the whole run, whichever daemon they go to,
// so that one listener tells every arrival apart.
class Sender {
public:
  Sender(ArrivalListener& listener, const Options& options, Clock::time_point epoch)
      : listener_(listener)
      , options_(options)
      , epoch_(epoch)
      , sendTimes_(capacity, 0)
  {
  }

  static constexpr std::size_t capacity = 4000000;

  std::size_t next() const { return next_; }
  // The connections the next notifications go out on.
  void use(SenderPool* pool) { pool_ = pool; }
  std::int64_t sendTime(std::size_t sequence) const { return sendTimes_[sequence]; }

  // Sends notification number next_, for host next_ modulo the services.
  bool sendNext()
  {
    if (next_ >= capacity)
      return false;
    std::size_t sequence = next_++;
    std::string payload = benchPayload(options_, sequence, "n");
    sendTimes_[sequence] = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch_).count();
    if (pool_ == nullptr || !pool_->send(sequence, payload))
      ++sendFailures_;
    return true;
  }

  // Keeps at most window notifications in flight until the deadline.
  void runWindowed(std::size_t window, Clock::time_point until, std::uint64_t arrivedBefore, std::size_t firstSequence)
  {
    while (Clock::now() < until) {
      std::uint64_t sentInPhase = next_ - firstSequence;
      std::uint64_t arrived = listener_.count() - arrivedBefore;
      if (sentInPhase - arrived < window) {
        if (!sendNext())
          return;
        continue;
      }
      listener_.waitForCount(
          arrivedBefore + sentInPhase - window + 1, std::min(until, Clock::now() + std::chrono::milliseconds(100)));
    }
  }

  // Sends count notifications at a fixed rate, open loop.
  void runPaced(double rate, std::size_t count)
  {
    auto start = Clock::now();
    for (std::size_t i = 0; i < count; ++i) {
      std::this_thread::sleep_until(start + std::chrono::nanoseconds(static_cast<std::int64_t>(i * 1e9 / rate)));
      if (!sendNext())
        return;
    }
  }

  long sendFailures() const { return sendFailures_; }

private:
  SenderPool* pool_ = nullptr;
  ArrivalListener& listener_;
  const Options& options_;
  Clock::time_point epoch_;
  std::vector<std::int64_t> sendTimes_;
  std::size_t next_ = 0;
  long sendFailures_ = 0;
};

// Pairs each reply of an acknowledged connection with the notification it
// answers: replies carry the message's number on its connection.
class AckTracker {
public:
  AckTracker(std::size_t connections, std::size_t capacity, Clock::time_point epoch)
      : sentOn_(connections)
      , replyTimes_(capacity, 0)
      , epoch_(epoch)
  {
  }

  void sent(std::size_t connection, std::size_t sequence)
  {
    std::lock_guard<std::mutex> guard(lock_);
    sentOn_[connection].push_back(sequence);
  }

  void replied(std::size_t connection, const std::string& reply)
  {
    std::int64_t at = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - epoch_).count();
    std::size_t seqAt = reply.find("\"seq\":");
    std::uint64_t seq = seqAt == std::string::npos ? 0 : std::strtoull(reply.c_str() + seqAt + 6, nullptr, 10);
    bool stored = reply.find("\"status\":\"stored\"") != std::string::npos;
    {
      std::lock_guard<std::mutex> guard(lock_);
      if (seq == 0 || seq > sentOn_[connection].size())
        return;
      std::size_t sequence = sentOn_[connection][seq - 1];
      if (replyTimes_[sequence] != 0)
        ++duplicates_;
      replyTimes_[sequence] = at;
      ++replies_;
      if (!stored)
        ++notStored_;
    }
    changed_.notify_all();
  }

  std::uint64_t replies()
  {
    std::lock_guard<std::mutex> guard(lock_);
    return replies_;
  }
  std::uint64_t notStored()
  {
    std::lock_guard<std::mutex> guard(lock_);
    return notStored_;
  }
  void waitForReplies(std::uint64_t count, Clock::time_point until)
  {
    std::unique_lock<std::mutex> lock(lock_);
    changed_.wait_until(lock, until, [&] { return replies_ >= count; });
  }
  std::int64_t replyTime(std::size_t sequence)
  {
    std::lock_guard<std::mutex> guard(lock_);
    return replyTimes_[sequence];
  }

private:
  std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::vector<std::size_t>> sentOn_;
  std::vector<std::int64_t> replyTimes_;
  Clock::time_point epoch_;
  std::uint64_t replies_ = 0, notStored_ = 0, duplicates_ = 0;
};

double percentile(std::vector<double>& sorted, double fraction)
{
  if (sorted.empty())
    return 0;
  std::size_t index = static_cast<std::size_t>(std::ceil(fraction * sorted.size())) - 1;
  return sorted[std::min(index, sorted.size() - 1)];
}

// Send-to-arrival times of one open-loop run.
struct Latency {
  double rate = 0;
  std::size_t sent = 0, arrived = 0;
  double median = 0, p90 = 0, p99 = 0, max = 0;
};

Latency summarise(std::vector<double>& milliseconds, double rate, std::size_t sent)
{
  std::sort(milliseconds.begin(), milliseconds.end());
  Latency latency;
  latency.rate = rate;
  latency.sent = sent;
  latency.arrived = milliseconds.size();
  latency.median = percentile(milliseconds, 0.5);
  latency.p90 = percentile(milliseconds, 0.9);
  latency.p99 = percentile(milliseconds, 0.99);
  latency.max = milliseconds.empty() ? 0.0 : milliseconds.back();
  return latency;
}

enum class PluginMode { perRun, persistent };

const char* modeName(PluginMode mode) { return mode == PluginMode::perRun ? "per-run" : "persistent"; }

// What one end-to-end run of the daemon in one plugin mode measured.
struct EndToEnd {
  bool ran = false;
  double peakRate = 0;
  CpuPerOperation cpu;
  Latency latency;
  bool acknowledged = false;
  double ackRate = 0;
  Latency replyLatency;
  // The daemons' resident memory, summed.
  long rssPeakStartKb = 0, rssPeakEndKb = 0, rssAfterLatencyKb = 0;
  std::uint64_t lost = 0, duplicated = 0;
  int status = 0;
};

// The acknowledged part: each sender connection asks for a reply per
// message, the window counts replies, and the time from send to reply is
// what a sender waits. Then send to reply at the given rate, open loop, as
// the one-way latency. The messages carry "ack=<number>", which the arrival
// listener does not count.
void runAcknowledged(const Options& options, const std::vector<std::string>& uris, std::size_t firstNumber,
    double pacedRate, std::size_t pacedCount, Clock::time_point epoch, EndToEnd& result)
{
  const auto ns
      = [&](Clock::time_point at) { return std::chrono::duration_cast<std::chrono::nanoseconds>(at - epoch).count(); };
  AckTracker tracker(static_cast<std::size_t>(options.senders), Sender::capacity, epoch);
  SenderPool ackPool(uris, options.senders,
      [&](std::size_t connection, const std::string& reply) { tracker.replied(connection, reply); });
  ackPool.open(std::chrono::seconds(10));
  std::size_t ackSequence = firstNumber;
  std::vector<std::int64_t> ackSendTimes(Sender::capacity, 0);
  auto sendAcknowledged = [&](std::size_t sequence) {
    std::size_t connection = sequence % ackPool.size();
    std::string payload = benchPayload(options, sequence, "ack");
    tracker.sent(connection, sequence);
    ackSendTimes[sequence] = ns(Clock::now());
    ackPool.send(sequence, payload);
  };
  const std::size_t firstAck = ackSequence;
  auto ackStart = Clock::now();
  auto ackEnd = ackStart + std::chrono::seconds(options.peakSeconds);
  while (Clock::now() < ackEnd && ackSequence < Sender::capacity) {
    std::uint64_t inFlight = (ackSequence - firstAck) - tracker.replies();
    if (inFlight < static_cast<std::uint64_t>(options.window)) {
      sendAcknowledged(ackSequence++);
      continue;
    }
    tracker.waitForReplies(ackSequence - firstAck - static_cast<std::size_t>(options.window) + 1,
        std::min(ackEnd, Clock::now() + std::chrono::milliseconds(100)));
  }
  const std::size_t ackSent = ackSequence - firstAck;
  tracker.waitForReplies(ackSent, Clock::now() + std::chrono::seconds(60));
  const std::int64_t ackSteadyFrom = ns(ackStart) + (ns(ackEnd) - ns(ackStart)) / 5;
  const std::int64_t ackSteadyTo = ns(ackEnd);
  std::size_t ackSteady = 0;
  for (std::size_t s = firstAck; s < firstAck + ackSent; ++s) {
    std::int64_t at = tracker.replyTime(s);
    if (at >= ackSteadyFrom && at < ackSteadyTo)
      ++ackSteady;
  }
  result.ackRate = ackSteady / ((ackSteadyTo - ackSteadyFrom) / 1e9);
  std::printf("  with acknowledgements, peak (%d in flight, %d s): %.0f notifications/s  (%zu sent, %llu replies, "
              "%llu not stored)\n",
      options.window, options.peakSeconds, result.ackRate, ackSent, static_cast<unsigned long long>(tracker.replies()),
      static_cast<unsigned long long>(tracker.notStored()));

  const std::size_t firstAckPaced = ackSequence;
  auto pacedStart = Clock::now();
  for (std::size_t i = 0; i < pacedCount && ackSequence < Sender::capacity; ++i) {
    std::this_thread::sleep_until(
        pacedStart + std::chrono::nanoseconds(static_cast<std::int64_t>(i * 1e9 / pacedRate)));
    sendAcknowledged(ackSequence++);
  }
  tracker.waitForReplies(ackSent + (ackSequence - firstAckPaced), Clock::now() + std::chrono::seconds(60));
  std::vector<double> replyLatencies;
  for (std::size_t s = firstAckPaced; s < ackSequence; ++s) {
    std::int64_t at = tracker.replyTime(s);
    if (at != 0)
      replyLatencies.push_back((at - ackSendTimes[s]) / 1e6);
  }
  result.replyLatency = summarise(replyLatencies, pacedRate, ackSequence - firstAckPaced);
  const Latency& reply = result.replyLatency;
  std::printf("  send to reply at %.0f/s (%zu sent, %zu answered): median %.1f ms, p90 %.1f ms, p99 %.1f ms, max "
              "%.1f ms\n",
      pacedRate, reply.sent, reply.arrived, reply.median, reply.p90, reply.p99, reply.max);
  ackPool.closeAll(std::chrono::seconds(10));
  result.acknowledged = true;
  const std::uint64_t unanswered = (ackSequence - firstAck) - tracker.replies();
  std::printf("  checks: %zu acknowledged messages sent, %llu replies, %llu unanswered\n", ackSequence - firstAck,
      static_cast<unsigned long long>(tracker.replies()), static_cast<unsigned long long>(unanswered));
  result.lost += unanswered;
}

// Starts the daemons in one plugin mode, measures the peak, the latency at
// half the peak and, if asked, the same with acknowledgements, then stops
// them again.
EndToEnd runEndToEnd(const Options& options, const ClusterSettings& cluster, PluginMode mode, bool acknowledged,
    ArrivalListener& listener, Sender& sender, Clock::time_point epoch)
{
  std::printf("\n== end to end, %s plugins\n", modeName(mode));
  EndToEnd result;
  result.ran = true;
  DaemonOptions daemonOptions { options.receiver, options.workers, options.connections, options.metrics,
    options.cluster || options.receivers > 1, {} };
  if (mode == PluginMode::persistent)
    daemonOptions.persistentPlugins.push_back(options.plugin);
  std::vector<std::unique_ptr<ScratchDir>> dirs;
  std::vector<std::unique_ptr<DaemonProcess>> daemons;
  std::vector<std::string> uris;
  std::vector<pid_t> pids;
  for (int r = 0; r < options.receivers; ++r) {
    dirs.push_back(std::make_unique<ScratchDir>());
    daemons.push_back(std::make_unique<DaemonProcess>(*dirs.back(), cluster, daemonOptions));
  }
  for (auto& daemon : daemons) {
    if (!daemon->waitReady(std::chrono::seconds(60)))
      throw std::runtime_error("the daemon did not start; its log:\n" + daemon->log());
    std::printf("daemon: pid %d on %s%s\n", static_cast<int>(daemon->pid()), daemon->uri().c_str(),
        daemonOptions.cluster ? " (cluster mode)" : "");
    uris.push_back(daemon->uri());
    pids.push_back(daemon->pid());
  }

  const std::size_t firstOfRun = sender.next();
  const std::uint64_t duplicatesBefore = listener.duplicates();
  const long sendFailuresBefore = sender.sendFailures();
  SenderPool pool(uris, options.senders, nullptr);
  pool.open(std::chrono::seconds(10));
  sender.use(&pool);

  // Warm-up: every service's plugin run once at least (and in persistent
  // mode every worker's plugin process started), connections busy.
  {
    const std::uint64_t before = listener.count();
    std::size_t first = sender.next();
    sender.runWindowed(static_cast<std::size_t>(options.window), Clock::now() + std::chrono::seconds(2), before, first);
    listener.waitForCount(before + (sender.next() - first), Clock::now() + std::chrono::seconds(60));
  }

  // Peak: a fixed number in flight for the whole phase.
  const std::uint64_t beforePeak = listener.count();
  const std::size_t firstPeak = sender.next();
  auto peakStart = Clock::now();
  auto peakEnd = peakStart + std::chrono::seconds(options.peakSeconds);
  // Commits of the database during a phase, for the rows each carried: the
  // server's counter lags by up to a second, as much at the start as at
  // the end.
  BenchDatabase stats(cluster);
  auto commits = [&] {
    return std::stoll(stats.scalar("SELECT pg_stat_force_next_flush(); SELECT xact_commit FROM pg_stat_database "
                                   "WHERE datname = current_database()"));
  };
  const long long commitsBeforePeak = commits();
  const std::vector<pid_t> benchBackends { listener.backendPid(), PQbackendPID(stats.raw()) };
  CpuSnapshot cpuBefore = CpuSnapshot::take(pids, benchBackends);
  sender.runWindowed(static_cast<std::size_t>(options.window), peakEnd, beforePeak, firstPeak);
  CpuSnapshot cpuAfter = CpuSnapshot::take(pids, benchBackends);
  const long long peakCommits = commits() - commitsBeforePeak;
  result.rssPeakStartKb = cpuBefore.daemon.rssKb;
  result.rssPeakEndKb = cpuAfter.daemon.rssKb;
  const std::size_t peakSent = sender.next() - firstPeak;
  listener.waitForCount(beforePeak + peakSent, Clock::now() + std::chrono::seconds(60));
  // The rate counts arrivals in the steady part: the first fifth is ramp-up.
  const auto ns
      = [&](Clock::time_point at) { return std::chrono::duration_cast<std::chrono::nanoseconds>(at - epoch).count(); };
  const std::int64_t steadyFrom = ns(peakStart) + (ns(peakEnd) - ns(peakStart)) / 5;
  const std::int64_t steadyTo = ns(peakEnd);
  std::size_t steadyCount = 0, peakArrived = 0, inCpuWindow = 0;
  for (std::size_t s = firstPeak; s < firstPeak + peakSent; ++s) {
    std::int64_t at = listener.arrival(s);
    if (at == 0)
      continue;
    ++peakArrived;
    if (at >= steadyFrom && at < steadyTo)
      ++steadyCount;
    if (at >= ns(cpuBefore.at) && at < ns(cpuAfter.at))
      ++inCpuWindow;
  }
  result.peakRate = steadyCount / ((steadyTo - steadyFrom) / 1e9);
  std::printf("peak (%d in flight, %d s): %.0f notifications/s  (%zu sent, %zu updated)\n", options.window,
      options.peakSeconds, result.peakRate, peakSent, peakArrived);
  result.cpu = printCpu(
      (std::string(modeName(mode)) + " peak").c_str(), cpuBefore, cpuAfter, static_cast<double>(inCpuWindow));
  std::printf("  daemon children alive at the end of the peak: %d\n", cpuAfter.daemon.children);
  std::printf("  database commits during the peak: %lld, %.1f updates each\n", peakCommits,
      peakCommits > 0 ? static_cast<double>(inCpuWindow) / static_cast<double>(peakCommits) : 0.0);

  // Latency at half the peak rate, open loop.
  const double halfRate = std::max(1.0, result.peakRate / 2);
  const std::size_t latencyCount = static_cast<std::size_t>(halfRate * options.latencySeconds);
  const std::uint64_t beforeLatency = listener.count();
  const std::size_t firstLatency = sender.next();
  const long long commitsBeforeLatency = commits();
  sender.runPaced(halfRate, latencyCount);
  const std::size_t latencySent = sender.next() - firstLatency;
  listener.waitForCount(beforeLatency + latencySent, Clock::now() + std::chrono::seconds(60));
  const long long latencyCommits = commits() - commitsBeforeLatency;
  std::vector<double> latencies;
  latencies.reserve(latencySent);
  for (std::size_t s = firstLatency; s < firstLatency + latencySent; ++s) {
    std::int64_t at = listener.arrival(s);
    if (at != 0)
      latencies.push_back((at - sender.sendTime(s)) / 1e6);
  }
  result.latency = summarise(latencies, halfRate, latencySent);
  const Latency& latency = result.latency;
  std::printf("latency at %.0f/s (half the peak, %zu sent, %zu updated): median %.1f ms, p90 %.1f ms, p99 %.1f ms, "
              "max %.1f ms\n",
      halfRate, latency.sent, latency.arrived, latency.median, latency.p90, latency.p99, latency.max);
  std::printf("  database commits at half the peak: %lld, %.1f updates each\n", latencyCommits,
      latencyCommits > 0 ? static_cast<double>(latency.arrived) / static_cast<double>(latencyCommits) : 0.0);
  result.rssAfterLatencyKb = CpuSnapshot::take(pids).daemon.rssKb;
  std::printf("daemon resident memory: %ld kB at the start of the peak, %ld kB at its end, %ld kB after the latency "
              "run\n",
      result.rssPeakStartKb, result.rssPeakEndKb, result.rssAfterLatencyKb);

  int abnormal = pool.closeAll(std::chrono::seconds(10));
  sender.use(nullptr);
  const std::size_t sentInRun = sender.next() - firstOfRun;
  std::size_t arrivedInRun = 0;
  for (std::size_t s = firstOfRun; s < sender.next(); ++s)
    arrivedInRun += listener.arrival(s) != 0 ? 1 : 0;
  result.lost = sentInRun - arrivedInRun;
  result.duplicated = listener.duplicates() - duplicatesBefore;
  std::printf("checks: %zu sent, %zu updates seen, %llu lost, %llu duplicated, %ld send failures, %d abnormal "
              "closes\n",
      sentInRun, arrivedInRun, static_cast<unsigned long long>(result.lost),
      static_cast<unsigned long long>(result.duplicated), sender.sendFailures() - sendFailuresBefore, abnormal);

  if (acknowledged)
    runAcknowledged(options, uris, sender.next() + 1000, halfRate, latencyCount, epoch, result);

  for (auto& daemon : daemons)
    result.status |= daemon->stop(std::chrono::seconds(30));
  std::printf("daemons stopped with status %d\n", result.status);
  return result;
}

int run(const Options& options)
{
  ClusterSettings cluster = ClusterSettings::fromEnvFile(options.envFile);
  BenchDatabase db(cluster);
  std::printf("machine: %ld cores online, load average at start: %s\n", ::sysconf(_SC_NPROCESSORS_ONLN),
      readWholeFile("/proc/loadavg").substr(0, 14).c_str());
  std::printf("settings: %d workers, %d database connections, %d services, %d sender connections, plugin %s, "
              "metrics %s, modes %s%s%s\n",
      options.workers, options.connections, options.services, options.senders, options.plugin.c_str(),
      options.metrics ? "on" : "off", options.perRun ? "per-run" : "", options.perRun && options.persistent ? "+" : "",
      options.persistent ? "persistent" : "");
  const std::string fsync = db.scalar("SHOW fsync"), synchronous = db.scalar("SHOW synchronous_commit"),
                    fullPages = db.scalar("SHOW full_page_writes");
  std::printf("database: fsync %s, synchronous_commit %s, full_page_writes %s; row-counting trigger %s\n",
      fsync.c_str(), synchronous.c_str(), fullPages.c_str(), options.trigger ? "on" : "off");
  const bool durable = fsync == "on" && synchronous == "on" && fullPages == "on";
  if (options.durable && !durable)
    throw std::runtime_error(
        "--durable 1: the cluster does not commit to disk; start it with scripts/bench.sh --durable");
  seedServices(db, options.plugin, "bench-h", options.services);
  setBenchTrigger(db, "bench_count", false);

  // The limits first, with no daemon started.
  double spawnLimit = measureSpawnLimit(options);
  setBenchTrigger(db, "bench_notify", false);
  double updateBare = measureUpdateLimit(options, cluster, "no bench trigger");
  setBenchTrigger(db, "bench_notify", true);
  setBenchTrigger(db, "bench_count", options.trigger);
  double updateLimit = measureUpdateLimit(options, cluster,
      options.trigger ? "with the NOTIFY and counting triggers, as end to end"
                      : "with the NOTIFY trigger, as end to end");
  double persistentLimit = options.persistent ? measurePersistentLimit(options) : 0;
  double lowerLimit = std::min(spawnLimit, updateLimit);
  seedServices(db, options.plugin, "bench-h", options.services);

  const auto epoch = Clock::now();
  ArrivalListener listener(cluster, Sender::capacity, epoch);
  Sender sender(listener, options, epoch);
  EndToEnd perRun, persistent;
  if (options.perRun)
    perRun = runEndToEnd(options, cluster, PluginMode::perRun, options.acksPerRun, listener, sender, epoch);
  if (options.persistent)
    persistent = runEndToEnd(options, cluster, PluginMode::persistent, options.acksPersistent, listener, sender, epoch);

  std::printf("\nsummary\n");
  std::printf("  spawn limit                 %8.0f /s\n", spawnLimit);
  std::printf("  UpdateState limit           %8.0f /s (without the bench trigger: %.0f /s)\n", updateLimit, updateBare);
  if (persistent.ran)
    std::printf("  persistent round-trip limit %8.0f /s\n", persistentLimit);
  if (persistent.ran) {
    std::printf("  persistent end-to-end peak  %8.0f /s\n", persistent.peakRate);
    std::printf("    of the UpdateState limit: %.2fx (goal >= %.1fx with %s commits)\n",
        persistent.peakRate / updateLimit, durable ? 2.0 : 1.0, durable ? "durable" : "fsync=off");
    if (perRun.ran && perRun.peakRate > 0)
      std::printf("    of the per-run peak: %.1fx (goal >= 5x)\n", persistent.peakRate / perRun.peakRate);
    std::printf("    cpu per notification at the peak: daemon %.0f us (goal <= 35), postgres %.0f us (goal <= 25)\n",
        persistent.cpu.daemon, persistent.cpu.postgres);
    std::printf("    latency at %.0f/s (half the peak): median %.1f ms, p90 %.1f ms, p99 %.1f ms (goal median <= 5 ms, "
                "p99 <= 10 ms), "
                "max %.1f ms\n",
        persistent.latency.rate, persistent.latency.median, persistent.latency.p90, persistent.latency.p99,
        persistent.latency.max);
    std::printf("    daemon resident memory: %ld kB, %ld kB, %ld kB (start of the peak, its end, after the latency "
                "run)\n",
        persistent.rssPeakStartKb, persistent.rssPeakEndKb, persistent.rssAfterLatencyKb);
    if (persistent.acknowledged)
      std::printf("    acknowledged peak %.0f /s: %.0f%% of the one-way peak; send to reply median %.1f ms, p99 %.1f "
                  "ms\n",
          persistent.ackRate, 100.0 * persistent.ackRate / persistent.peakRate, persistent.replyLatency.median,
          persistent.replyLatency.p99);
  } else {
    std::printf("  persistent end-to-end peak  not run\n");
  }
  if (perRun.ran) {
    std::printf("  per-run end-to-end peak     %8.0f /s\n", perRun.peakRate);
    std::printf("    of the lower limit (%s): %.0f%% (goal >= 70%%)\n",
        spawnLimit <= updateLimit ? "spawns" : "UpdateState", 100.0 * perRun.peakRate / lowerLimit);
    std::printf("    latency at %.0f/s (half the peak): median %.1f ms, p99 %.1f ms\n", perRun.latency.rate,
        perRun.latency.median, perRun.latency.p99);
    if (perRun.acknowledged) {
      std::printf("    acknowledged peak %.0f /s: %.0f%% of the one-way peak (goal >= 90%%)\n", perRun.ackRate,
          100.0 * perRun.ackRate / perRun.peakRate);
      std::printf("    send to reply at %.0f/s: median %.1f ms, p99 %.1f ms\n", perRun.replyLatency.rate,
          perRun.replyLatency.median, perRun.replyLatency.p99);
    }
  } else {
    std::printf("  per-run end-to-end peak     not run\n");
  }
  std::uint64_t lost = perRun.lost + persistent.lost;
  std::uint64_t duplicated = perRun.duplicated + persistent.duplicated;
  std::printf("  lost %llu, duplicated %llu\n", static_cast<unsigned long long>(lost),
      static_cast<unsigned long long>(duplicated));
  return lost == 0 && duplicated == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
  // Line by line even into a file, so that progress can be followed.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // A plugin that ends early fails its run (EPIPE) instead of ending the
  // bench.
  std::signal(SIGPIPE, SIG_IGN);
  Options options;
  try {
    if (!parseOptions(argc, argv, options))
      return 2;
    return run(options);
  } catch (const std::exception& error) {
    std::cerr << "quelm-bench-throughput: " << error.what() << std::endl;
    return 1;
  }
}
