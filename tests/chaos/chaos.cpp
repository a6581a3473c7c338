// quelm-chaos: a seeded random fault campaign against three Receivers in cluster mode behind the shipped HAProxy
// configuration, over a PostgreSQL primary with a synchronous standby, fed by the senders the README describes, with an
// oracle that checks what the database and the alerting program saw against what every sender was told.
//   quelm-chaos [--seconds N] [--seed S] [--keep DIR]
#include "tests/support/certificates.h"
#include "tests/support/command.h"
#include "tests/support/free_port.h"
#include "tests/support/site.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/test_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

namespace {

const std::string binaryDir = QUELM_BINARY_DIR;
using Clock = std::chrono::steady_clock;

// Set by SIGINT or SIGTERM, and when the run unwinds: every loop below ends soon after.
std::atomic<bool> interrupted { false };

void pause(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

std::string oneDecimal(double value)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

std::vector<std::string> wordsOf(const std::string& line)
{
  std::istringstream in(line);
  std::vector<std::string> words;
  for (std::string word; in >> word;)
    words.push_back(word);
  return words;
}

std::vector<std::string> linesOf(const std::string& text)
{
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);)
    lines.push_back(line);
  return lines;
}

// The run's clock and its printed record. Every line starts with "chaos: "; a finding is counted once, by its key.
class Record {
public:
  double now() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  // Time 0 is when the traffic starts.
  void restart()
  {
    start_ = Clock::now();
    wallStart_ = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  }
  // Seconds of the run at a wall-clock time (as the alerting program writes it).
  double ofWall(double wall) const { return wall - wallStart_; }
  void say(const std::string& line)
  {
    std::lock_guard<std::mutex> hold(lock_);
    std::cout << "chaos: " << line << std::endl;
  }
  void at(const std::string& line) { say(oneDecimal(now()) + " s " + line); }
  void violation(const std::string& key, const std::string& line)
  {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (!found_.insert(key).second)
        return;
    }
    at("VIOLATION " + line);
  }
  int violations() const { return static_cast<int>(found_.size()); }

private:
  Clock::time_point start_ = Clock::now();
  double wallStart_ = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  std::mutex lock_;
  std::set<std::string> found_;
};

// ---- The fault plan: drawn whole from the seed before anything starts, so that a seed names its faults.

enum class Kind { kill, term, pgRestart, failover, freeze, cut, burst, hang };
const char* nameOf(Kind kind)
{
  static const char* const names[] = { "kill", "term", "pg-restart", "failover", "freeze", "cut", "burst", "hang" };
  return names[static_cast<int>(kind)];
}

struct Fault {
  double at;
  Kind kind;
  int target; // the Receiver, for kill and term
  double length; // seconds down, frozen or cut off
};

// One fault every 12 s or so, each kind once before any comes again, and the failover once, in the middle half. The
// draws are our own arithmetic on the engine's numbers (the standard distributions differ between libraries).
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
  const std::size_t count = std::max(first.size(), static_cast<std::size_t>(seconds / 12));
  std::vector<Fault> plan;
  for (std::size_t i = 0; i < count; ++i) {
    Kind kind = i < first.size() ? first[i] : weighted[rng() % std::size(weighted)];
    plan.push_back({ uniform(5, std::max(6.0, seconds - 10)), kind, static_cast<int>(rng() % 3), uniform(1, 8) });
  }
  plan.push_back({ uniform(0.25, 0.75) * seconds, K::failover, 0, 1 });
  std::sort(plan.begin(), plan.end(), [](const Fault& a, const Fault& b) { return a.at < b.at; });
  return plan;
}

std::string describe(const Fault& fault)
{
  std::string text = oneDecimal(fault.at) + " s " + nameOf(fault.kind);
  if (fault.kind == Kind::kill || fault.kind == Kind::term)
    text += " receiver" + std::to_string(fault.target);
  if (fault.kind == Kind::freeze || fault.kind == Kind::cut)
    text += " (" + oneDecimal(fault.length / (fault.kind == Kind::cut ? 2 : 1)) + " s frozen)";
  return text;
}

// ---- What the senders sent and were answered.

struct Note {
  int seq;
  std::string host, word, text, id, sender;
  double sent = -1, answered = -1;
  std::string answer; // "stored", or the last answer that was not
  int tries = 0;
};

int expectedState(const std::string& word) { return word == "CRIT" ? 2 : word == "WARN" ? 1 : word == "UNKN" ? 3 : 0; }
int serviceOf(const std::string& host) { return std::stoi(host.substr(4)) + 1; }

class Ledger {
public:
  // A new notification numbered in the whole run, its marker "seq=N" in the message.
  Note& add(const std::string& host, const std::string& word, const std::string& extra, const std::string& id,
      const std::string& sender)
  {
    std::lock_guard<std::mutex> hold(lock_);
    const int seq = static_cast<int>(notes_.size()) + 1;
    Note& note = notes_.emplace_back();
    note.seq = seq;
    note.host = host;
    note.word = word;
    note.text = word + extra + " seq=" + std::to_string(seq);
    note.id = id;
    note.sender = sender;
    return note;
  }
  // Read once every sender has ended.
  const std::deque<Note>& notes() const { return notes_; }

private:
  std::mutex lock_;
  std::deque<Note> notes_; // a deque: a sender keeps its reference while others add
};

