#pragma once

#include "tests/support/command.h"
#include "tests/support/free_port.h"
#include "tests/support/test_process.h"

#include <string>

// socat on 127.0.0.1 in front of a local port, for making a server go silent: frozen (SIGSTOP to socat and the
// children it forked for each connection), it moves no byte in either direction but keeps every socket open, as a hung
// server or a stuck pooler does (the kernel still acknowledges what is sent, and queues new connections).
class TcpProxy {
public:
  explicit TcpProxy(int targetPort)
      : socat_({ "/usr/bin/socat", listen_, "TCP:127.0.0.1:" + std::to_string(targetPort) })
  {
    const std::string probe = "exec bash -c 'exec 3<>/dev/tcp/127.0.0.1/" + std::to_string(port_) + "'";
    waitFor(10, [&] { return runCommand(probe).status == 0; });
  }
  ~TcpProxy() { signalAll("KILL"); }
  TcpProxy(const TcpProxy&) = delete;
  TcpProxy& operator=(const TcpProxy&) = delete;

  int port() const { return port_; }
  void freeze() { signalAll("STOP"); }
  void thaw() { signalAll("CONT"); }
  // Ends every connection it carries (each is a child of the listening socat) and goes on listening.
  void cut() { runCommand("pkill -KILL -P " + std::to_string(socat_.pid())); }

private:
  void signalAll(const char* signal)
  {
    runCommand("pkill -" + std::string(signal) + " -f -x " + shellQuote("/usr/bin/socat " + listen_ + " .*"));
  }

  int port_ = freeLoopbackPort();
  std::string listen_ = "TCP-LISTEN:" + std::to_string(port_) + ",bind=127.0.0.1,reuseaddr,fork";
  TestProcess socat_;
};
