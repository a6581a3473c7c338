#pragma once

#include "core/backoff.h"
#include "core/lock_guarded.h"
#include "execution/child_process.h"
#include "execution/plugin_runner.h"
#include "execution/unique_fd.h"

#include <json/reader.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

class ChildWatch;
class Metrics;

// The longest reply line taken from a persistent plugin: the output cap and
// as much again for its escaping. A longer line is a protocol error.
constexpr std::size_t replyLineLimit = 2 * outputLimit;

// One long-running process of a plugin program, serving one request at a
// time: a line {"seq":N,"args":[...],"input":"..."} on its standard input,
// answered by a line {"seq":N,"status":S,"output":"..."} on its standard
// output. Owned by one thread at a time.
class PersistentProcess {
public:
  // Starts the program with no arguments and an environment holding only
  // QUELM_PLUGIN_PROTOCOL=1, in a process group of its own. Throws
  // std::system_error (with the step in what()) when it cannot be started.
  explicit PersistentProcess(const std::string& path);
  // Stops it: see stop().
  ~PersistentProcess();
  PersistentProcess(const PersistentProcess&) = delete;
  PersistentProcess& operator=(const PersistentProcess&) = delete;

  // One request, judged by the caller as a run: an exit status and an
  // output (at most outputLimit, outputCut beyond). A process that ends,
  // answers anything but the reply to this request, or passes the run's
  // time limit (or the stop's grace) has failed the run and is broken; the
  // result then says how, with the reason in `detail`.
  RunResult exchange(const PluginRun& run);

  bool broken() const { return broken_; }
  // The failure was a line that is not the reply asked for.
  bool protocolError() const { return protocolError_; }
  // It has ended (it is not reaped yet).
  bool ended() const;
  // The reason of the last failure, for the log.
  const std::string& failure() const { return failure_; }

  // Closes its standard input and gives it until `until` to end, then stops
  // its group (SIGTERM, a short grace, SIGKILL). Nothing of it is left.
  void closeInput() { input_.reset(); }
  void stop(std::chrono::steady_clock::time_point until);
  // The same for several processes at once, with the graces shared.
  static void stopTogether(
      const std::vector<PersistentProcess*>& processes, std::chrono::steady_clock::time_point until);

private:
  RunResult fail(RunResult::Ending ending, std::string why, bool protocol = false);
  // One poll for the request's bytes and the reply's; false at the end of
  // the output.
  // Reads what the output holds now; false at its end.
  bool drain();
  // The reply line that ends at newline, to request seq, as a run's result;
  // a protocol error when it is not one.
  RunResult readReply(std::size_t newline, std::uint64_t seq);
  RunResult lineTooLong();
  // Writes what the pipe takes of the request's rest, without waiting.
  void writeSome(const std::string& request, std::size_t& sent);
  bool transfer(const std::string& request, std::size_t& sent, ChildWatch& watch);

  ChildProcess child_;
  // The child's pidfd, watched by every exchange (none where the kernel has
  // no pidfd).
  UniqueFd pidfd_;
  UniqueFd input_;
  UniqueFd output_;
  // Bytes read past the reply of the last request (a protocol error when
  // the next one begins).
  std::string pending_;
  std::uint64_t seq_ = 0;
  bool broken_ = false;
  bool protocolError_ = false;
  std::string failure_;
  std::unique_ptr<Json::CharReader> reader_;
};

// The persistent plugins of the daemon: for every program listed, a pool of
// at most `perProgram` processes (one per worker), each started when first
// needed and then kept. A failed process is stopped and replaced on the next
// request; a program that keeps failing is started again at most once a
// second, with one ERR line a second.
class PersistentPlugins {
public:
  PersistentPlugins(const std::set<std::string>& paths, int perProgram, Metrics* metrics);
  // Stops every process left.
  ~PersistentPlugins();
  PersistentPlugins(const PersistentPlugins&) = delete;
  PersistentPlugins& operator=(const PersistentPlugins&) = delete;

  bool serves(const std::string& path) const { return programs_.count(path) != 0; }
  // One request to a process of run.path, which must be served here. Waits
  // for a free process when all are busy.
  RunResult run(const PluginRun& run);
  // Live processes, over every program.
  int liveProcesses() const;
  // The stop: every process's standard input is closed, a grace follows,
  // then whatever is left is stopped with its group. Call once no run is in
  // progress.
  void stopAll();

  // How long a stopping process is given after its input is closed.
  static constexpr std::chrono::milliseconds stopGrace { 2000 };

private:
  struct Pool {
    std::vector<std::unique_ptr<PersistentProcess>> idle;
    int live = 0;
    // Failed processes not yet replaced: the next starts are restarts.
    int owed = 0;
    // Restarts of a program whose processes keep failing, a second apart.
    Backoff restarts { std::chrono::seconds(1), std::chrono::seconds(1), 1 };
    // Failures since the last ERR line, and when it was written.
    int unreported = 0;
    std::chrono::steady_clock::time_point lastReport {};
  };
  struct Program {
    LockGuarded<Pool> pool;
    std::condition_variable freed;
  };

  // A run's place in its program's pool, counted in live from the moment
  // it is held to its end. It holds the process the run uses, or none yet.
  // Its end gives a sound process back to the idle ones; otherwise it stops
  // what it holds and gives the place up, owing the program a restart, so
  // that no way out of a run can leave live or owed wrong.
  class Booking {
  public:
    // Waits for an idle process or a free place; none is held when the
    // run's stop comes first.
    Booking(PersistentPlugins& plugins, const PluginRun& run, Program& program);
    ~Booking();
    Booking(const Booking&) = delete;
    Booking& operator=(const Booking&) = delete;

    bool held() const { return held_; }
    PersistentProcess* process() const { return process_.get(); }
    // Stops the process held, which ended while idle; the place is kept
    // for the fresh one that replaces it.
    void replaceEnded();
    // A new process in the place, started once the restart pacing allows:
    // false when the stop came first (failure: cancelled) or it could not be
    // started (failure says why).
    bool start(const PluginRun& run, RunResult& failure);

  private:
    // Counts, reports and stops the failed process held.
    void stopFailed();

    PersistentPlugins& plugins_;
    const std::string& path_;
    Program& program_;
    std::unique_ptr<PersistentProcess> process_;
    bool held_ = false;
  };

  // When a new process may start; restart: it replaces a failed one.
  static std::chrono::steady_clock::time_point bookStart(Pool& pool, bool& restart);
  // Counts a failure, and logs it unless a line was written less than a
  // second ago (the next line then says how many came meanwhile).
  void report(const std::string& path, Program& program, const std::string& why);

  const int perProgram_;
  Metrics* metrics_;
  std::map<std::string, std::unique_ptr<Program>> programs_;
};