std::string json(const Note& note)
{
  return "{\"fromhost\":\"" + note.host + "\",\"severity\":3,\"message\":\"" + note.text + "\""
      + (note.id.empty() ? "" : ",\"notification_id\":\"" + note.id + "\"") + "}";
}

// The oracle's own connection: it goes to the cluster's primary, whichever server that is by now (libpq reads
// PGTARGETSESSIONATTRS), and waits out a restart or a failover, two minutes at most.
class Oracle {
public:
  explicit Oracle(TestDatabase& db)
      : db_(db)
  {
  }
  std::string ask(const std::string& sql)
  {
    for (int attempt = 0;; ++attempt) {
      try {
        std::lock_guard<std::mutex> hold(lock_);
        return db_.scalar(sql);
      } catch (const std::exception& error) {
        // Only a server away is waited for: a refused statement is the harness's own mistake.
        if (attempt >= 240 || interrupted || std::string(error.what()).find("ERROR:") != std::string::npos)
          throw;
      }
      pause(0.5);
    }
  }
  // The rows of a query whose one column is a line of words.
  std::vector<std::vector<std::string>> rows(const std::string& sql)
  {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : linesOf(ask("SELECT string_agg(line, E'\\n') FROM (" + sql + ") AS r(line)")))
      rows.push_back(wordsOf(line));
    return rows;
  }

private:
  TestDatabase& db_;
  std::mutex lock_;
};

// What every sender shares: where to send, the clock, and when to stop.
struct Traffic {
  Record& record;
  Ledger& ledger;
  Oracle& oracle;
  const TempDir& dir;
  std::string pem, uri, url, hangPlugin;
  std::uint64_t seed;
  std::atomic<bool> on { true };
  std::atomic<double> deadline { 1e18 }; // for notifications still unanswered once the traffic ends
  std::atomic<bool> hangWanted { false };
  bool going() const { return on && !interrupted; }
  bool retrying() const { return !interrupted && record.now() < deadline; }
};

// Each sender's own draw of words: states that change often, and now and then a slow plugin run.
class Words {
public:
  Words(std::uint64_t seed, int sender)
      : rng_(seed * 1000003 + static_cast<std::uint64_t>(sender))
  {
  }
  std::string word()
  {
    static const char* const words[] = { "CRIT", "WARN", "fine", "UNKN", "fine", "CRIT", "fine" };
    return words[rng_() % std::size(words)];
  }
  std::string extra() { return rng_() % 8 == 0 ? " SLEEP1" : ""; }
  // 32 hex digits, as rsyslog's uuid.
  std::string id()
  {
    char text[40];
    std::snprintf(text, sizeof text, "%016llX%016llX", static_cast<unsigned long long>(rng_()),
        static_cast<unsigned long long>(rng_()));
    return text;
  }

private:
  std::mt19937_64 rng_;
};

// quelm-notify --confirm fed as rsyslog's omprog feeds it: a line at a time through a pipe, each answered before the
// next; a program that gives no answer within 10 s is replaced.
class ConfirmFeed {
public:
  ConfirmFeed(Traffic& traffic, std::string name)
      : traffic_(traffic)
      , name_(std::move(name))
  {
  }
  ~ConfirmFeed() { close(true); }
  ConfirmFeed(const ConfirmFeed&) = delete;
  ConfirmFeed& operator=(const ConfirmFeed&) = delete;

  // The answer ("OK" or "ERROR: ..."), or empty when none came within 10 s.
  std::string exchange(const std::string& line)
  {
    if (!process_ && !open())
      return "";
    const std::string text = line + "\n";
    std::string answer;
    if (::write(fd_, text.data(), text.size()) != static_cast<ssize_t>(text.size())
        || !waitFor(10, [&] { return !(answer = next()).empty(); }))
      close(false);
    return answer;
  }
  void close(bool atEnd)
  {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = -1;
    if (process_ && atEnd && process_->wait(20) != 0)
      traffic_.record.at(name_ + ": quelm-notify did not end well at the end of its input: " + process_->output());
    process_.reset();
  }

private:
  bool open()
  {
    const std::string fifo = traffic_.dir.path() + "/" + name_ + "-" + std::to_string(++started_) + ".fifo";
    ::mkfifo(fifo.c_str(), 0600);
    process_ = std::make_unique<TestProcess>(std::vector<std::string> { "/bin/sh", "-c",
        "exec " + binaryDir + "/tools/quelm-notify " + traffic_.uri + " --cacert " + traffic_.pem + " --confirm < "
            + fifo });
    seen_ = 0;
    std::string greeting;
    // A FIFO opened without a reader fails at once with O_NONBLOCK: tried until the program has it open.
    if (waitFor(10, [&] { return (fd_ = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC)) >= 0; })
        && ::fcntl(fd_, F_SETFL, 0) == 0 && waitFor(10, [&] { return !(greeting = next()).empty(); })
        && greeting == "OK")
      return true;
    close(false);
    return false;
  }
  // The next answer line the program wrote (its standard error shares the file).
  std::string next()
  {
    std::size_t count = 0;
    for (const std::string& line : linesOf(process_->output())) {
      if ((line.rfind("OK", 0) == 0 || line.rfind("ERROR", 0) == 0) && count++ == seen_)
        return ++seen_, line;
    }
    return "";
  }

  Traffic& traffic_;
  const std::string name_;
  std::unique_ptr<TestProcess> process_;
  int fd_ = -1;
  int started_ = 0;
  std::size_t seen_ = 0;
};

