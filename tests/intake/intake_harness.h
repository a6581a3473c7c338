#pragma once

#include "intake/execute_queue.h"
#include "intake/notification.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

class SyslogServer;
class SyslogClient;
class LogCapture;

using namespace std::chrono_literals;

// A notification server wired as the daemon wires it (validateSyslog,
// enableSSLMode, reading the global keyfile and cafile), run on its own
// thread over a private queue.
class RunningServer {
public:
  // configure, when given, adjusts the server before it runs.
  explicit RunningServer(int threads = 2, int port = 0, std::function<void(SyslogServer&)> configure = {});
  ~RunningServer();
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  // True once listening; false when run failed or did not start in time.
  bool listening();
  int port() const;
  std::string listenError() const;
  // What run threw, once it returned; empty if it returned normally.
  std::string runFailure();
  bool waitRunReturned(std::chrono::milliseconds timeout);
  void stop();
  std::size_t connectionCount();
  // Polls until the server has recorded exactly `count` open connections.
  bool waitConnectionCount(std::size_t count, std::chrono::milliseconds timeout = 15s);
  ExecuteQueue<notification>& queue() { return queue_; }
  // Pops until `count` notifications arrived or the time ran out.
  std::vector<notification> collect(std::size_t count, std::chrono::milliseconds timeout = 15s);

private:
  ExecuteQueue<notification> queue_;
  std::unique_ptr<SyslogServer> server_;
  std::thread thread_;
  std::mutex lock_;
  std::condition_variable returnedChanged_;
  bool returned_ = false;
  std::string failure_;
};

// A real secure WebSocket client (SyslogClient) that keeps its output and
// never ends the process.
class TestClient {
public:
  explicit TestClient(const std::string& uri, const std::vector<std::string>& subprotocols = {});
  ~TestClient();
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  // Connects and waits for the handshake; true when open.
  bool open(std::chrono::milliseconds timeout = 15s);
  void sendText(const std::string& payload);
  void sendBinary(const std::string& payload);
  // Closes with code 1000 and waits for the handshake to complete.
  bool closeNormally(std::chrono::milliseconds timeout = 15s);
  // Waits for the server to close; true when closed.
  bool waitClosed(std::chrono::milliseconds timeout = 15s);
  int remoteCloseCode() const;
  std::string subprotocol() const;
  std::string failureText() const;
  // What the client printed; complete once it is open, failed or closed.
  std::string output() const;

private:
  std::ostringstream out_;
  std::unique_ptr<SyslogClient> client_;
};

std::string uriFor(int port, const std::string& address = "127.0.0.1");

// The captured log, read under the log lock since I/O threads write to it.
std::string logText(const LogCapture& capture);
// How many times `part` occurs in `text`.
std::size_t countOf(const std::string& text, const std::string& part);
