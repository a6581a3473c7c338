// quelm-bench-intake: messages per second accepted into the queue by the
// Receiver's NotificationServer (a consumer thread pops and counts them) next to a
// bare websocketpp TLS server that only counts, both fed by the same batched
// secure WebSocket client over 1 and 8 connections; then the resident memory
// of the process while 100 idle connections stay open. Prints figures; it is
// not a test.

#include "intake/notification.h"
#include "intake/notification_queue.h"
#include "intake/notification_server.h"
#include "intake/tls_context.h"

#include "bench/process_sampler.h"

#include <poll.h>
#include <pthread.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iostream>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const char* const usageText = R"(Usage: quelm-bench-intake [options]

Messages per second accepted into the queue through SyslogServer (wired as
the daemon wires it; a consumer thread pops and counts) and, in the same run,
through a bare websocketpp TLS server that only counts, over 1 and 8
connections of one batched secure WebSocket client; then the resident memory
while idle connections stay open.

  --messages N          messages per measurement (default 400000)
  --rounds N            measurements of each kind, alternating (default 2)
  --server-threads N    I/O threads of each server (default 2)
  --frames-per-write N  frames the client hands over per write (default 64)
  --idle N              idle connections of the memory check (default 100)
  --idle-seconds S      how long they stay open (default 5)
  --idle-after S        how long after they close the memory is read again
                        (default 30)
  --idle-only           only the idle connections, no message rates

For the idle-session figures of a daemon-like listener:
  quelm-bench-intake --idle-only --idle 2000 --server-threads 10
)";

struct Options {
  long messages = 400000;
  int rounds = 2;
  int serverThreads = 2;
  int framesPerWrite = 64;
  int idle = 100;
  int idleSeconds = 5;
  int idleAfter = 30;
  bool idleOnly = false;
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
    if (arg == "--idle-only") {
      options.idleOnly = true;
      continue;
    }
    if (i + 1 >= argc)
      usage(2);
    std::string value = argv[++i];
    try {
      if (arg == "--messages")
        options.messages = std::stol(value);
      else if (arg == "--rounds")
        options.rounds = std::stoi(value);
      else if (arg == "--server-threads")
        options.serverThreads = std::stoi(value);
      else if (arg == "--frames-per-write")
        options.framesPerWrite = std::stoi(value);
      else if (arg == "--idle")
        options.idle = std::stoi(value);
      else if (arg == "--idle-seconds")
        options.idleSeconds = std::stoi(value);
      else if (arg == "--idle-after")
        options.idleAfter = std::stoi(value);
      else
        usage(2);
    } catch (const std::exception&) {
      usage(2);
    }
  }
  // Frames per write are bounded so that a write fits one TLS record.
  if (options.messages < 1000 || options.messages > 100000000 || options.rounds < 1 || options.rounds > 10
      || options.serverThreads < 1 || options.serverThreads > 64 || options.framesPerWrite < 1
      || options.framesPerWrite > 75 || options.idle < 0 || options.idle > 5000 || options.idleSeconds < 1
      || options.idleSeconds > 60 || options.idleAfter < 6 || options.idleAfter > 600)
    usage(2);
  return options;
}