void answered(Traffic& traffic, Note& note, const std::string& answer)
{
  note.answer = answer;
  if (answer == "stored")
    note.answered = traffic.record.now();
}

// rsyslog's side: each line is sent again after an ERROR answer (after action.resumeInterval, shortened to 1 s) or to
// a new quelm-notify when no answer came.
void confirmSender(Traffic& traffic, int index, const std::vector<std::string>& hosts)
{
  ConfirmFeed feed(traffic, "confirm" + std::to_string(index));
  Words words(traffic.seed, index);
  for (std::size_t i = 0; traffic.going(); ++i) {
    const std::string word = words.word();
    Note& note = traffic.ledger.add(hosts[i % hosts.size()], word, words.extra(), words.id(), "confirm");
    note.sent = traffic.record.now();
    while (note.answered < 0 && traffic.retrying()) {
      ++note.tries;
      const std::string answer = feed.exchange(json(note));
      answered(traffic, note, answer == "OK" ? "stored" : answer.empty() ? "no answer within 10 s" : answer);
      if (note.answered < 0)
        pause(1);
    }
  }
}

// An acknowledged WebSocket sender: one quelm-notify --ack per notification, the same one sent again after exit status
// 4 (dropped, shutdown, no reply, connection lost) or 1 (no connection). It carries the HANG word when a fault asks
// for it and its host's plugin is the persistent one that hangs once.
void ackSender(Traffic& traffic, int index, const std::vector<std::string>& hosts)
{
  Words words(traffic.seed, index);
  for (std::size_t i = 0; traffic.going(); ++i) {
    const std::string& host = hosts[i % hosts.size()];
    const bool hangs = serviceOf(host) % 3 == 1 && traffic.hangWanted.exchange(false);
    const std::string word = words.word();
    Note& note = traffic.ledger.add(host, word, hangs ? " HANG" : words.extra(), words.id(), "ack");
    note.sent = traffic.record.now();
    if (hangs)
      traffic.record.at("hang: " + host + " seq=" + std::to_string(note.seq) + " sent with HANG");
    while (note.answered < 0 && traffic.retrying()) {
      ++note.tries;
      TestProcess notify({ binaryDir + "/tools/quelm-notify", traffic.uri, "--cacert", traffic.pem, "--ack",
          "--timeout", "10", "--json", json(note) });
      const int status = notify.wait(30);
      answered(traffic, note, status == 0 ? "stored" : "exit " + std::to_string(status) + ": " + notify.output());
      if (status == 3)
        break; // final, and not stored: the oracle reports it
      if (note.answered < 0)
        pause(0.5);
    }
  }
}

// A burst on one acknowledged session (quelm-notify --ack --stdin), all of it sent again until every message is
// stored: the copies of those already applied are answered at once.
void burstSender(Traffic& traffic, const std::vector<Note*>& notes)
{
  std::string lines;
  for (Note* note : notes) {
    lines += json(*note) + "\n";
    note->sent = traffic.record.now();
  }
  while (traffic.retrying()) {
    for (Note* note : notes)
      ++note->tries;
    TestProcess notify({ binaryDir + "/tools/quelm-notify", traffic.uri, "--cacert", traffic.pem, "--ack", "--timeout",
                           "10", "--stdin" },
        lines);
    const int status = notify.wait(60);
    for (Note* note : notes)
      answered(traffic, *note, status == 0 ? "stored" : "exit " + std::to_string(status) + ": " + notify.output());
    if (status == 0)
      return;
    pause(1);
  }
}

// An HTTPS batch sent again whole after a 503, a time-out or a lost connection, until it is answered 200.
void postBatch(Traffic& traffic, const std::vector<Note*>& notes)
{
  std::string body;
  for (Note* note : notes) {
    body += (body.empty() ? "[" : ",") + json(*note);
    note->sent = traffic.record.now();
  }
  body += "]";
  while (traffic.retrying()) {
    for (Note* note : notes)
      ++note->tries;
    CommandResult posted = runCommand("curl -sS --max-time 15 --cacert " + shellQuote(traffic.pem)
            + " -H 'Content-Type: application/json' --data-binary @- -w '\\n%{http_code}' " + traffic.url,
        body, 25);
    const std::vector<std::string> lines = linesOf(posted.out);
    if (!lines.empty() && lines.back() == "200") {
      std::size_t at = 0;
      for (Note* note : notes) {
        at = posted.out.find("\"status\":\"", at);
        std::string status
            = at == std::string::npos ? "missing" : posted.out.substr(at + 10, posted.out.find('"', at + 10) - at - 10);
        answered(traffic, *note, status == "stored" ? status : "200 with " + status);
        at = at == std::string::npos ? at : at + 1;
      }
      return;
    }
    for (Note* note : notes)
      answered(traffic, *note, "HTTP " + (lines.empty() ? "-" : lines.back()) + " " + posted.err);
    pause(1);
  }
}

