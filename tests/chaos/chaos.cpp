// quelm-chaos: a seeded random fault campaign against three Receivers in cluster mode behind the shipped HAProxy
// configuration, over a PostgreSQL primary and its synchronous standby, fed by the senders the README describes, with
// an oracle that checks what the database and the alerting program saw against what each sender was told.
//   quelm-chaos [--seconds N] [--seed S] [--keep DIR]
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/free_port.h"
#include "tests/support/site.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/test_process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR, notifyTool = binaryDir + "/tools/quelm-notify";
using Clock = std::chrono::steady_clock;
using Lines = std::vector<std::string>;

// Set by SIGINT or SIGTERM, and when the run unwinds: every loop below ends soon after.
std::atomic<bool> interrupted { false };

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

std::string oneDecimal(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

Lines split(const std::string& text, bool byWord)
{
  std::istringstream in(text);
  Lines parts;
  for (std::string part; byWord ? bool(in >> part) : bool(std::getline(in, part));)
    parts.push_back(part);
  return parts;
}

// The run's clock (time 0: the traffic starts) and its printed record: every line starts with "chaos: ", and a
// violation is counted once, by its key.
struct Record {
  double now() const { return std::chrono::duration<double>(Clock::now() - start).count(); }
  void restart() { start = Clock::now(); }
  // A time of the system clock (an alert's, written by date) on the run's clock.
  double ofWall(double wall) const
  {
    return wall - std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() + now();
  }
  void say(const std::string& line)
  {
    std::lock_guard<std::mutex> hold(lock);
    std::cout << "chaos: " << line << std::endl;
  }
  void at(const std::string& line) { say(oneDecimal(now()) + " s " + line); }
  void violation(const std::string& key, const std::string& line)
  {
    std::unique_lock<std::mutex> hold(lock);
    if (found.insert(key).second)
      hold.unlock(), at("VIOLATION " + line);
  }
  int violations()
  {
    std::lock_guard<std::mutex> hold(lock);
    return static_cast<int>(found.size());
  }

  Clock::time_point start = Clock::now();
  std::mutex lock;
  std::set<std::string> found;
};

// ---- The fault plan, drawn whole from the seed before anything starts: a seed names its faults.

enum class Kind { kill, term, pgRestart, failover, freeze, cut, burst, hang };
const char* nameOf(Kind kind)
{
  static const char* const names[] = { "kill", "term", "pg-restart", "failover", "freeze", "cut", "burst", "hang" };
  return names[static_cast<int>(kind)];
}

struct Fault {
  double at;
  Kind kind;
  int target; // the Receiver killed or stopped
  double length; // seconds frozen, or down after a kill
};

// One fault every 12 s or so, each kind once before any comes again, and the failover once, in the middle half. The
// draws are plain arithmetic on the engine's numbers: the standard distributions differ between libraries.
std::vector<Fault> planFaults(std::uint64_t seed, double seconds)
{
  std::mt19937_64 rng(seed);
  auto uniform = [&](double low, double high) { return low + (high - low) * double(rng() >> 11) * 0x1.0p-53; };
  using K = Kind;
  std::vector<Kind> first = { K::kill, K::term, K::pgRestart, K::freeze, K::cut, K::burst, K::hang };
  for (std::size_t i = first.size(); i > 1; --i)
    std::swap(first[i - 1], first[rng() % i]);
  const Kind weighted[] = { K::kill, K::kill, K::kill, K::term, K::term, K::pgRestart, K::freeze, K::freeze, K::cut,
    K::cut, K::burst, K::burst, K::hang };
  std::vector<Fault> plan;
  for (std::size_t i = 0; i < std::max(first.size(), static_cast<std::size_t>(seconds / 12)); ++i)
    plan.push_back({ uniform(5, seconds - 10), i < first.size() ? first[i] : weighted[rng() % std::size(weighted)],
        static_cast<int>(rng() % 3), uniform(1, 8) });
  plan.push_back({ uniform(0.25, 0.75) * seconds, K::failover, 0, 1 });
  std::sort(plan.begin(), plan.end(), [](const Fault& a, const Fault& b) { return a.at < b.at; });
  return plan;
}

// ---- What the senders sent and were answered.

struct Note {
  int seq = 0;
  std::string host, word, text, id, sender;
  double sent = -1, answered = -1; // answered: when it was answered stored
  std::string answer {}; // "stored", or the last answer that was not
  int tries = 0;
};

int stateOf(const std::string& word) { return word == "CRIT" ? 2 : word == "WARN" ? 1 : word == "UNKN" ? 3 : 0; }
int serviceOf(const std::string& host) { return std::stoi(host.substr(4)) + 1; }

std::string json(const Note& note)
{
  return "{\"fromhost\":\"" + note.host + "\",\"severity\":3,\"message\":\"" + note.text + "\""
      + (note.id.empty() ? "" : ",\"notification_id\":\"" + note.id + "\"") + "}";
}

struct Ledger {
  // A notification numbered in the whole run, its marker "seq=N" in the message so that the stored output names it.
  Note& add(const std::string& host, const std::string& word, const std::string& extra, const std::string& id,
      const std::string& sender)
  {
    std::lock_guard<std::mutex> hold(lock);
    const int seq = static_cast<int>(notes.size()) + 1;
    return notes.emplace_back(Note { seq, host, word, word + extra + " seq=" + std::to_string(seq), id, sender });
  }

  std::mutex lock;
  std::deque<Note> notes; // a deque: a sender keeps its reference while others add; read once every sender has ended
};

// The oracle's own connection, to the cluster's primary whichever server that is by now (libpq reads
// PGTARGETSESSIONATTRS); it waits out a restart or a failover, two minutes at most.
struct Oracle {
  TestDatabase& db;
  std::mutex lock;

  std::string ask(const std::string& sql)
  {
    for (int attempt = 0;; ++attempt, pause(0.5)) {
      try {
        std::lock_guard<std::mutex> hold(lock);
        return db.scalar(sql);
      } catch (const std::exception& error) {
        // A refused statement is the harness's own mistake: only a server away is waited for.
        if (attempt >= 240 || interrupted || std::string(error.what()).find("ERROR:") != std::string::npos)
          throw;
      }
    }
  }
  // The rows of a query whose one column is a line of words.
  std::vector<Lines> rows(const std::string& sql)
  {
    std::vector<Lines> rows;
    for (const std::string& line : split(ask("SELECT string_agg(line, E'\\n') FROM (" + sql + ") AS r(line)"), false))
      rows.push_back(split(line, true));
    return rows;
  }
};

// What every sender shares: where to send, the clock, and when to stop.
struct Traffic {
  Record& record;
  Ledger& ledger;
  Oracle& oracle;
  const TempDir& dir;
  std::string pem, uri, url;
  std::uint64_t seed;
  std::atomic<bool> on { true };
  std::atomic<double> deadline { 1e9 }; // for what is still unanswered once the traffic ends
  std::atomic<bool> hangWanted { false };
  bool going() const { return on && !interrupted; }
  bool retrying() const { return !interrupted && record.now() < deadline; }
};

// A sender's own draw: states that change often, now and then a slow plugin run, ids of 32 hex digits as rsyslog's.
struct Words {
  Words(std::uint64_t seed, int sender)
      : rng(seed * 1000003 + static_cast<std::uint64_t>(sender))
  {
  }
  std::string word()
  {
    static const char* const words[] = { "CRIT", "WARN", "fine", "UNKN", "fine", "CRIT", "fine" };
    return words[rng() % std::size(words)];
  }
  std::string extra() { return rng() % 8 == 0 ? " SLEEP1" : ""; }
  std::string id()
  {
    char text[40];
    std::snprintf(text, sizeof text, "%016llX%016llX", static_cast<unsigned long long>(rng()),
        static_cast<unsigned long long>(rng()));
    return text;
  }

  std::mt19937_64 rng;
};

void answered(Traffic& traffic, Note& note, const std::string& answer)
{
  note.answer = answer;
  if (answer == "stored")
    note.answered = traffic.record.now();
}

// Sends the notes until `attempt` (which records their answers) says they are answered for good, or the drain ends.
void deliver(
    Traffic& traffic, const std::vector<Note*>& notes, double pauseSeconds, const std::function<bool()>& attempt)
{
  for (Note* note : notes)
    note->sent = traffic.record.now();
  while (traffic.retrying()) {
    for (Note* note : notes)
      ++note->tries;
    if (attempt())
      return;
    pause(pauseSeconds);
  }
}

// quelm-notify --confirm fed as rsyslog's omprog feeds it: a line at a time through a pipe, each answered before the
// next; a program that gives no answer within 10 s (rsyslog's confirmTimeout) is replaced.
struct ConfirmFeed {
  Traffic& traffic;
  const std::string name;
  std::unique_ptr<TestProcess> process {};
  int fd = -1, started = 0;
  std::size_t seen = 0;

  ~ConfirmFeed() { close(true); }

  // "OK" or "ERROR: ...", or empty when no answer came.
  std::string exchange(const std::string& line)
  {
    const std::string text = line + "\n";
    std::string answer;
    if ((process || open()) && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size())
        && waitFor(10, [&] { return !(answer = next()).empty(); }))
      return answer;
    close(false);
    return "";
  }
  bool open()
  {
    const std::string fifo = traffic.dir.path() + "/" + name + "-" + std::to_string(++started) + ".fifo";
    ::mkfifo(fifo.c_str(), 0600);
    process = std::make_unique<TestProcess>(Lines { "/bin/sh", "-c",
        "exec " + notifyTool + " " + traffic.uri + " --cacert " + traffic.pem + " --confirm < " + fifo });
    seen = 0;
    std::string greeting;
    // Opened without a reader, a FIFO fails at once with O_NONBLOCK: tried until the program has it open.
    return waitFor(10, [&] { return (fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; })
        && ::fcntl(fd, F_SETFL, 0) == 0 && waitFor(10, [&] { return !(greeting = next()).empty(); })
        && greeting == "OK";
  }
  void close(bool atEnd)
  {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
    if (process && atEnd && process->wait(20) != 0)
      traffic.record.at(name + ": quelm-notify did not end well at the end of its input: " + process->output());
    process.reset();
  }
  // The next answer line (the program's standard error shares the file).
  std::string next()
  {
    std::size_t count = 0;
    for (const std::string& line : split(process->output(), false))
      if ((line.rfind("OK", 0) == 0 || line.rfind("ERROR", 0) == 0) && count++ == seen)
        return ++seen, line;
    return "";
  }
};

// rsyslog's side: a line is sent again after an ERROR answer (after action.resumeInterval, here 1 s), or to a new
// quelm-notify when none came.
void confirmSender(Traffic& traffic, int index, const Lines& hosts)
{
  ConfirmFeed feed { traffic, "confirm" + std::to_string(index) };
  Words words(traffic.seed, index);
  for (std::size_t i = 0; traffic.going(); ++i) {
    const std::string word = words.word();
    Note& note = traffic.ledger.add(hosts[i % hosts.size()], word, words.extra(), words.id(), "confirm");
    deliver(traffic, { &note }, 1, [&] {
      const std::string answer = feed.exchange(json(note));
      answered(traffic, note, answer == "OK" ? "stored" : answer.empty() ? "no answer within 10 s" : answer);
      return note.answered >= 0;
    });
  }
}

// Acknowledged WebSocket messages on one session of quelm-notify --ack, all sent again after exit status 4 (dropped,
// shutdown, no reply, connection lost) or 1 (no connection); a copy of one already applied is answered stored.
void sendAcknowledged(Traffic& traffic, const std::vector<Note*>& notes)
{
  std::string lines;
  for (Note* note : notes)
    lines += json(*note) + "\n";
  deliver(traffic, notes, 0.5, [&] {
    TestProcess notify({ notifyTool, traffic.uri, "--cacert", traffic.pem, "--ack", "--stdin" }, lines);
    const int status = notify.wait(60);
    for (Note* note : notes)
      answered(traffic, *note, status == 0 ? "stored" : "exit " + std::to_string(status) + ": " + notify.output());
    return status == 0 || status == 3; // 3: final, and not stored
  });
}

// One message at a time; it carries the HANG word when a fault asks for it and its host's plugin is the persistent
// one whose process hangs once.
void ackSender(Traffic& traffic, int index, const Lines& hosts)
{
  Words words(traffic.seed, index);
  for (std::size_t i = 0; traffic.going(); ++i) {
    const std::string& host = hosts[i % hosts.size()];
    const bool hangs = serviceOf(host) % 3 == 1 && traffic.hangWanted.exchange(false);
    const std::string word = words.word();
    Note& note = traffic.ledger.add(host, word, hangs ? " HANG" : words.extra(), words.id(), "ack");
    if (hangs)
      traffic.record.at("hang: " + host + " seq=" + std::to_string(note.seq) + " carries HANG");
    sendAcknowledged(traffic, { &note });
  }
}

// curl: an HTTPS batch of one notification per host, sent again whole after a 503, a time-out or a lost connection;
// the next batch once this one is answered 200.
void batchSender(Traffic& traffic, int index, const Lines& hosts)
{
  Words words(traffic.seed, index);
  while (traffic.going()) {
    std::vector<Note*> batch;
    std::string body;
    for (const std::string& host : hosts) {
      const std::string word = words.word();
      batch.push_back(&traffic.ledger.add(host, word, words.extra(), words.id(), "https"));
      body += (body.empty() ? "[" : ",") + json(*batch.back());
    }
    deliver(traffic, batch, 1, [&] {
      CommandResult posted = runCommand("curl -sS --max-time 15 --cacert " + shellQuote(traffic.pem)
              + " -H 'Content-Type: application/json' --data-binary @- -w '\\n%{http_code}' " + traffic.url,
          body + "]", 25);
      const Lines lines = split(posted.out, false);
      const std::string code = lines.empty() ? "-" : lines.back();
      std::size_t at = 0;
      for (Note* note : batch) {
        at = code == "200" && at != std::string::npos ? posted.out.find("\"status\":\"", at + 1) : std::string::npos;
        const std::string status
            = at == std::string::npos ? "" : posted.out.substr(at + 10, posted.out.find('"', at + 10) - at - 10);
        answered(traffic, *note, status == "stored" ? status : "HTTP " + code + " " + status + posted.err);
      }
      return code == "200";
    });
  }
}

// The real syslog-ng, fed a line per host at a time through its TCP input: the next once the last is in the database
// (syslog-ng's only answer is to its own disk buffer).
void syslogSender(Traffic& traffic, SyslogNg& forwarder, const Lines& hosts)
{
  Words words(traffic.seed, 99);
  std::map<std::string, Note*> waiting; // by host
  while ((traffic.going() || !waiting.empty()) && traffic.retrying()) {
    std::string lines, seqs;
    for (const std::string& host : hosts) {
      if (waiting.count(host) || !traffic.going())
        continue;
      const std::string word = words.word();
      Note& note = traffic.ledger.add(host, word, words.extra(), "", "syslog-ng");
      note.sent = traffic.record.now(), note.tries = 1;
      waiting[host] = &note;
      lines += "<14>Dec  7 05:00:00 " + host + " probe: " + note.text + "\n";
    }
    if (!lines.empty() && !forwarder.send(lines))
      traffic.record.at("syslog-ng takes no line: " + forwarder.process->output());
    pause(0.3);
    for (const auto& [host, note] : waiting)
      seqs += (seqs.empty() ? "" : ",") + std::to_string(note->seq);
    if (seqs.empty())
      continue;
    for (const Lines& row : traffic.oracle.rows("SELECT DISTINCT seq::text FROM writes WHERE seq IN (" + seqs + ")"))
      for (auto it = waiting.begin(); it != waiting.end(); ++it)
        if (std::to_string(it->second->seq) == row[0]) {
          answered(traffic, *it->second, "stored");
          waiting.erase(it);
          break;
        }
  }
}

// ---- The system under test.

// A process's resident memory in KiB, its open descriptors and its children.
std::vector<long> usageOf(pid_t pid)
{
  const std::string pidText = std::to_string(pid), proc = "/proc/" + pidText + "/";
  const Lines words = split(
      runCommand("awk '/VmRSS/ {print $2}' " + proc + "status; ls " + proc + "fd | wc -l; pgrep -c -P " + pidText).out,
      true);
  return words.size() == 3 ? std::vector<long> { std::stol(words[0]), std::stol(words[1]), std::stol(words[2]) }
                           : std::vector<long> { 0, 0, 0 };
}

// The first and last few lines of the Receivers' logs that contain the text.
std::string logLines(const TempDir& dir, const std::string& text)
{
  return runCommand("cd " + shellQuote(dir.path()) + " && grep -F -- " + shellQuote(text)
      + " receiver?.log* | cut -c1-300 | (head -6; tail -6) | sed 's/^/    /'")
      .out;
}

// Threads that are always joined: unwinding first tells them to end.
struct Crew {
  Record& record;
  std::vector<std::thread> threads {};

  ~Crew()
  {
    if (std::uncaught_exceptions() > 0)
      interrupted = true;
    joinAll();
  }
  void add(std::function<void()> body)
  {
    threads.emplace_back([this, body] {
      try {
        body();
      } catch (const std::exception& error) {
        record.violation("harness", std::string("harness error, not the Receiver's: ") + error.what());
      }
    });
  }
  void joinAll()
  {
    for (std::thread& thread : threads)
      thread.join();
    threads.clear();
  }
};

// ---- The campaign.

struct Options {
  double seconds = 90;
  std::uint64_t seed = std::random_device {}();
  std::string keep;
};

struct Done {
  Kind kind;
  std::string what;
  double start, end;
};

Lines hostRange(int from, int to)
{
  Lines hosts;
  for (int h = from; h < to; ++h)
    hosts.push_back(std::string("host") + (h < 10 ? "0" : "") + std::to_string(h));
  return hosts;
}

class Campaign {
public:
  explicit Campaign(const Options& options)
      : options_(options)
  {
  }
  int run();

private:
  void setUp();
  // The three Receivers, each restarted on its own port; a restart keeps the last log as LOG.N.
  std::string log(int r) const { return dir_.path() + "/receiver" + std::to_string(r) + ".log"; }
  bool startReceiver(int r);
  void execute(const Fault& fault);
  void judge();
  void judgeAlerts();
  void stopReceivers();

  const Options& options_;
  const std::vector<Fault> plan_ = planFaults(options_.seed, options_.seconds);
  Record record_;
  PrivateCluster cluster_;
  TempDir dir_;
  const std::string pem_ = makeCertificatePem(dir_, "receiver.pem", "localhost");
  std::string steady_, flaky_;
  std::unique_ptr<TcpProxy> primary_, standby_, front_;
  std::unique_ptr<Site> site_;
  std::unique_ptr<Oracle> oracle_;
  std::map<std::string, std::string> config_;
  std::vector<int> ports_ = { freeLoopbackPort(), freeLoopbackPort(), freeLoopbackPort() };
  std::unique_ptr<TestProcess> receivers_[3];
  std::vector<long> base_[3]; // usageOf at the start
  int restarts_[3] = {};
  std::unique_ptr<Traffic> traffic_;
  Ledger ledger_;
  std::vector<Done> done_;
  bool failedOver_ = false;
};

// host00-07 rsyslog-like, 08-11 syslog-ng, 12-17 acknowledged WebSocket, 18-21 curl, 22-27 the bursts; three stale.
void Campaign::setUp()
{
  if (!cluster_.startStandby(true))
    throw std::runtime_error("the synchronous standby did not start");
  const std::string primaryPort = clusterSetting(cluster_.envFile(), "PGPORT"),
                    standbyPort = clusterSetting(cluster_.standbyEnvFile(), "PGPORT");
  ::setenv("PGTARGETSESSIONATTRS", "read-write", 1);
  std::string env = "PGHOST=127.0.0.1,127.0.0.1\nPGPORT=" + primaryPort + "," + standbyPort + "\n";
  for (const char* key : { "PGUSER", "PGPASSWORD", "PGDATABASE" })
    env += std::string(key) + "=" + clusterSetting(cluster_.envFile(), key) + "\n";
  site_ = std::make_unique<Site>(dir_, "site", 28, 3, dir_.write("both.env", env));
  steady_ = dir_.write("site-steady", readFile(site_->plugin), true);
  flaky_ = dir_.write("site-flaky", readFile(site_->plugin), true);
  dir_.write("site-alert.sh", "#!/bin/sh\necho \"$1 $(/bin/date +%s.%N)\" >> " + site_->alerts + "\n", true);
  site_->db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (2, '" + steady_ + "'), (3, '" + flaky_
      + "');" + readFile(std::string(QUELM_SOURCE_DIR) + "/tests/chaos/oracle.sql"));
  oracle_.reset(new Oracle { site_->db, {} });
  // The Receivers reach each server through a proxy of the campaign's, to freeze.
  primary_ = std::make_unique<TcpProxy>(std::stoi(primaryPort));
  standby_ = std::make_unique<TcpProxy>(std::stoi(standbyPort));
  config_ = { { "POSTGRESQL.cluster", "1" }, { "POSTGRESQL.PGSQL_host", "127.0.0.1,127.0.0.1" },
    { "POSTGRESQL.PGSQL_port", std::to_string(primary_->port()) + "," + std::to_string(standby_->port()) },
    { "POSTGRESQL.target_session_attrs", "read-write" }, { "POSTGRESQL.connection_number", "3" },
    { "POSTGRESQL.connect_timeout", "5" }, { "POSTGRESQL.answer_timeout", "5" }, { "SYSLOG.plugin_timeout", "4" },
    { "SYSLOG.alert_timeout", "10" }, { "SYSLOG.cleaning_cycle", "5" }, { "SYSLOG.queue_limit", "30" },
    { "SYSLOG.resend_window", "1800" }, { "PLUGINS.persistent", steady_ + "," + flaky_ } };
  for (int r = 0; r < 3; ++r)
    if (!startReceiver(r))
      throw std::runtime_error("receiver" + std::to_string(r) + " did not start: " + readFile(log(r)));
}

bool Campaign::startReceiver(int r)
{
  if (::access(log(r).c_str(), F_OK) == 0)
    std::rename(log(r).c_str(), (log(r) + "." + std::to_string(++restarts_[r])).c_str());
  receivers_[r] = site_->startReceiver(dir_, "receiver" + std::to_string(r), ports_[r], pem_, config_, { "-D" });
  if (!started(log(r)))
    return false;
  // Taken before the senders come: HAProxy sends them only once two checks have found it up.
  base_[r] = usageOf(receivers_[r]->pid());
  return true;
}

int Campaign::run()
{
  for (const Fault& fault : plan_)
    record_.say("plan " + oneDecimal(fault.at) + " s " + nameOf(fault.kind) + " (receiver"
        + std::to_string(fault.target) + ", " + oneDecimal(fault.length) + " s)");
  setUp();
  // Senders reach the shipped HAProxy through a proxy of the campaign's, to cut.
  const int haproxyPort = freeLoopbackPort();
  std::string missing;
  const std::string haproxy = haproxyConfig(haproxyPort, ports_, missing);
  if (!missing.empty())
    throw std::runtime_error("not in the shipped HAProxy configuration: " + missing);
  TestProcess balancer({ "/usr/sbin/haproxy", "-db", "-f", dir_.write("haproxy.cfg", haproxy) });
  front_ = std::make_unique<TcpProxy>(haproxyPort);
  const std::string front = std::to_string(front_->port());
  SyslogNg forwarder(dir_, front_->port(), pem_);
  if (!forwarder.missing.empty())
    throw std::runtime_error("syslog-ng: not found: " + forwarder.missing);
  traffic_.reset(new Traffic { record_, ledger_, *oracle_, dir_, pem_, "wss://127.0.0.1:" + front + "/",
      "https://localhost:" + front + "/v1/notifications", options_.seed });
  traffic_->deadline = options_.seconds + 900; // a bound on the whole run, whatever happens
  record_.restart();
  record_.at("started: 3 Receivers, HAProxy, syslog-ng, a primary and its synchronous standby");
  std::atomic<bool> watching { true };
  Crew senders { record_ }, watch { record_ };
  senders.add([&] { confirmSender(*traffic_, 0, hostRange(0, 4)); });
  senders.add([&] { confirmSender(*traffic_, 1, hostRange(4, 8)); });
  senders.add([&] { syslogSender(*traffic_, forwarder, hostRange(8, 12)); });
  senders.add([&] { ackSender(*traffic_, 2, hostRange(12, 15)); });
  senders.add([&] { ackSender(*traffic_, 3, hostRange(15, 18)); });
  senders.add([&] { batchSender(*traffic_, 4, hostRange(18, 22)); });
  // During the run: never two open occurrences of a service, never a notification written twice.
  watch.add([&] {
    for (; watching && !interrupted; pause(1)) {
      for (const Lines& row : oracle_->rows("SELECT happen_service_id || ' ' || string_agg(happen_id::text, ',') FROM "
                                            "quelm_error_happen WHERE happen_acquitte = 0 GROUP BY happen_service_id "
                                            "HAVING count(*) > 1"))
        record_.violation("open " + row[0], "service " + row[0] + " has two open occurrences: " + row[1]);
      for (const Lines& row : oracle_->rows(
               "SELECT seq || ' ' || count(*) FROM writes WHERE seq IS NOT NULL GROUP BY seq HAVING count(*) > 1"))
        record_.violation("twice " + row[0], "seq=" + row[0] + " written " + row[1] + " times (more at the end)");
    }
  });
  // The faults one after the other: one that comes late (a stop takes 10 s and more) starts when the last ends.
  for (auto fault = plan_.begin(); fault != plan_.end() && !interrupted; pause(0.1))
    if (record_.now() >= fault->at)
      execute(*fault++);
  while (record_.now() < options_.seconds && !interrupted)
    pause(0.1);
  traffic_->on = false;
  traffic_->deadline = record_.now() + 150;
  record_.at("the traffic ends; what is unanswered is sent again until " + oneDecimal(traffic_->deadline) + " s");
  senders.joinAll();
  forwarder.process->signal(SIGTERM);
  forwarder.process->wait(30);
  // The alerts still recorded are run by a cleaning pass (every 5 s) at the latest.
  if (!interrupted && !waitFor(60, [&] { return oracle_->ask("SELECT count(*) FROM quelm_receiver_alerts") == "0"; }))
    record_.violation("alerts",
        "alerts still recorded a minute after the traffic, of the occurrences "
            + oracle_->ask("SELECT string_agg(occurrence_id::text, ' ') FROM quelm_receiver_alerts"));
  pause(3);
  watching = false;
  watch.joinAll();
  if (!interrupted)
    judge();
  balancer.signal(SIGTERM);
  balancer.wait(10);
  stopReceivers();

  std::string byKind;
  for (int k = 0; k <= static_cast<int>(Kind::hang); ++k)
    if (const auto n = std::count_if(done_.begin(), done_.end(), [&](const Done& f) { return int(f.kind) == k; }))
      byKind += (byKind.empty() ? "" : ", ") + std::to_string(n) + " " + nameOf(Kind(k));
  if (record_.violations() > 0) {
    const std::string keep
        = options_.keep.empty() ? "/tmp/quelm-chaos-" + std::to_string(options_.seed) : options_.keep;
    runCommand("mkdir -p " + shellQuote(keep) + " && cp " + shellQuote(dir_.path()) + "/receiver?.log* "
        + shellQuote(site_->alerts) + " " + shellQuote(keep));
    record_.say("logs kept in " + keep);
  }
  record_.say(std::to_string(ledger_.notes.size()) + " notifications, " + std::to_string(done_.size()) + " faults ("
      + byKind + "), " + std::to_string(record_.violations()) + " violations, seed " + std::to_string(options_.seed));
  return interrupted ? 2 : record_.violations() > 0 ? 1 : 0;
}

void Campaign::execute(const Fault& fault)
{
  const double start = record_.now();
  std::string what = nameOf(fault.kind);
  if (fault.kind == Kind::kill || fault.kind == Kind::term) {
    const int r = fault.target;
    receivers_[r]->signal(fault.kind == Kind::kill ? SIGKILL : SIGTERM);
    const int status = receivers_[r]->wait(60);
    what += " receiver" + std::to_string(r) + " (exit " + std::to_string(status) + ")";
    if (fault.kind == Kind::term && status != 0)
      record_.violation("term " + oneDecimal(start),
          "receiver" + std::to_string(r) + " stopped by SIGTERM at " + oneDecimal(start) + " s ended with status "
              + std::to_string(status) + " at " + oneDecimal(record_.now()) + " s");
    if (fault.kind == Kind::kill)
      pause(std::min(fault.length, 3.0));
    for (int attempt = 0; attempt < 2 && !startReceiver(r); ++attempt)
      record_.violation("start " + oneDecimal(record_.now()),
          "receiver" + std::to_string(r) + " did not start: " + readFile(log(r)).substr(0, 2000));
  } else if (fault.kind == Kind::pgRestart) {
    if (!(failedOver_ ? cluster_.controlStandby("restart") : cluster_.control("restart")))
      throw std::runtime_error("the database did not restart");
  } else if (fault.kind == Kind::failover) {
    cluster_.control("crash");
    // A dead host refuses connections: a proxy that took them and closed them would keep libpq from trying the next.
    primary_.reset();
    pause(fault.length);
    if (!cluster_.controlStandby("promote"))
      throw std::runtime_error("the standby was not promoted");
    failedOver_ = true;
  } else if (fault.kind == Kind::freeze) {
    TcpProxy& proxy = failedOver_ ? *standby_ : *primary_;
    proxy.freeze();
    pause(fault.length);
    proxy.thaw();
    what += " the database for " + oneDecimal(fault.length) + " s";
  } else if (fault.kind == Kind::cut) {
    // A path that first goes silent, then breaks.
    front_->freeze();
    pause(fault.length / 2);
    front_->cut();
    front_->thaw();
    what += " every sender's connection, after " + oneDecimal(fault.length / 2) + " s frozen";
  } else if (fault.kind == Kind::burst) {
    // Three sessions at once, each sending twice queue_limit of one word for two hosts: whatever the queue drops is
    // sent again, in whatever order, and the hosts end in that word's state.
    Words words(options_.seed, 1000 + static_cast<int>(done_.size()));
    const std::string word = words.word();
    const Lines hosts = hostRange(22, 28);
    Crew sessions { record_ };
    for (int s = 0; s < 3; ++s) {
      std::vector<Note*> notes;
      for (int i = 0; i < 60; ++i)
        notes.push_back(&ledger_.add(hosts[2 * s + i % 2], word, "", words.id(), "burst"));
      sessions.add([this, notes] { sendAcknowledged(*traffic_, notes); });
    }
    sessions.joinAll();
    what += " of 180 " + word;
  } else if (fault.kind == Kind::hang) {
    ::unlink((steady_ + ".hung").c_str());
    traffic_->hangWanted = true;
    what += ": the next notification for host12 or host15";
  }
  done_.push_back({ fault.kind, what, start, record_.now() });
  record_.say(oneDecimal(start) + " s fault " + what + ", over at " + oneDecimal(record_.now()) + " s");
}

void Campaign::judge()
{
  // Each marked write: its service, the state it wrote and how many occurrences its transaction opened.
  std::map<int, Lines> writes;
  for (const Lines& row : oracle_->rows("SELECT seq || ' ' || service || ':' || new_state || ' ' || (SELECT count(*) "
                                        "FROM occurrences o WHERE o.tx = w.tx AND o.service = w.service AND o.opened) "
                                        "FROM writes w WHERE seq IS NOT NULL ORDER BY n"))
    writes[std::stoi(row[0])].insert(writes[std::stoi(row[0])].end(), row.begin() + 1, row.end());
  std::map<std::string, const Note*> last;
  for (const Note& note : ledger_.notes) {
    last[note.host] = &note;
    const Lines& wrote = writes[note.seq]; // effect, occurrences opened, effect, ...
    const std::string seq = std::to_string(note.seq),
                      expected = std::to_string(serviceOf(note.host)) + ":" + std::to_string(stateOf(note.word));
    std::string about = note.host + " seq=" + seq + (note.id.empty() ? "" : " id=" + note.id) + " via " + note.sender
        + ", sent at " + oneDecimal(note.sent) + " s, " + std::to_string(note.tries) + " tries, "
        + (note.answered >= 0 ? "answered stored at " + oneDecimal(note.answered) + " s"
                              : "last answer " + note.answer);
    auto logs = [&] { return note.id.empty() ? std::string() : "\n" + logLines(dir_, note.id); };
    if (note.text.find("HANG") != std::string::npos)
      record_.say("hang: " + about); // the plugin_timeout (4 s) shows in its answer's time
    if (note.answered < 0)
      record_.violation("unanswered " + seq, "never answered stored: " + about + logs());
    else if (wrote.empty())
      record_.violation("lost " + seq, "answered stored, never written: " + about + logs());
    if (wrote.size() > 2)
      record_.violation("twice " + seq, "applied " + std::to_string(wrote.size() / 2) + " times: " + about + logs());
    if (!wrote.empty() && wrote[0] != expected)
      record_.violation("effect " + seq, "wrote service:state " + wrote[0] + ", not " + expected + ": " + about);
    int opened = 0;
    for (std::size_t i = 1; i < wrote.size(); i += 2)
      opened += std::stoi(wrote[i]);
    if (opened > 1)
      record_.violation("opened " + seq, "opened " + std::to_string(opened) + " occurrences: " + about + logs());
  }
  // Each host ends in the state of the last notification sent for it (a burst's hosts: in the last burst's word).
  for (const Lines& row : oracle_->rows("SELECT service_name || ' ' || service_previous_state || ' ' || "
                                        "coalesce(substring(service_last_stdout from 'seq=([0-9]+)'), '-') FROM "
                                        "quelm_services WHERE service_id < 1000")) {
    const std::string host = row[0].substr(0, row[0].find('-'));
    const Note* note = last.count(host) ? last[host] : nullptr;
    if (note && note->answered >= 0
        && (std::stoi(row[1]) != stateOf(note->word)
            || (note->sender != "burst" && row[2] != std::to_string(note->seq))))
      record_.violation("final " + host,
          host + " ends in state " + row[1] + " written by seq=" + row[2]
              + ", but its last notification was seq=" + std::to_string(note->seq) + " (" + note->word
              + "), answered stored at " + oneDecimal(note->answered) + " s");
  }
  // A change to an error state opens its occurrence in its own transaction.
  for (const Lines& row :
      oracle_->rows("SELECT service || ' ' || coalesce(seq::text, '-') || ' ' || old_state || '>' || "
                    "new_state FROM writes w WHERE new_state > 0 AND new_state <> old_state AND "
                    "(SELECT count(*) FROM occurrences o WHERE o.tx = w.tx AND o.service = w.service "
                    "AND o.opened) <> 1"))
    record_.violation("no occurrence " + row[1],
        "service " + row[0] + " went " + row[2] + " (seq=" + row[1]
            + ") without opening one occurrence in that transaction");
  for (const Lines& row : oracle_->rows("SELECT DISTINCT service::text FROM doubled"))
    record_.violation("open " + row[0], "service " + row[0] + " had two open occurrences (seen by a trigger)");
  const std::string stale
      = oracle_->ask("SELECT count(*) FROM quelm_error_happen WHERE happen_service_id >= 1000 AND happen_acquitte = 0");
  if (stale != "0")
    record_.violation("stale", stale + " stale occurrences left open by the cleaner");
  judgeAlerts();
}

// Every transition's alert ran once: an occurrence is alerted when it is opened, and again when a return to OK (a
// notification's or the cleaner's) closes it. A second run is tolerated only around a kill or a stop of a Receiver,
// or a fault that cost the Receivers their database sessions.
void Campaign::judgeAlerts()
{
  std::map<long, std::vector<double>> runs;
  for (const std::string& line : split(readFile(site_->alerts), false)) {
    const Lines words = split(line, true);
    if (words.size() == 2)
      runs[std::stol(words[0])].push_back(record_.ofWall(std::stod(words[1])));
  }
  int tolerated = 0;
  for (const Lines& row : oracle_->rows(
           "SELECT h.happen_id || ' ' || h.happen_service_id || ' ' || ((SELECT count(*) FROM occurrences o WHERE "
           "o.happen_id = h.happen_id AND o.opened) + (SELECT count(*) FROM occurrences o JOIN writes w ON w.tx = "
           "o.tx AND w.service = o.service AND w.new_state = 0 WHERE o.happen_id = h.happen_id AND NOT o.opened)) FROM "
           "quelm_error_happen h")) {
    std::vector<double> times = runs[std::stol(row[0])];
    runs.erase(std::stol(row[0]));
    const std::size_t expected = std::stoul(row[2]);
    std::sort(times.begin(), times.end());
    std::string about = "occurrence " + row[0] + " of service " + row[1] + ": " + row[2] + " alerts expected, "
        + std::to_string(times.size()) + " ran (at";
    for (double t : times)
      about += " " + oneDecimal(t);
    about += " s)";
    if (times.size() < expected)
      record_.violation("alert " + row[0], "alert missing: " + about);
    if (times.size() <= expected)
      continue;
    // The last fault that began before the last run and ended (its sessions given up) near the first.
    auto cause = std::find_if(done_.rbegin(), done_.rend(), [&](const Done& f) {
      return f.kind != Kind::cut && f.kind != Kind::burst && f.kind != Kind::hang && f.start <= times.back()
          && f.end + 6 >= times.front() - 1;
    });
    if (cause == done_.rend()) {
      record_.violation("alert " + row[0], "alert ran again: " + about);
    } else {
      ++tolerated;
      record_.say(
          "tolerated: " + about + ", around the fault " + cause->what + " at " + oneDecimal(cause->start) + " s");
    }
  }
  for (const auto& run : runs)
    record_.violation("alert " + std::to_string(run.first),
        "an alert ran for occurrence " + std::to_string(run.first) + ", which does not exist");
  record_.say(std::to_string(tolerated) + " double alert runs tolerated");
}

// After the last notification: each Receiver back near what it used at its start (each persistent plugin process
// holds three pipes), a clean stop, and no plugin process left.
void Campaign::stopReceivers()
{
  for (int r = 0; r < 3; ++r) {
    const std::vector<long> now = usageOf(receivers_[r]->pid()), base = base_[r];
    const std::string name = "receiver" + std::to_string(r),
                      text = name + ": " + std::to_string(base[0] / 1024) + " MiB and " + std::to_string(base[1])
        + " descriptors at its start, " + std::to_string(now[0] / 1024) + " MiB and " + std::to_string(now[1])
        + " with " + std::to_string(now[2]) + " persistent plugin processes at the end";
    record_.say(text);
    if (now[1] > base[1] + 3 * now[2] + 10 || now[0] > base[0] + 48 * 1024)
      record_.violation("usage " + name, "not back near its start: " + text);
  }
  for (int r = 0; r < 3; ++r)
    receivers_[r]->signal(SIGTERM);
  for (int r = 0; r < 3; ++r) {
    const int status = receivers_[r]->wait(60);
    if (status != 0)
      record_.violation("last stop " + std::to_string(r),
          "receiver" + std::to_string(r) + " ended with status " + std::to_string(status) + " at the last stop");
  }
  const std::string plugins = "pgrep -f " + shellQuote(dir_.path() + "/site-(plugin|steady|flaky)");
  if (!waitFor(10, [&] { return runCommand(plugins).out.empty(); }))
    record_.violation("plugins", "plugin processes left after the last stop: " + runCommand(plugins + " -a").out);
}

void interrupt(int) { interrupted = true; }

} // namespace

int main(int argc, char** argv)
{
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    if (key == "--seconds")
      options.seconds = std::stod(argv[i + 1]);
    else if (key == "--seed")
      options.seed = std::stoull(argv[i + 1]);
    else if (key == "--keep")
      options.keep = argv[i + 1];
  }
  if (argc % 2 == 0 || options.seconds < 30) {
    std::cerr << "usage: quelm-chaos [--seconds N (30 or more)] [--seed S] [--keep DIR]\n";
    return 2;
  }
  std::cout << "chaos: seed " << options.seed << std::endl;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, interrupt);
  std::signal(SIGTERM, interrupt);
  try {
    Campaign campaign(options);
    return campaign.run();
  } catch (const std::exception& error) {
    std::cout << "chaos: the campaign could not run: " << error.what() << std::endl;
    return 2;
  }
}
