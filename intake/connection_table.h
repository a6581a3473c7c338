#pragma once

#include "core/lock_guarded.h"
#include "intake/listener_endpoint.h"
#include "intake/notification.h"
#include "intake/reply_hub.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The listener's connections, from their TCP accept to their end, and the
// open sessions among them: the connection limit, what a message needs of
// its session, the idle sessions and the stop's list.
class ConnectionTable {
public:
  // One open session: its reply channel (null when the sender did not ask
  // for acknowledgements), the common name of its certificate when the
  // sender rules need it, and when it last sent.
  struct Session {
    std::shared_ptr<ConnectionReplies> replies;
    std::string identity;
    std::chrono::steady_clock::time_point lastMessage;
  };
  // Whether a connection's WebSocket session is over (its TLS shutdown may
  // still be under way).
  using Ended = std::function<bool(const websocketpp::connection_hdl&)>;

  // maxConnections 0: no limit.
  ConnectionTable(std::size_t maxConnections, Ended ended);

  // Takes a new connection in; false when the limit is reached.
  bool admit(const websocketpp::connection_hdl& hdl);
  // Records an open session; true when the stop has begun, so that the
  // session is to be closed as soon as it opened.
  bool open(const websocketpp::connection_hdl& hdl, Session session);
  // Forgets an ended connection; false when it was never admitted.
  bool forget(const websocketpp::connection_hdl& hdl);
  // Gives a message of the session its number and reply channel, restarts
  // the idle clock when asked, and tells the sender's identity when asked;
  // nothing for a session no longer open.
  void stamp(const websocketpp::connection_hdl& hdl, Notification& item, bool idleClock, std::string* identity);
  // Open sessions, not those whose sender has closed them.
  std::size_t openCount();
  // Sessions that have sent nothing since limit and wait for no answer;
  // none once the stop has begun.
  std::vector<websocketpp::connection_hdl> idleSince(std::chrono::steady_clock::time_point limit);
  // Marks the stop begun and lists the open sessions, for it to close.
  std::vector<websocketpp::connection_hdl> beginStop();

private:
  struct Table {
    HandleSet live;
    // A plain HTTP request ends without a handler being told: its handle
    // is dropped from live once the set has grown to this.
    std::size_t pruneAt = 64;
    std::map<websocketpp::connection_hdl, Session, HandleLess> sessions;
    bool stopping = false;
  };
  std::size_t endedAmong(const HandleSet& connections) const;

  const std::size_t maxConnections_;
  const Ended ended_;
  LockGuarded<Table> table_;
};