// curl: a batch of one notification per host, the next batch once the last is answered.
void batchSender(Traffic& traffic, int index, const std::vector<std::string>& hosts)
{
  Words words(traffic.seed, index);
  while (traffic.going()) {
    std::vector<Note*> batch;
    for (const std::string& host : hosts) {
      const std::string word = words.word();
      batch.push_back(&traffic.ledger.add(host, word, words.extra(), words.id(), "https"));
    }
    postBatch(traffic, batch);
  }
}

// The real syslog-ng: a line per host at a time through its TCP input, the next once the last is in the database (its
// only answer is to its own disk buffer).
void syslogSender(Traffic& traffic, SyslogNg& forwarder, const std::vector<std::string>& hosts)
{
  Words words(traffic.seed, 99);
  std::map<int, Note*> waiting;
  while ((traffic.going() || !waiting.empty()) && traffic.retrying()) {
    std::string lines, seqs;
    for (const std::string& host : hosts) {
      bool busy = std::any_of(waiting.begin(), waiting.end(), [&](const auto& w) { return w.second->host == host; });
      if (busy || !traffic.going())
        continue;
      const std::string word = words.word();
      Note& note = traffic.ledger.add(host, word, words.extra(), "", "syslog-ng");
      note.sent = traffic.record.now();
      note.tries = 1;
      waiting[note.seq] = &note;
      lines += "<14>Dec  7 05:00:00 " + host + " probe: " + note.text + "\n";
    }
    if (!lines.empty() && !forwarder.send(lines))
      traffic.record.at("syslog-ng does not take lines: " + forwarder.process->output());
    pause(0.3);
    for (const auto& w : waiting)
      seqs += (seqs.empty() ? "" : ",") + std::to_string(w.first);
    if (seqs.empty())
      continue;
    for (const auto& row : traffic.oracle.rows("SELECT DISTINCT seq::text FROM writes WHERE seq IN (" + seqs + ")")) {
      answered(traffic, *waiting[std::stoi(row[0])], "stored");
      waiting.erase(std::stoi(row[0]));
    }
  }
}

// ---- The system under test.

struct Usage {
  long rssKb = 0;
  int fds = 0, children = 0;
};

Usage usageOf(pid_t pid)
{
  Usage usage;
  const std::string proc = "/proc/" + std::to_string(pid);
  for (const std::string& line : linesOf(readFile(proc + "/status")))
    if (line.rfind("VmRSS:", 0) == 0)
      usage.rssKb = std::stol(line.substr(6));
  if (DIR* fds = ::opendir((proc + "/fd").c_str())) {
    while (const dirent* entry = ::readdir(fds))
      usage.fds += entry->d_name[0] != '.';
    ::closedir(fds);
  }
  for (const auto& task :
      std::filesystem::directory_iterator(proc + "/task", std::filesystem::directory_options::skip_permission_denied))
    usage.children += static_cast<int>(wordsOf(readFile(task.path().string() + "/children")).size());
  return usage;
}

// The three Receivers, each restarted on its own port with its own log; a restart keeps the last log as LOG.N.
class Receivers {
public:
  Receivers(Site& site, const TempDir& dir, std::string pem, std::map<std::string, std::string> config)
      : site_(site)
      , dir_(dir)
      , pem_(std::move(pem))
      , config_(std::move(config))
  {
  }
  std::string log(int r) const { return dir_.path() + "/receiver" + std::to_string(r) + ".log"; }
  bool start(int r)
  {
    if (::access(log(r).c_str(), F_OK) == 0)
      std::rename(log(r).c_str(), (log(r) + "." + std::to_string(++restarts_[r])).c_str());
    process_[r] = site_.startReceiver(dir_, "receiver" + std::to_string(r), ports[r], pem_, config_, { "-D" });
    if (!started(log(r)))
      return false;
    pause(1);
    base[r] = usageOf(process_[r]->pid());
    return true;
  }
  int stop(int r, int signal)
  {
    process_[r]->signal(signal);
    return wait(r);
  }
  int wait(int r) { return process_[r]->wait(60); }
  pid_t pid(int r) const { return process_[r]->pid(); }
  // The first and last few log lines of the Receivers that contain the text, each with its Receiver's name.
  std::string linesWith(const std::string& text) const
  {
    std::vector<std::string> found;
    for (int r = 0; r < 3; ++r)
      for (int n = 1; n <= restarts_[r] + 1; ++n)
        for (const std::string& line : linesOf(readFile(n <= restarts_[r] ? log(r) + "." + std::to_string(n) : log(r))))
          if (line.find(text) != std::string::npos)
            found.push_back("    receiver" + std::to_string(r) + ": " + line.substr(0, 300) + "\n");
    if (found.size() > 12)
      found.erase(found.begin() + 6, found.end() - 6);
    std::string lines;
    for (const std::string& line : found)
      lines += line;
    return lines;
  }

  std::vector<int> ports = { freeLoopbackPort(), freeLoopbackPort(), freeLoopbackPort() };
  Usage base[3];

private:
  Site& site_;
  const TempDir& dir_;
  const std::string pem_;
  const std::map<std::string, std::string> config_;
  std::unique_ptr<TestProcess> process_[3];
  int restarts_[3] = { 0, 0, 0 };
};

struct Done {
  Kind kind;
  std::string what;
  double start, end;
};

