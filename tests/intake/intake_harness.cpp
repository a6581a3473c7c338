#include "tests/intake/intake_harness.h"

#include "core/log.h"
#include "intake/syslog_client.h"
#include "intake/syslog_server.h"
#include "intake/tls_context.h"
#include "tests/support/log_capture.h"

RunningServer::RunningServer(int threads, int port, std::function<void(SyslogServer&)> configure)
    : server_(std::make_unique<SyslogServer>(port, threads, &queue_))
{
  server_->setValidateFunction(validateSyslog);
  server_->setFunctionSSLContext(enableSSLMode);
  if (configure)
    configure(*server_);
  thread_ = std::thread([this] {
    std::string failure;
    try {
      server_->run();
    } catch (const std::exception& error) {
      failure = error.what();
    }
    std::lock_guard<std::mutex> guard(lock_);
    returned_ = true;
    failure_ = failure;
    returnedChanged_.notify_all();
  });
}

RunningServer::~RunningServer()
{
  try {
    server_->stop();
  } catch (const std::exception&) {
    // Not listening any more (stopped by the test, or never listened).
  }
  if (waitRunReturned(20s)) {
    thread_.join();
  } else {
    // The test has failed already; a server that will not stop is left
    // behind rather than destroyed under its running threads.
    thread_.detach();
    (void)server_.release();
  }
}

bool RunningServer::listening()
{
  return server_->waitListening(15s);
}

int RunningServer::port() const
{
  return server_->listeningPort();
}

std::string RunningServer::listenError() const
{
  return server_->listenError();
}

std::string RunningServer::runFailure()
{
  std::lock_guard<std::mutex> guard(lock_);
  return failure_;
}

bool RunningServer::waitRunReturned(std::chrono::milliseconds timeout)
{
  std::unique_lock<std::mutex> guard(lock_);
  return returnedChanged_.wait_for(guard, timeout, [this] { return returned_; });
}

void RunningServer::stop()
{
  server_->stop();
}

std::size_t RunningServer::connectionCount()
{
  return server_->connectionCount();
}

bool RunningServer::waitConnectionCount(std::size_t count, std::chrono::milliseconds timeout)
{
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (server_->connectionCount() != count) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::vector<notification> RunningServer::collect(std::size_t count, std::chrono::milliseconds timeout)
{
  std::vector<notification> got;
  std::atomic<int> never { 0 };
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (got.size() < count) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms || !queue_.waitNotEmptyFor(never, left))
      break;
    got.push_back(queue_.pop());
  }
  return got;
}

TestClient::TestClient(const std::string& uri, const std::vector<std::string>& subprotocols)
    : client_(std::make_unique<SyslogClient>(uri))
{
  client_->setOutput(out_);
  client_->setLibraryLogging(false);
  client_->setCloseAction([] {});
  client_->setFailAction([] {});
  for (const std::string& value : subprotocols)
    client_->addSubprotocol(value);
}

TestClient::~TestClient() = default;

bool TestClient::open(std::chrono::milliseconds timeout)
{
  client_->connect();
  return client_->waitOpened(timeout) == SyslogClient::Phase::open;
}

void TestClient::sendText(const std::string& payload)
{
  client_->send(payload);
}

void TestClient::sendBinary(const std::string& payload)
{
  client_->send(payload, websocketpp::frame::opcode::binary);
}

bool TestClient::closeNormally(std::chrono::milliseconds timeout)
{
  return client_->close(websocketpp::close::status::normal, "") && waitClosed(timeout);
}

bool TestClient::waitClosed(std::chrono::milliseconds timeout)
{
  return client_->waitFinished(timeout) == SyslogClient::Phase::closed;
}

int TestClient::remoteCloseCode() const
{
  return client_->remoteCloseCode();
}

std::string TestClient::subprotocol() const
{
  return client_->selectedSubprotocol();
}

std::string TestClient::failureText() const
{
  return client_->failureText();
}

std::string TestClient::output() const
{
  return out_.str();
}

std::string uriFor(int port, const std::string& address)
{
  bool v6 = address.find(':') != std::string::npos;
  return "wss://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}

std::string logText(const LogCapture& capture)
{
  std::lock_guard<std::mutex> guard(mutex_log_system);
  return capture.text();
}

std::size_t countOf(const std::string& text, const std::string& part)
{
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
    ++count;
  return count;
}