double processCpuSeconds()
{
  struct rusage usage = {};
  ::getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
      + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds(clockid_t clock)
{
  struct timespec now = {};
  if (::clock_gettime(clock, &now) != 0)
    return 0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The key and certificate the servers use, made with openssl in a private
// directory that is removed at the end.
class BenchCertificate {
public:
  BenchCertificate()
  {
    char pattern[] = "/tmp/quelm-bench-intake.XXXXXX";
    if (::mkdtemp(pattern) == nullptr)
      throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout '" + dir_
        + "/key.pem' -out '" + dir_ + "/cert.pem' -days 2 -subj /CN=127.0.0.1 >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
      throw std::runtime_error("openssl req failed");
    std::ifstream cert(dir_ + "/cert.pem");
    std::ifstream key(dir_ + "/key.pem");
    std::ofstream pem(path());
    pem << cert.rdbuf() << key.rdbuf();
    if (!pem)
      throw std::runtime_error("cannot write " + path());
  }
  ~BenchCertificate()
  {
    for (const char* name : { "/key.pem", "/cert.pem", "/receiver.pem" })
      ::unlink((dir_ + name).c_str());
    ::rmdir(dir_.c_str());
  }
  BenchCertificate(const BenchCertificate&) = delete;
  BenchCertificate& operator=(const BenchCertificate&) = delete;

  std::string path() const { return dir_ + "/receiver.pem"; }

private:
  std::string dir_;
};

// A 200-byte notification payload for host number `host`.
std::string payloadFor(int host)
{
  std::string payload
      = R"({"fromhost":"bench-host-)" + std::to_string(host) + R"(","message":"<13>Jan  1 00:00:00 bench-host app: )";
  while (payload.size() < 198)
    payload.push_back('x');
  return payload + "\"}";
}

// ---------------------------------------------------------------- servers

// The Receiver's listener as the daemon wires it, over a private queue, with
// a consumer thread that pops and counts like a worker would.
class ReceiverUnderTest {
public:
  ReceiverUnderTest(int threads, const TlsSettings& tls)
      : server_(std::make_unique<NotificationServer>(ListenerSettings { 0, threads, tls, 0, 0 }, queue_))
  {
    runner_ = std::thread([this] {
      try {
        server_->run();
      } catch (const std::exception& error) {
        std::fprintf(stderr, "quelm-bench-intake: SyslogServer::run: %s\n", error.what());
      }
      returned_ = true;
    });
    consumer_ = std::thread([this] {
      while (!stop_.load()) {
        if (polling_.load()) {
          // Busy workers find the queue non-empty and never sleep on it:
          // looking every millisecond takes the wake-ups out of the figure.
          std::size_t waiting = queue_.size();
          if (waiting == 0)
            std::this_thread::sleep_for(1ms);
          for (; waiting > 0; --waiting)
            take(0ms);
          continue;
        }
        take(100ms);
      }
    });
    if (!server_->waitListening(15s))
      throw std::runtime_error("SyslogServer did not listen: " + server_->listenError());
  }
  ~ReceiverUnderTest()
  {
    try {
      server_->stop();
    } catch (const std::exception&) {
      // Not listening any more.
    }
    queue_.stopAndWakeAll(stop_);
    consumer_.join();
    auto deadline = Clock::now() + 20s;
    while (!returned_ && Clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    if (returned_) {
      runner_.join();
    } else {
      // A server that will not stop is left behind rather than destroyed
      // under its running threads.
      std::fprintf(stderr, "quelm-bench-intake: SyslogServer did not stop in time\n");
      runner_.detach();
      (void)server_.release();
    }
  }
  ReceiverUnderTest(const ReceiverUnderTest&) = delete;
  ReceiverUnderTest& operator=(const ReceiverUnderTest&) = delete;

  int port() const { return server_->listeningPort(); }
  std::uint64_t count() const { return popped_.load(std::memory_order_relaxed); }
  // false: the consumer waits on the queue like an idle worker (the default);
  // true: it polls, like workers that are all busy.
  void setPolling(bool polling) { polling_ = polling; }
  std::size_t connections() { return server_->connectionCount(); }

private:
  void take(std::chrono::milliseconds timeout)
  {
    if (std::optional<NotificationQueue::Lease> item = queue_.takeFor(stop_, timeout))
      popped_.fetch_add(1, std::memory_order_relaxed);
  }

  NotificationQueue queue_;
  std::unique_ptr<NotificationServer> server_;
  std::atomic<bool> stop_ { false };
  std::atomic<bool> polling_ { false };
  std::atomic<bool> returned_ { false };
  std::atomic<std::uint64_t> popped_ { 0 };
  std::thread runner_;
  std::thread consumer_;
};

// The reference: a websocketpp TLS server with the same TLS 1.2 context
// whose message handler only counts.
class BareServer {
public:
  using Endpoint = websocketpp::server<websocketpp::config::asio_tls>;

  BareServer(int threads, const TlsSettings& tls)
  {
    endpoint_.clear_access_channels(websocketpp::log::alevel::all);
    endpoint_.clear_error_channels(websocketpp::log::elevel::all);
    endpoint_.init_asio();
    endpoint_.set_reuse_addr(true);
    endpoint_.set_tls_init_handler([tls](websocketpp::connection_hdl) { return makeTlsContext(tls, 1); });
    endpoint_.set_message_handler([this](websocketpp::connection_hdl, Endpoint::message_ptr) {
      received_.fetch_add(1, std::memory_order_relaxed);
    });
    endpoint_.listen(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    boost::system::error_code ec;
    port_ = endpoint_.get_local_endpoint(ec).port();
    endpoint_.start_accept();
    for (int i = 0; i < threads; ++i)
      threads_.emplace_back([this] {
        try {
          endpoint_.run();
        } catch (const std::exception& error) {
          std::fprintf(stderr, "quelm-bench-intake: bare server: %s\n", error.what());
        }
      });
  }
  ~BareServer()
  {
    websocketpp::lib::error_code ec;
    endpoint_.stop_listening(ec);
    endpoint_.stop();
    for (auto& thread : threads_)
      thread.join();
  }
  BareServer(const BareServer&) = delete;
  BareServer& operator=(const BareServer&) = delete;

  int port() const { return port_; }
  std::uint64_t count() const { return received_.load(std::memory_order_relaxed); }

private:
  Endpoint endpoint_;
  std::vector<std::thread> threads_;
  std::atomic<std::uint64_t> received_ { 0 };
  int port_ = 0;
};

// ---------------------------------------------------------------- client

using ClientEndpoint = websocketpp::client<websocketpp::config::asio_tls_client>;
using ClientMessage = websocketpp::config::asio_tls_client::message_type;

// One block of masked text frames, made once and handed to a connection
// as a ready-made message: the client then costs one TLS record per block
// instead of a record and a masking pass per message, so that the servers,
// not the client, are what is measured.
ClientMessage::ptr frameBlock(int frames, int firstHost, std::mt19937& random)
{
  std::string wire;
  for (int i = 0; i < frames; ++i) {
    std::string payload = payloadFor(firstHost + i);
    std::uint32_t key = random();
    unsigned char mask[4] = { static_cast<unsigned char>(key), static_cast<unsigned char>(key >> 8),
      static_cast<unsigned char>(key >> 16), static_cast<unsigned char>(key >> 24) };
    // FIN + text; masked, 16-bit length (200 > 125).
    wire.push_back(static_cast<char>(0x81));
    wire.push_back(static_cast<char>(0x80 | 126));
    wire.push_back(static_cast<char>((payload.size() >> 8) & 0xff));
    wire.push_back(static_cast<char>(payload.size() & 0xff));
    wire.append(reinterpret_cast<const char*>(mask), 4);
    for (std::size_t at = 0; at < payload.size(); ++at)
      wire.push_back(static_cast<char>(payload[at] ^ static_cast<char>(mask[at % 4])));
  }
  auto message = std::make_shared<ClientMessage>(
      ClientMessage::con_msg_man_ptr(), websocketpp::frame::opcode::text, wire.size());
  message->set_header("");
  message->set_payload(wire);
  message->set_prepared(true);
  return message;
}

// A websocketpp TLS client with one event loop thread whose connections
// the caller opens, loads and closes.
class BatchClient {
public:
  BatchClient()
  {
    endpoint_.clear_access_channels(websocketpp::log::alevel::all);
    endpoint_.clear_error_channels(websocketpp::log::elevel::all);
    endpoint_.init_asio();
    endpoint_.start_perpetual();
    endpoint_.set_tls_init_handler([](websocketpp::connection_hdl) {
      auto context = std::make_shared<boost::asio::ssl::context>(boost::asio::ssl::context::tlsv12_client);
      context->set_verify_mode(boost::asio::ssl::verify_none);
      return context;
    });
    endpoint_.set_open_handler([this](websocketpp::connection_hdl) { ++opened_; });
    endpoint_.set_fail_handler([this](websocketpp::connection_hdl) { ++failed_; });
    endpoint_.set_close_handler([this](websocketpp::connection_hdl) { ++closed_; });
    loop_ = std::thread([this] {
      try {
        endpoint_.run();
      } catch (const std::exception& error) {
        std::fprintf(stderr, "quelm-bench-intake: client loop: %s\n", error.what());
      }
      returned_ = true;
    });
    ::pthread_getcpuclockid(loop_.native_handle(), &loopClock_);
  }
  ~BatchClient()
  {
    closeAll(10s);
    endpoint_.stop_perpetual();
    auto deadline = Clock::now() + 10s;
    while (!returned_ && Clock::now() < deadline)
      std::this_thread::sleep_for(10ms);
    if (!returned_)
      endpoint_.stop();
    loop_.join();
  }
  BatchClient(const BatchClient&) = delete;
  BatchClient& operator=(const BatchClient&) = delete;

  // Opens `count` connections to the port; false if any did not open in time.
  bool open(int port, int count, std::chrono::milliseconds timeout)
  {
    std::string uri = "wss://127.0.0.1:" + std::to_string(port) + "/";
    int target = opened_ + count;
    for (int i = 0; i < count; ++i) {
      websocketpp::lib::error_code ec;
      ClientEndpoint::connection_ptr connection = endpoint_.get_connection(uri, ec);
      if (ec)
        return false;
      endpoint_.connect(connection);
      connections_.push_back(connection);
    }
    auto deadline = Clock::now() + timeout;
    while (opened_ < target && failed_ == 0 && Clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    return opened_ >= target && failed_ == 0;
  }

  // Closes every connection with code 1000 and waits for the handshakes.
  bool closeAll(std::chrono::milliseconds timeout)
  {
    int target = closed_ + static_cast<int>(connections_.size());
    for (auto& connection : connections_) {
      websocketpp::lib::error_code ec;
      connection->close(websocketpp::close::status::normal, "", ec);
      if (ec)
        --target;
    }
    auto deadline = Clock::now() + timeout;
    while (closed_ < target && Clock::now() < deadline)
      std::this_thread::sleep_for(1ms);
    connections_.clear();
    return closed_ >= target;
  }

  std::vector<ClientEndpoint::connection_ptr>& connections() { return connections_; }
  double loopCpuSeconds() const { return threadCpuSeconds(loopClock_); }

private:
  ClientEndpoint endpoint_;
  std::thread loop_;
  clockid_t loopClock_ {};
  std::atomic<bool> returned_ { false };
  std::atomic<int> opened_ { 0 };
  std::atomic<int> failed_ { 0 };
  std::atomic<int> closed_ { 0 };
  std::vector<ClientEndpoint::connection_ptr> connections_;
};

struct Measure {
  bool ok = false;
  double rate = 0;
  double serverUsPerMessage = 0; // process CPU minus the client's, per message
  double clientUsPerMessage = 0;
};

// Sends `messages` (rounded up to whole blocks) over `connectionCount` fresh
// connections as fast as the connections take them, with a bounded amount
// queued per connection, and times until `count` has risen by as many.
template <typename Count>
Measure measure(BatchClient& client, int port, int connectionCount, long messages,
    const std::vector<ClientMessage::ptr>& blocks, int framesPerBlock, Count count)
{
  Measure result;
  if (!client.open(port, connectionCount, 15s)) {
    std::fprintf(stderr, "quelm-bench-intake: connections did not open\n");
    client.closeAll(10s);
    return result;
  }
  auto& connections = client.connections();
  long blocksToSend = (messages + framesPerBlock - 1) / framesPerBlock;
  std::uint64_t expected = static_cast<std::uint64_t>(blocksToSend) * static_cast<std::uint64_t>(framesPerBlock);
  // Queued but not yet written, per connection: a few blocks keep every
  // connection busy without piling up memory.
  const std::size_t queuedLimit = 4 * blocks.front()->get_payload().size();

  std::uint64_t base = count();
  double cpuBefore = processCpuSeconds();
  double loopBefore = client.loopCpuSeconds();
  double senderBefore = threadCpuSeconds(CLOCK_THREAD_CPUTIME_ID);
  auto start = Clock::now();
  auto deadline = start + 120s;
  long sent = 0;
  std::size_t next = 0;
  bool failed = false;
  while (sent < blocksToSend && !failed && Clock::now() < deadline) {
    bool progress = false;
    for (auto& connection : connections) {
      if (sent >= blocksToSend)
        break;
      if (connection->get_buffered_amount() >= queuedLimit)
        continue;
      if (connection->send(blocks[next])) {
        failed = true;
        break;
      }
      next = (next + 1) % blocks.size();
      ++sent;
      progress = true;
    }
    if (!progress)
      std::this_thread::sleep_for(50us);
  }
  while (!failed && count() - base < expected && Clock::now() < deadline)
    std::this_thread::sleep_for(100us);
  auto end = Clock::now();
  double senderCpu = threadCpuSeconds(CLOCK_THREAD_CPUTIME_ID) - senderBefore;
  double clientCpu = senderCpu + client.loopCpuSeconds() - loopBefore;
  double totalCpu = processCpuSeconds() - cpuBefore;
  std::uint64_t got = count() - base;
  client.closeAll(15s);
  if (failed || got < expected) {
    std::fprintf(stderr, "quelm-bench-intake: only %llu of %llu messages counted%s\n",
        static_cast<unsigned long long>(got), static_cast<unsigned long long>(expected),
        failed ? " (a send failed)" : "");
    return result;
  }
  double elapsed = std::chrono::duration<double>(end - start).count();
  result.ok = true;
  result.rate = static_cast<double>(expected) / elapsed;
  result.clientUsPerMessage = clientCpu * 1e6 / static_cast<double>(expected);
  result.serverUsPerMessage = (totalCpu - clientCpu) * 1e6 / static_cast<double>(expected);
  return result;
}

// ---------------------------------------------------------------- idle connections

// The idle connections are held by a child process (this program in its
// --idle-client mode), so that the resident memory measured here is the
// server's alone.
int idleClientMain(int port, int count)
{
  std::cout.rdbuf(nullptr);
  BatchClient client;
  bool opened = client.open(port, count, 60s);
  std::printf("%s\n", opened ? "open" : "failed");
  std::fflush(stdout);
  // Held until the parent writes a line or closes the pipe, at most 5 min.
  pollfd input = { 0, POLLIN, 0 };
  ::poll(&input, 1, 300000);
  bool closed = client.closeAll(30s);
  std::printf("%s\n", closed ? "closed" : "close-timeout");
  std::fflush(stdout);
  return opened && closed ? 0 : 1;
}

// Reads one line from fd within the timeout; empty on time-out or end.
std::string readLine(int fd, std::chrono::milliseconds timeout)
{
  std::string line;
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd ready = { fd, POLLIN, 0 };
    if (::poll(&ready, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0)
      continue;
    char c = 0;
    ssize_t got = ::read(fd, &c, 1);
    if (got <= 0)
      break;
    if (c == '\n')
      return line;
    line.push_back(c);
  }
  return line;
}

void idleConnections(const Options& options, ReceiverUnderTest& receiver)
{
  std::printf("\nResident memory with %d idle connections to SyslogServer (this process: both servers, no "
              "client connections open; the connections are held by a child process):\n",
      options.idle);
  long before = residentKb();
  std::printf("  before opening:            %7ld kB  (%zu connections)\n", before, receiver.connections());
  std::fflush(stdout);

  int toChild[2];
  int fromChild[2];
  if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0) {
    std::printf("  pipe failed\n");
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::string portText = std::to_string(receiver.port());
  std::string countText = std::to_string(options.idle);
  char self[] = "/proc/self/exe";
  char mode[] = "--idle-client";
  char* argv[] = { self, mode, portText.data(), countText.data(), nullptr };
  pid_t pid = -1;
  int spawned = ::posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(toChild[0]);
  ::close(fromChild[1]);
  if (spawned != 0) {
    std::printf("  posix_spawn failed: %d\n", spawned);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    return;
  }
  std::string state = readLine(fromChild[0], 90s);
  auto deadline = Clock::now() + 15s;
  while (receiver.connections() < static_cast<std::size_t>(options.idle) && Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  std::printf("  all open (%s, %zu on the server):\n", state.c_str(), receiver.connections());
  long peak = 0;
  long firstIdle = 0;
  long lastIdle = 0;
  for (int second = 0; second <= options.idleSeconds; ++second) {
    long now = residentKb();
    if (second == 0)
      firstIdle = now;
    lastIdle = now;
    peak = std::max(peak, now);
    std::printf("    idle %2d s:                %7ld kB\n", second, now);
    std::fflush(stdout);
    if (second < options.idleSeconds)
      std::this_thread::sleep_for(1s);
  }
  if (::write(toChild[1], "close\n", 6) != 6)
    std::printf("  could not signal the child\n");
  ::close(toChild[1]);
  std::string closed = readLine(fromChild[0], 60s);
  ::close(fromChild[0]);
  int status = 0;
  for (int i = 0; i < 200 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
    std::this_thread::sleep_for(50ms);
  if (::waitpid(pid, &status, WNOHANG) == 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  }
  deadline = Clock::now() + 15s;
  while (receiver.connections() > 0 && Clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  // Closed connections keep their sockets until the library's TLS shutdown
  // time-out (5 s), and the listener gives freed memory back a little later.
  std::this_thread::sleep_for(6s);
  long soon = residentKb();
  std::this_thread::sleep_for(std::chrono::seconds(options.idleAfter - 6));
  long after = residentKb();
  std::printf("  after closing (%s, child status %d, %zu on the server): +6 s %ld kB, +%d s %ld kB\n", closed.c_str(),
      status, receiver.connections(), soon, options.idleAfter, after);
  std::printf("  per open connection: %.1f KiB; growth while idle: %ld kB; left %d s after closing: %+ld kB\n",
      options.idle > 0 ? static_cast<double>(peak - before) / options.idle : 0.0, lastIdle - firstIdle,
      options.idleAfter, after - before);
  std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
  if (argc == 4 && std::string(argv[1]) == "--idle-client")
    return idleClientMain(std::atoi(argv[2]), std::atoi(argv[3]));
  Options options = parseOptions(argc, argv);
  // A write to an idle-connection child that has died must not end the bench.
  std::signal(SIGPIPE, SIG_IGN);
  // The TLS context and the validator log every connection to std::cout.
  std::cout.rdbuf(nullptr);

  std::printf("quelm-bench-intake: %ld messages of 200 bytes per measurement, %d frames per client write, %d "
              "server I/O threads, %d round(s), best kept\n",
      options.messages, options.framesPerWrite, options.serverThreads, options.rounds);
  std::printf("load average at start: %s\n", firstLineOf("/proc/loadavg").c_str());
  std::fflush(stdout);

  try {
    BenchCertificate certificate;
    TlsSettings tls;
    tls.certificate = certificate.path();

    std::mt19937 random(12345);
    std::vector<ClientMessage::ptr> blocks;
    for (int i = 0; i < 8; ++i)
      blocks.push_back(frameBlock(options.framesPerWrite, i * options.framesPerWrite, random));

    ReceiverUnderTest receiver(options.serverThreads, tls);
    BareServer bare(options.serverThreads, tls);
    if (options.idle > 0)
      idleConnections(options, receiver);
    if (options.idleOnly)
      return 0;

    std::printf("\nMessages per second (server CPU = process CPU minus the client's threads):\n");
    const int connectionCounts[2] = { 1, 8 };
    Measure best[2][3];
    {
      BatchClient client;
      for (int c = 0; c < 2; ++c) {
        for (int round = 0; round < options.rounds; ++round) {
          Measure limit = measure(client, bare.port(), connectionCounts[c], options.messages, blocks,
              options.framesPerWrite, [&bare] { return bare.count(); });
          Measure real = measure(client, receiver.port(), connectionCounts[c], options.messages, blocks,
              options.framesPerWrite, [&receiver] { return receiver.count(); });
          receiver.setPolling(true);
          Measure busy = measure(client, receiver.port(), connectionCounts[c], options.messages, blocks,
              options.framesPerWrite, [&receiver] { return receiver.count(); });
          receiver.setPolling(false);
          const char* names[3] = { "bare server", "SyslogServer", "(polled)" };
          const Measure* got[3] = { &limit, &real, &busy };
          for (int kind = 0; kind < 3; ++kind) {
            const Measure& m = *got[kind];
            std::printf("  %-13s %d connection%s round %d: %9.0f msg/s  (server %.2f us/msg, client %.2f us/msg)%s\n",
                names[kind], connectionCounts[c], c == 0 ? " " : "s", round + 1, m.rate, m.serverUsPerMessage,
                m.clientUsPerMessage, m.ok ? "" : "  FAILED");
            if (m.ok && m.rate > best[c][kind].rate)
              best[c][kind] = m;
          }
          std::fflush(stdout);
        }
      }
    }
    std::printf("\nSummary (best of %d; \"polled\": the consumer polls instead of waiting, as busy workers "
                "would):\n  %-12s %14s %14s %8s %14s %8s\n",
        options.rounds, "connections", "SyslogServer/s", "bare/s", "ratio", "polled/s", "ratio");
    for (int c = 0; c < 2; ++c) {
      double ratio = best[c][0].rate > 0 ? best[c][1].rate / best[c][0].rate : 0;
      double polledRatio = best[c][0].rate > 0 ? best[c][2].rate / best[c][0].rate : 0;
      std::printf("  %-12d %14.0f %14.0f %7.1f%% %14.0f %7.1f%%  %s\n", connectionCounts[c], best[c][1].rate,
          best[c][0].rate, ratio * 100, best[c][2].rate, polledRatio * 100,
          ratio >= 0.5 ? "(goal >= 50%: met)" : "(goal >= 50%: MISSED)");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quelm-bench-intake: %s\n", error.what());
    return 1;
  }
  std::printf("load average at end: %s\n", firstLineOf("/proc/loadavg").c_str());
  return 0;
}