// Threads that are always joined: unwinding first tells them to end.
class Crew {
public:
  ~Crew()
  {
    if (std::uncaught_exceptions() > 0)
      interrupted = true;
    joinAll();
  }
  template <typename F> void add(Record& record, F body)
  {
    threads_.emplace_back([&record, body] {
      try {
        body();
      } catch (const std::exception& error) {
        record.violation("harness", std::string("harness error (not the Receiver's): ") + error.what());
      }
    });
  }
  void joinAll()
  {
    for (std::thread& thread : threads_)
      if (thread.joinable())
        thread.join();
    threads_.clear();
  }

private:
  std::vector<std::thread> threads_;
};

// ---- The campaign.

struct Options {
  double seconds = 90;
  std::uint64_t seed = std::random_device {}();
  std::string keep;
};

class Campaign {
public:
  explicit Campaign(const Options& options)
      : options_(options)
      , plan_(planFaults(options.seed, options.seconds))
  {
  }
  int run();

private:
  void execute(const Fault& fault);
  void restartDatabase();
  void judge();
  void judgeAlerts();
  void stopReceivers();

  const Options& options_;
  const std::vector<Fault> plan_;
  Record record_;
  PrivateCluster cluster_;
  TempDir dir_;
  std::string pem_ = makeCertificatePem(dir_, "receiver.pem", "localhost");
  std::unique_ptr<TcpProxy> primary_, standby_, front_;
  std::unique_ptr<Site> site_;
  std::unique_ptr<Oracle> oracle_;
  std::unique_ptr<Receivers> receivers_;
  std::unique_ptr<Traffic> traffic_;
  Ledger ledger_;
  std::vector<Done> done_;
  std::vector<std::string> burstHosts_;
  bool failedOver_ = false;
};

std::string hostName(int h) { return std::string("host") + (h < 10 ? "0" : "") + std::to_string(h); }
std::vector<std::string> hostRange(int from, int to)
{
  std::vector<std::string> hosts;
  for (int h = from; h < to; ++h)
    hosts.push_back(hostName(h));
  return hosts;
}

