#pragma once

#include <websocketpp/client.hpp>
#include <websocketpp/config/asio_client.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// The sending side of the notification protocol: a secure WebSocket client
// that sends text messages and reports the timing of its connection's
// phases. By default a closed connection prints the timings and ends the
// process with status 1, and a message from the server closes the
// connection; an owner that wants to go on sets its own actions.
class NotificationClient {
public:
  using Endpoint = websocketpp::client<websocketpp::config::asio_tls_client>;
  using MessagePtr = websocketpp::config::asio_tls_client::message_type::ptr;
  using Clock = std::chrono::system_clock;
  using DebugFunction = void (*)(const std::string&);

  enum class Phase { idle, connecting, open, failed, closed };

  NotificationClient();
  explicit NotificationClient(std::string uri);
  virtual ~NotificationClient();
  NotificationClient(const NotificationClient&) = delete;
  NotificationClient& operator=(const NotificationClient&) = delete;

  void setDefaultSetting();
  // Starts the connection and the event loop thread; returns at once. A
  // second call on the same client is refused (returns without effect).
  void connect();
  // One text frame on the open connection; websocketpp::exception otherwise.
  void send(const std::string& message);
  void send(const std::string& message, websocketpp::frame::opcode::value opcode);
  // Starts a closing handshake; false when there is no open connection.
  bool close(websocketpp::close::status::value code, const std::string& reason);

  void setDebugFunction(DebugFunction fn);
  void trace(const std::string& line);

  // Owner hooks, to be set before connect.
  // PEM file with a certificate and its unencrypted key, presented to
  // servers that ask senders for one.
  void setClientCertificate(std::string pemPath);
  // Checks the server's certificate chain against the authorities in
  // authorityFile (the system's when empty) and its name against the URI's
  // host; a failed check fails the handshake, and failureText says why. Off
  // by default.
  void setServerVerification(bool verify, std::string authorityFile);
  void setOutput(std::ostream& out);
  // The library's whole log on standard error, or only its errors kept for
  // failureText. Standard output stays free for the owner's own protocol.
  void setLibraryLogging(bool enabled);
  void addSubprotocol(const std::string& subprotocol);
  void setCloseAction(std::function<void()> action);
  void setFailAction(std::function<void()> action);
  // Receives each message the server sends (its replies, on a connection
  // that asked for them), on the event loop thread; the connection stays
  // open.
  void setReplyAction(std::function<void(const std::string&)> action);

  // Waits for the phase to leave `connecting` (or `open` for waitFinished);
  // returns the phase reached, which is the old one on time-out.
  Phase waitOpened(std::chrono::milliseconds timeout);
  Phase waitFinished(std::chrono::milliseconds timeout);
  Phase phase() const;

  // What is known of the connection once it opened, failed or closed.
  std::string selectedSubprotocol() const;
  // Ends the event loop at once, whatever it still has to do: for an owner
  // that is done and must not wait.
  void stopLoop();
  int remoteCloseCode() const;
  std::string failureText() const;
  // The five timing lines; a phase that never happened shows "-".
  void printTimings(std::ostream& out) const;

  void onSocketInit(const websocketpp::connection_hdl& hdl);
  std::shared_ptr<boost::asio::ssl::context> onTlsInit(const websocketpp::connection_hdl& hdl);
  void verifyServerOn(boost::asio::ssl::context& context);
  void onOpen(const websocketpp::connection_hdl& hdl);
  void onMessage(const websocketpp::connection_hdl& hdl, const MessagePtr& msg);
  void onClose(const websocketpp::connection_hdl& hdl);
  void onFail(const websocketpp::connection_hdl& hdl);

private:
  void setPhase(Phase next);
  std::string lastLibraryError() const;
  websocketpp::connection_hdl currentHandle() const;

  Endpoint endpoint;
  websocketpp::connection_hdl connectionHandle;
  Clock::time_point startTime {};
  Clock::time_point socketInitTime {};
  std::string clientCertificate;
  bool verifyServer = false;
  std::string serverAuthority;
  // Why the server's certificate was not accepted (stateLock).
  std::string verifyError;
  Clock::time_point tlsInitTime {};
  Clock::time_point openTime {};
  Clock::time_point messageTime {};
  Clock::time_point closeTime {};
  std::shared_ptr<std::thread> runThread;
  std::string uri;
  bool debugEnabled = false;
  DebugFunction debugFunction = nullptr;

  std::ostream* output;
  // The library's error log while it is not shown: onFail reads the
  // system's reason (such as a refused connection) from it.
  std::ostringstream libraryLog;
  bool tcpConnected = false;
  std::vector<std::string> subprotocols;
  std::function<void()> closeAction;
  std::function<void()> failAction;
  std::function<void(const std::string&)> replyAction;

  // Guards the handle, the phase and the connection report: the handlers run
  // on runThread while the owner sends and waits on its own thread.
  mutable std::mutex stateLock;
  std::condition_variable phaseChanged;
  Phase currentPhase = Phase::idle;
  bool loopEnded = false;
  std::string subprotocol;
  int remoteCode = 0;
  std::string failure;
};
