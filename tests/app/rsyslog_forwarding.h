#pragma once

#include "tests/support/command.h"
#include "tests/support/free_port.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <string>
#include <utility>
#include <vector>

// The shipped rsyslog configuration pointed at this build's quelm-notify and the given Receiver URIs (verified against
// the PEM file), listening on a free loopback port, with a private work directory, the program's output in
// DIR/notify.out and rsyslog's own messages in DIR/rsyslog.out. Each text replaced must be in the shipped file, so that
// a change to it is noticed: a missing one is named in `missing` and nothing is written.
struct RsyslogForwarding {
  RsyslogForwarding(const TempDir& dir, const std::string& uris, const std::string& pem)
      : dir_(dir.path())
  {
    const std::string listen = "address=\"127.0.0.1\" port=\"" + std::to_string(port) + "\"";
    std::string conf = readFile(shipped);
    const std::string notify = std::string(QUELM_BINARY_DIR) + "/tools/quelm-notify " + uris + " --cacert " + pem;
    for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>> {
             { "input(type=\"imudp\" port=\"514\"", "input(type=\"imudp\" " + listen },
             { "input(type=\"imtcp\" port=\"514\"", "input(type=\"imtcp\" " + listen },
             { QUELM_INSTALL_BINDIR "/quelm-notify wss://127.0.0.1:6514/ --cacert " QUELM_INSTALL_SYSCONFDIR
                                    "/quelm/ca.pem",
                 notify },
             { "template=\"QuelmJson\"\n", "template=\"QuelmJson\" output=\"" + dir.path() + "/notify.out\"\n" } }) {
      if (conf.find(from) == std::string::npos) {
        missing = from;
        return;
      }
      conf.replace(conf.find(from), from.size(), to);
    }
    confPath = dir.write("rsyslog.conf",
        "global(workDirectory=\"" + dir.path() + "\")\n" + conf + "\n*.* action(type=\"omfile\" file=\"" + dir.path()
            + "/rsyslog.out\")\n");
  }

  // Writes the lines to rsyslog's TCP input once it listens; false when it never did.
  bool send(const std::string& lines) const
  {
    return waitFor(20, [&] {
      return runCommand("exec bash -c 'cat >/dev/tcp/127.0.0.1/" + std::to_string(port) + "'", lines).status == 0;
    });
  }
  // What rsyslog and quelm-notify said, to see what went wrong.
  std::string diagnostics(const TestProcess& rsyslog) const
  {
    return "rsyslogd: " + rsyslog.output() + "\nquelm-notify: " + readFile(dir_ + "/notify.out")
        + "\nrsyslog internal: " + readFile(dir_ + "/rsyslog.out");
  }

  const std::string dir_;
  const std::string shipped = std::string(QUELM_BINARY_DIR) + "/packaging/rsyslog-quelm.conf";
  int port = freeLoopbackPort();
  std::string confPath;
  std::string missing;
};