int Campaign::run()
{
  for (const Fault& fault : plan_)
    record_.say("plan " + describe(fault));
  if (!cluster_.startStandby(true))
    throw std::runtime_error("the synchronous standby did not start");
  const std::string primaryPort = clusterSetting(cluster_.envFile(), "PGPORT"),
                    standbyPort = clusterSetting(cluster_.standbyEnvFile(), "PGPORT");
  ::setenv("PGTARGETSESSIONATTRS", "read-write", 1);
  std::string env = "PGHOST=127.0.0.1,127.0.0.1\nPGPORT=" + primaryPort + "," + standbyPort + "\n";
  for (const char* key : { "PGUSER", "PGPASSWORD", "PGDATABASE" })
    env += std::string(key) + "=" + clusterSetting(cluster_.envFile(), key) + "\n";
  // host00-07 rsyslog-like, 08-11 syslog-ng, 12-17 acknowledged WebSocket, 18-21 curl, 22-27 bursts; three stale.
  site_ = std::make_unique<Site>(dir_, "site", 28, 3, dir_.write("both.env", env));
  // Service N's plugin: the per-run one, the persistent one, or the persistent one that ends every 50th request.
  const std::string steady = dir_.write("site-steady", readFile(site_->plugin), true),
                    flaky = dir_.write("site-flaky", readFile(site_->plugin), true);
  dir_.write("site-alert.sh", "#!/bin/sh\necho \"$1 $(/bin/date +%s.%N)\" >> " + site_->alerts + "\n", true);
  site_->db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (2, '" + steady + "'), (3, '" + flaky
      + "'); UPDATE quelm_services SET service_plugin_id = 1 + service_id % 3 WHERE service_id < 1000;"
        // The traffic's errors are never stale: only the notifications change their hosts' states.
        "INSERT INTO quelm_device_advance_config (adv_device_id, adv_param) SELECT device_id, "
        "'{\"during_alert\":\"100000\"}' FROM quelm_device WHERE device_id < 1000;"
        "CREATE TABLE writes (n bigserial, service int, old_state int, new_state int, seq int, tx bigint);"
        "CREATE FUNCTION record_write() RETURNS trigger AS $$ BEGIN INSERT INTO writes (service, old_state, "
        "new_state, seq, tx) VALUES (NEW.service_id, OLD.service_previous_state, NEW.service_previous_state, "
        "substring(NEW.service_last_stdout from 'seq=([0-9]+)')::int, txid_current()); RETURN NEW; END $$ "
        "LANGUAGE plpgsql; CREATE TRIGGER record_write AFTER UPDATE ON quelm_services FOR EACH ROW EXECUTE "
        "FUNCTION record_write();"
        "CREATE TABLE occurrences (happen_id int, service int, opened bool, tx bigint);"
        "CREATE FUNCTION record_occurrence() RETURNS trigger AS $$ BEGIN IF TG_OP = 'INSERT' OR "
        "(OLD.happen_acquitte = 0 AND NEW.happen_acquitte = 1) THEN INSERT INTO occurrences VALUES "
        "(NEW.happen_id, NEW.happen_service_id, TG_OP = 'INSERT', txid_current()); END IF; RETURN NEW; END $$ "
        "LANGUAGE plpgsql; CREATE TRIGGER record_occurrence AFTER INSERT OR UPDATE ON quelm_error_happen FOR "
        "EACH ROW EXECUTE FUNCTION record_occurrence()");
  oracle_ = std::make_unique<Oracle>(site_->db);
  // The Receivers reach each server through a proxy of the campaign's, to freeze.
  primary_ = std::make_unique<TcpProxy>(std::stoi(primaryPort));
  standby_ = std::make_unique<TcpProxy>(std::stoi(standbyPort));
  receivers_ = std::make_unique<Receivers>(*site_, dir_, pem_,
      std::map<std::string, std::string> { { "POSTGRESQL.cluster", "1" },
          { "POSTGRESQL.PGSQL_host", "127.0.0.1,127.0.0.1" },
          { "POSTGRESQL.PGSQL_port", std::to_string(primary_->port()) + "," + std::to_string(standby_->port()) },
          { "POSTGRESQL.target_session_attrs", "read-write" }, { "POSTGRESQL.connection_number", "3" },
          { "POSTGRESQL.connect_timeout", "5" }, { "POSTGRESQL.answer_timeout", "5" }, { "SYSLOG.plugin_timeout", "4" },
          { "SYSLOG.alert_timeout", "10" }, { "SYSLOG.cleaning_cycle", "5" }, { "SYSLOG.queue_limit", "30" },
          { "SYSLOG.resend_window", "1800" }, { "PLUGINS.persistent", steady + "," + flaky } });
  for (int r = 0; r < 3; ++r)
    if (!receivers_->start(r))
      throw std::runtime_error("receiver" + std::to_string(r) + " did not start: " + readFile(receivers_->log(r)));
  // Senders reach the shipped HAProxy through a proxy of the campaign's, to cut.
  const int haproxyPort = freeLoopbackPort();
  std::string missing;
  const std::string haproxy = haproxyConfig(haproxyPort, receivers_->ports, missing);
  if (!missing.empty())
    throw std::runtime_error("not in the shipped HAProxy configuration: " + missing);
  TestProcess balancer({ "/usr/sbin/haproxy", "-db", "-f", dir_.write("haproxy.cfg", haproxy) });
  front_ = std::make_unique<TcpProxy>(haproxyPort);
  const std::string frontPort = std::to_string(front_->port());
  SyslogNg forwarder(dir_, front_->port(), pem_);
  if (!forwarder.missing.empty())
    throw std::runtime_error("syslog-ng: not found: " + forwarder.missing);

  traffic_.reset(new Traffic { record_, ledger_, *oracle_, dir_, pem_, "wss://127.0.0.1:" + frontPort + "/",
      "https://localhost:" + frontPort + "/v1/notifications", steady, options_.seed });
  burstHosts_ = hostRange(22, 28);
  record_.restart();
  traffic_->deadline = options_.seconds + 600;
  record_.at("started: 3 Receivers, HAProxy, syslog-ng, primary and synchronous standby");
  std::atomic<bool> watching { true };
  Crew senders, watch;
  senders.add(record_, [&] { confirmSender(*traffic_, 0, hostRange(0, 4)); });
  senders.add(record_, [&] { confirmSender(*traffic_, 1, hostRange(4, 8)); });
  senders.add(record_, [&] { syslogSender(*traffic_, forwarder, hostRange(8, 12)); });
  senders.add(record_, [&] { ackSender(*traffic_, 2, hostRange(12, 15)); });
  senders.add(record_, [&] { ackSender(*traffic_, 3, hostRange(15, 18)); });
  senders.add(record_, [&] { batchSender(*traffic_, 4, hostRange(18, 22)); });
  // During the run: never two open occurrences of a service, never a notification written twice.
  watch.add(record_, [&] {
    while (watching && !interrupted) {
      for (const auto& row :
          oracle_->rows("SELECT happen_service_id || ' ' || string_agg(happen_id::text, ',') FROM "
                        "quelm_error_happen WHERE happen_acquitte = 0 GROUP BY happen_service_id HAVING count(*) > 1"))
        record_.violation("open " + row[0], "service " + row[0] + " has two open occurrences: " + row[1]);
      for (const auto& row : oracle_->rows("SELECT seq || ' ' || count(*) FROM writes WHERE seq IS NOT NULL GROUP BY "
                                           "seq HAVING count(*) > 1"))
        record_.violation("twice " + row[0], "seq=" + row[0] + " written " + row[1] + " times (details at the end)");
      pause(1);
    }
  });

  for (const Fault& fault : plan_) {
    while (record_.now() < fault.at && !interrupted)
      pause(0.1);
    if (interrupted)
      break;
    execute(fault);
  }
  while (record_.now() < options_.seconds && !interrupted)
    pause(0.1);
  traffic_->on = false;
  traffic_->deadline = record_.now() + 150;
  record_.at("traffic ends; unanswered notifications are sent until " + oneDecimal(traffic_->deadline) + " s");
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

  std::map<Kind, int> counts;
  for (const Done& fault : done_)
    ++counts[fault.kind];
  std::string byKind;
  for (const auto& [kind, count] : counts)
    byKind += (byKind.empty() ? "" : ", ") + std::to_string(count) + " " + nameOf(kind);
  if (record_.violations() > 0) {
    const std::string keep
        = options_.keep.empty() ? "/tmp/quelm-chaos-" + std::to_string(options_.seed) : options_.keep;
    std::filesystem::create_directories(keep);
    for (const auto& file : std::filesystem::directory_iterator(dir_.path()))
      if (file.path().filename().string().find(".log") != std::string::npos || file.path() == site_->alerts)
        std::filesystem::copy(file.path(), keep, std::filesystem::copy_options::overwrite_existing);
    record_.say("logs kept in " + keep);
  }
  record_.say(std::to_string(ledger_.notes().size()) + " notifications, " + std::to_string(done_.size()) + " faults ("
      + byKind + "), " + std::to_string(record_.violations()) + " violations, seed " + std::to_string(options_.seed));
  return interrupted ? 2 : record_.violations() > 0 ? 1 : 0;
}

