#include "intake/reply_hub.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>

namespace {

// What the connection was given and has not sent yet: the library's queue
// and the socket's. Read on the connection's strand, where the library
// changes its queue.
std::size_t unsentBytes(ListenerEndpoint::connection_type& connection)
{
  int queued = 0;
  if (::ioctl(connection.get_socket().lowest_layer().native_handle(), SIOCOUTQ, &queued) != 0)
    queued = 0;
  return connection.get_buffered_amount() + static_cast<std::size_t>(queued);
}

} // namespace

void setAnswer(ListenerEndpoint::connection_type& connection, const HttpAnswer& answer)
{
  connection.set_status(static_cast<websocketpp::http::status_code::value>(answer.status));
  connection.replace_header("Content-Type", "application/json");
  // One request a connection: the library closes it after the answer.
  connection.replace_header("Connection", "close");
  if (answer.retryAfterSeconds > 0)
    connection.replace_header("Retry-After", std::to_string(answer.retryAfterSeconds));
  connection.set_body(answer.body);
}

ReplyHub::ReplyHub(ListenerEndpoint& endpoint)
    : state_(State { &endpoint, {}, {}, nullptr, false, nullptr })
{
}

void ReplyHub::post(const websocketpp::connection_hdl& hdl, std::string text)
{
  auto state = state_.lock();
  if (state->endpoint == nullptr)
    return;
  websocketpp::lib::error_code ec;
  ListenerEndpoint::connection_ptr connection = state->endpoint->get_con_from_hdl(hdl, ec);
  if (ec)
    return;
  connection->get_strand()->post([this, self = shared_from_this(), connection, text = std::move(text)] {
    const websocketpp::lib::error_code ec = connection->send(text, websocketpp::frame::opcode::text);
    if (!ec)
      pauseIfBacklogged(connection);
  });
}

void ReplyHub::pauseIfBacklogged(const ListenerEndpoint::connection_ptr& connection)
{
  if (unsentBytes(*connection) <= replyBacklogBytes)
    return;
  auto state = state_.lock();
  if (state->endpoint != nullptr && state->paused.insert(connection->get_handle()).second) {
    connection->pause_reading();
    armDrainCheck(*state);
  }
}

void ReplyHub::defer(const ListenerEndpoint::connection_ptr& connection)
{
  connection->defer_http_response();
  auto state = state_.lock();
  if (state->endpoint == nullptr)
    return;
  state->deferred[connection->get_handle()] = connection;
  // A held answer is work of the loop's: a stop's loop does not end before
  // it has been sent.
  if (!state->held)
    state->held = std::make_unique<boost::asio::io_service::work>(state->endpoint->get_io_service());
}

void ReplyHub::respond(const websocketpp::connection_hdl& hdl, HttpAnswer answer)
{
  auto state = state_.lock();
  auto held = state->deferred.find(hdl);
  if (held == state->deferred.end())
    return;
  ListenerEndpoint::connection_ptr connection = std::move(held->second);
  state->deferred.erase(held);
  connection->get_strand()->post([connection, answer = std::move(answer)] {
    setAnswer(*connection, answer);
    websocketpp::lib::error_code ec;
    connection->send_http_response(ec);
  });
  // The answer's own writing keeps the loop busy from here.
  if (state->deferred.empty())
    state->held.reset();
}

void ReplyHub::detach()
{
  auto state = state_.lock();
  state->endpoint = nullptr;
  state->deferred.clear();
  state->held.reset();
  if (state->drainTimer)
    state->drainTimer->cancel();
  state->paused.clear();
}

void ReplyHub::armDrainCheck(State& state)
{
  if (state.drainArmed)
    return;
  if (!state.drainTimer)
    state.drainTimer = std::make_unique<boost::asio::steady_timer>(state.endpoint->get_io_service());
  state.drainArmed = true;
  state.drainTimer->expires_after(std::chrono::milliseconds(50));
  state.drainTimer->async_wait([this, self = shared_from_this()](const boost::system::error_code& error) {
    if (!error)
      checkDrained();
    else
      state_.lock()->drainArmed = false;
  });
}

void ReplyHub::checkDrained()
{
  auto state = state_.lock();
  state->drainArmed = false;
  if (state->endpoint == nullptr)
    return;
  for (auto paused = state->paused.begin(); paused != state->paused.end();) {
    websocketpp::lib::error_code ec;
    ListenerEndpoint::connection_ptr connection = state->endpoint->get_con_from_hdl(*paused, ec);
    if (ec) {
      paused = state->paused.erase(paused);
      continue;
    }
    connection->get_strand()->post([this, self = shared_from_this(), connection] {
      if (unsentBytes(*connection) > replyBacklogBytes / 2)
        return;
      connection->resume_reading();
      state_.lock()->paused.erase(connection->get_handle());
    });
    ++paused;
  }
  if (!state->paused.empty())
    armDrainCheck(*state);
}

ConnectionReplies::ConnectionReplies(std::shared_ptr<ReplyHub> hub, websocketpp::connection_hdl hdl)
    : hub_(std::move(hub))
    , hdl_(std::move(hdl))
{
}

void ConnectionReplies::send(std::uint64_t seq, Outcome outcome)
{
  lastReply_ = std::chrono::steady_clock::now().time_since_epoch().count();
  answered_.fetch_add(1);
  hub_->post(hdl_, replyText(seq, outcome));
}
