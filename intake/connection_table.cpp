#include "intake/connection_table.h"

ConnectionTable::ConnectionTable(std::size_t maxConnections, Ended ended)
    : maxConnections_(maxConnections)
    , ended_(std::move(ended))
{
}

bool ConnectionTable::admit(const websocketpp::connection_hdl& hdl)
{
  auto table = table_.lock();
  const std::size_t most = maxConnections_;
  // At the limit, the sessions whose sender has closed them no longer
  // count, although the library may wait for their TLS shutdown a while.
  if (table->live.size() >= table->pruneAt) {
    for (auto held = table->live.begin(); held != table->live.end();)
      held = held->expired() ? table->live.erase(held) : std::next(held);
    table->pruneAt = std::max<std::size_t>(64, 2 * table->live.size());
  }
  if (most == 0 || table->live.size() < most || table->live.size() - endedAmong(table->live) < most) {
    table->live.insert(hdl);
    return true;
  }
  return false;
}

bool ConnectionTable::open(const websocketpp::connection_hdl& hdl, Session session)
{
  auto table = table_.lock();
  table->sessions[hdl] = std::move(session);
  return table->stopping;
}

bool ConnectionTable::forget(const websocketpp::connection_hdl& hdl)
{
  auto table = table_.lock();
  table->sessions.erase(hdl);
  return table->live.erase(hdl) > 0;
}

void ConnectionTable::stamp(
    const websocketpp::connection_hdl& hdl, Notification& item, bool idleClock, std::string* identity)
{
  auto table = table_.lock();
  auto found = table->sessions.find(hdl);
  if (found == table->sessions.end())
    return;
  Session& session = found->second;
  if (idleClock)
    session.lastMessage = std::chrono::steady_clock::now();
  if (identity != nullptr)
    *identity = session.identity;
  if (session.replies) {
    item.seq = session.replies->nextSeq();
    item.replyTo = session.replies;
  }
}

std::size_t ConnectionTable::openCount()
{
  auto table = table_.lock();
  std::size_t ended = 0;
  for (const auto& entry : table->sessions)
    ended += ended_(entry.first);
  return table->sessions.size() - ended;
}

std::vector<websocketpp::connection_hdl> ConnectionTable::idleSince(std::chrono::steady_clock::time_point limit)
{
  std::vector<websocketpp::connection_hdl> idle;
  auto table = table_.lock();
  if (table->stopping)
    return idle;
  for (const auto& [hdl, session] : table->sessions) {
    // A session waiting for an answer is not idle; its clock starts again
    // from the last answer.
    const ConnectionReplies* replies = session.replies.get();
    if (replies != nullptr && (replies->inFlight() || replies->lastReply() > limit))
      continue;
    if (session.lastMessage <= limit)
      idle.push_back(hdl);
  }
  return idle;
}

std::vector<websocketpp::connection_hdl> ConnectionTable::beginStop()
{
  std::vector<websocketpp::connection_hdl> open;
  auto table = table_.lock();
  table->stopping = true;
  for (const auto& entry : table->sessions)
    open.push_back(entry.first);
  return open;
}

std::size_t ConnectionTable::endedAmong(const HandleSet& connections) const
{
  std::size_t ended = 0;
  for (const auto& hdl : connections)
    ended += ended_(hdl);
  return ended;
}