void Campaign::execute(const Fault& fault)
{
  const double start = record_.now();
  std::string what = nameOf(fault.kind);
  if (fault.kind == Kind::kill || fault.kind == Kind::term) {
    const int r = fault.target;
    what += " receiver" + std::to_string(r);
    const int status = receivers_->stop(r, fault.kind == Kind::kill ? SIGKILL : SIGTERM);
    what += " (exit " + std::to_string(status) + ")";
    if (fault.kind == Kind::term && status != 0)
      record_.violation("term " + oneDecimal(start),
          "receiver" + std::to_string(r) + " stopped by SIGTERM at " + oneDecimal(start) + " s ended with status "
              + std::to_string(status) + " at " + oneDecimal(record_.now()) + " s");
    if (fault.kind == Kind::kill)
      pause(std::min(fault.length, 3.0));
    for (int attempt = 0; attempt < 2 && !receivers_->start(r); ++attempt)
      record_.violation("start " + oneDecimal(record_.now()),
          "receiver" + std::to_string(r) + " did not start: " + readFile(receivers_->log(r)).substr(0, 2000));
  } else if (fault.kind == Kind::pgRestart) {
    restartDatabase();
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
    Crew batches;
    for (int b = 0; b < 3; ++b) {
      std::vector<Note*> notes;
      for (int i = 0; i < 60; ++i)
        notes.push_back(&ledger_.add(burstHosts_[2 * b + i % 2], word, "", words.id(), "burst"));
      batches.add(record_, [this, notes] { burstSender(*traffic_, notes); });
    }
    batches.joinAll();
    what += " of 180 " + word;
  } else if (fault.kind == Kind::hang) {
    ::unlink((traffic_->hangPlugin + ".hung").c_str());
    traffic_->hangWanted = true;
    what += " asked of the next notification for host12 or host15";
  }
  done_.push_back({ fault.kind, what, start, record_.now() });
  record_.say(oneDecimal(start) + " s fault " + what + ", over at " + oneDecimal(record_.now()) + " s");
}

void Campaign::restartDatabase()
{
  if (!(failedOver_ ? cluster_.controlStandby("restart") : cluster_.control("restart")))
    throw std::runtime_error("the database did not restart");
}

void Campaign::judge()
{
  // Every write of a marked notification: its service and the state it wrote, and the occurrences it opened.
  std::map<int, std::vector<std::string>> writes;
  for (const auto& row : oracle_->rows("SELECT seq || ' ' || service || ':' || new_state || ':' || (SELECT count(*) "
                                       "FROM occurrences o WHERE o.tx = w.tx AND o.service = w.service AND o.opened) "
                                       "FROM writes w WHERE seq IS NOT NULL ORDER BY n"))
    writes[std::stoi(row[0])].push_back(row[1]);
  std::map<std::string, const Note*> last;
  for (const Note& note : ledger_.notes()) {
    last[note.host] = &note;
    const std::vector<std::string>& wrote = writes[note.seq];
    std::string about = note.host + " seq=" + std::to_string(note.seq) + (note.id.empty() ? "" : " id=" + note.id)
        + " via " + note.sender + ", sent at " + oneDecimal(note.sent) + " s, " + std::to_string(note.tries)
        + " tries, ";
    about += note.answered >= 0 ? "answered stored at " + oneDecimal(note.answered) + " s"
                                : "last answer: " + note.answer;
    const std::string expected = std::to_string(serviceOf(note.host)) + ":" + std::to_string(expectedState(note.word));
    auto logs = [&] { return note.id.empty() ? std::string() : receivers_->linesWith(note.id).substr(0, 3000); };
    if (note.answered < 0)
      record_.violation("unanswered " + std::to_string(note.seq), "never answered stored: " + about + "\n" + logs());
    else if (wrote.empty())
      record_.violation(
          "lost " + std::to_string(note.seq), "answered stored but never written: " + about + "\n" + logs());
    if (wrote.size() > 1)
      record_.violation("twice " + std::to_string(note.seq),
          "applied " + std::to_string(wrote.size()) + " times: " + about + "\n" + logs());
    if (!wrote.empty() && wrote[0].substr(0, wrote[0].rfind(':')) != expected)
      record_.violation(
          "effect " + std::to_string(note.seq), "wrote service:state " + wrote[0] + ", not " + expected + ": " + about);
    int opened = 0;
    for (const std::string& write : wrote)
      opened += std::stoi(write.substr(write.rfind(':') + 1));
    if (opened > 1)
      record_.violation(
          "opened " + std::to_string(note.seq), "opened " + std::to_string(opened) + " occurrences: " + about);
  }
  // Each host ends in the state of the last notification sent for it (a burst's hosts: of the last burst's word).
  for (const auto& row : oracle_->rows("SELECT service_name || ' ' || service_previous_state || ' ' || "
                                       "coalesce(substring(service_last_stdout from 'seq=([0-9]+)'), '-') FROM "
                                       "quelm_services WHERE service_id < 1000")) {
    const std::string host = row[0].substr(0, row[0].find('-'));
    const Note* note = last.count(host) ? last[host] : nullptr;
    if (!note || note->answered < 0)
      continue;
    const bool burstHost = note->sender == "burst";
    if (std::stoi(row[1]) != expectedState(note->word) || (!burstHost && row[2] != std::to_string(note->seq)))
      record_.violation("final " + host,
          host + " ends in state " + row[1] + " written by seq=" + row[2] + ", but its last notification was seq="
              + std::to_string(note->seq) + " (" + note->word + ", state " + std::to_string(expectedState(note->word))
              + "), answered stored at " + oneDecimal(note->answered) + " s");
  }
  for (const auto& row : oracle_->rows("SELECT DISTINCT service::text FROM doubled"))
    record_.violation("open " + row[0], "service " + row[0] + " had two open occurrences (trigger)");
  const std::string stale
      = oracle_->ask("SELECT count(*) FROM quelm_error_happen WHERE happen_service_id >= 1000 AND happen_acquitte = 0");
  if (stale != "0")
    record_.violation("stale", stale + " stale occurrences left open by the cleaner");
  judgeAlerts();
}

