#pragma once

#include "core/lock_guarded.h"
#include "intake/http_intake.h"
#include "intake/listener_endpoint.h"
#include "intake/notification.h"

#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>

// A session whose unsent replies pass this many bytes in its socket's queue
// is not read until they have drained to half of it.
inline constexpr std::size_t replyBacklogBytes = 1 << 20;

// Puts an answer on an HTTP request's response.
void setAnswer(ListenerEndpoint::connection_type& connection, const HttpAnswer& answer);

// Carries replies from any thread to the listener's event loop. The channels
// of open connections share it; the server cuts it off when it goes, so a
// late reply from a worker is dropped instead of reaching a freed endpoint.
class ReplyHub : public std::enable_shared_from_this<ReplyHub> {
public:
  explicit ReplyHub(ListenerEndpoint& endpoint);

  // Hands the text to the connection's strand, which writes it if the
  // connection is still open; a reply for a closed connection is dropped. A
  // sender that does not read its replies is not read either, until they
  // drain: its unsent replies cannot grow without bound.
  void post(const websocketpp::connection_hdl& hdl, std::string text);
  // Defers a request's HTTP answer and keeps its connection meanwhile:
  // nothing else holds it while its notifications are handled.
  void defer(const ListenerEndpoint::connection_ptr& connection);
  // Sends the answer of a held HTTP request, on its connection's strand:
  // never before the request's own handler has returned.
  void respond(const websocketpp::connection_hdl& hdl, HttpAnswer answer);
  void detach();

private:
  struct State {
    ListenerEndpoint* endpoint;
    HandleSet paused;
    std::map<websocketpp::connection_hdl, ListenerEndpoint::connection_ptr, HandleLess> deferred;
    std::unique_ptr<boost::asio::steady_timer> drainTimer;
    bool drainArmed = false;
    // Kept while an answer is held.
    std::unique_ptr<boost::asio::io_service::work> held;
  };

  // Pauses reading a connection whose replies have piled up; on its strand.
  void pauseIfBacklogged(const ListenerEndpoint::connection_ptr& connection);
  // Every 50 ms while a session is paused: one whose replies have drained
  // to half the bound is read again, on its strand.
  void armDrainCheck(State& state);
  void checkDrained();

  LockGuarded<State> state_;
};

// The reply channel of one acknowledged connection.
class ConnectionReplies : public ReplyChannel {
public:
  ConnectionReplies(std::shared_ptr<ReplyHub> hub, websocketpp::connection_hdl hdl);

  void send(std::uint64_t seq, Outcome outcome) override;

  // Numbers the connection's messages; called only from its message handler,
  // which the connection's strand serialises.
  std::uint64_t nextSeq() { return lastSeq_.fetch_add(1) + 1; }

  // Whether a message of the session still waits for its answer; and when
  // the last answer went.
  bool inFlight() const { return answered_.load() < lastSeq_.load(); }
  std::chrono::steady_clock::time_point lastReply() const
  {
    return std::chrono::steady_clock::time_point(std::chrono::steady_clock::duration(lastReply_.load()));
  }

private:
  std::shared_ptr<ReplyHub> hub_;
  websocketpp::connection_hdl hdl_;
  std::atomic<std::uint64_t> lastSeq_ { 0 };
  std::atomic<std::uint64_t> answered_ { 0 };
  std::atomic<std::chrono::steady_clock::rep> lastReply_ { 0 };
};