// Every transition's alert ran once: an occurrence is alerted when it is opened, and again when a return to OK (a
// notification's or the cleaner's) closes it. A second run is tolerated only around a kill or a stop of a Receiver or
// a lost database session.
void Campaign::judgeAlerts()
{
  std::map<long, std::vector<double>> runs;
  for (const std::string& line : linesOf(readFile(site_->alerts))) {
    const std::vector<std::string> words = wordsOf(line);
    if (words.size() == 2)
      runs[std::stol(words[0])].push_back(record_.ofWall(std::stod(words[1])));
  }
  int tolerated = 0;
  for (const auto& row : oracle_->rows(
           "SELECT h.happen_id || ' ' || h.happen_service_id || ' ' || ((SELECT count(*) FROM occurrences o WHERE "
           "o.happen_id = h.happen_id AND o.opened) + (SELECT count(*) FROM occurrences o JOIN writes w ON w.tx = "
           "o.tx AND w.service = o.service AND w.new_state = 0 WHERE o.happen_id = h.happen_id AND NOT o.opened)) FROM "
           "quelm_error_happen h")) {
    const long id = std::stol(row[0]);
    const std::size_t expected = std::stoul(row[2]);
    std::vector<double> times = runs[id];
    runs.erase(id);
    std::string when;
    for (double t : times)
      when += " " + oneDecimal(t);
    const std::string about = "occurrence " + row[0] + " of service " + row[1] + ": " + std::to_string(expected)
        + " alerts expected, " + std::to_string(times.size()) + " ran (at" + when + " s)";
    if (times.size() < expected)
      record_.violation("alert " + row[0], "alert missing: " + about);
    if (times.size() <= expected)
      continue;
    std::sort(times.begin(), times.end());
    auto cause = std::find_if(done_.begin(), done_.end(), [&](const Done& f) {
      const bool session = f.kind != Kind::cut && f.kind != Kind::burst && f.kind != Kind::hang;
      return session && f.start <= times.back() && f.end + 6 >= times.front() - 1;
    });
    if (cause == done_.end()) {
      record_.violation("alert " + row[0], "alert ran again: " + about);
    } else {
      ++tolerated;
      record_.say(
          "tolerated: " + about + ", around the fault " + cause->what + " at " + oneDecimal(cause->start) + " s");
    }
  }
  for (const auto& [id, times] : runs)
    record_.violation(
        "alert " + std::to_string(id), "alert for occurrence " + std::to_string(id) + " that does not exist");
  record_.say(std::to_string(tolerated) + " double alert runs tolerated");
}

// After the last notification: each Receiver back near what it used at its start, a clean stop, no plugin left.
void Campaign::stopReceivers()
{
  for (int r = 0; r < 3; ++r) {
    const Usage now = usageOf(receivers_->pid(r)), base = receivers_->base[r];
    const std::string name = "receiver" + std::to_string(r);
    record_.say(name + ": " + std::to_string(base.rssKb / 1024) + " MiB and " + std::to_string(base.fds)
        + " descriptors at its start, " + std::to_string(now.rssKb / 1024) + " MiB and " + std::to_string(now.fds)
        + " with " + std::to_string(now.children) + " persistent plugin processes now");
    // Each persistent process holds three pipes.
    if (now.fds > base.fds + 3 * now.children + 10)
      record_.violation("fds " + name,
          name + " holds " + std::to_string(now.fds) + " descriptors, " + std::to_string(base.fds) + " at its start");
    if (now.rssKb > base.rssKb * 3 / 2 + 64 * 1024)
      record_.violation("rss " + name,
          name + " holds " + std::to_string(now.rssKb / 1024) + " MiB, " + std::to_string(base.rssKb / 1024)
              + " at its start");
  }
  for (int r = 0; r < 3; ++r)
    ::kill(receivers_->pid(r), SIGTERM);
  for (int r = 0; r < 3; ++r) {
    const int status = receivers_->wait(r);
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
