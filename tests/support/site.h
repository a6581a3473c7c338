#pragma once

#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"
#include "tests/support/test_process.h"

#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// A product database whose hosts host00, host01... each have a syslog service checked by a plugin (the two-mode test
// plugin, at `plugin`) that answers CRITICAL, WARNING or OK after the word it is sent (CRIT, WARN, anything else)
// followed by what it was sent, and an alerting program for every state that appends its argument (the occurrence id)
// to a file; plus stale0, stale1... whose CRITICAL occurrence has been open for ten minutes. Triggers record every
// stored "seq=N" in `delivered` and every service found with two open occurrences in `doubled`.
struct Site {
  Site(const TempDir& dir, const std::string& name, int hosts, int stale = 0, const std::string& envFile = "");

  // Distinct sequence numbers stored, and those of 1..count that are not.
  int delivered();
  std::string missing(int count);

  // A Receiver of the site with its own port, configuration and log (dir/name.log); extra entries as for
  // writeReceiverConfig, options after the configuration on its command line.
  std::unique_ptr<TestProcess> startReceiver(const TempDir& dir, const std::string& name, int port,
      const std::string& pem, std::map<std::string, std::string> extra = {},
      const std::vector<std::string>& options = {});

  TestDatabase db;
  std::string alerts;
  std::string plugin;
};

// Whether the Receiver logging to this file has started its workers (within 30 s).
bool started(const std::string& log);

// Writes the lines to a loopback TCP port once it listens; false when it never did.
bool sendTcp(int port, const std::string& lines);

// A shipped configuration with each text replaced; the first one not found in it is named in `missing`.
std::string adapted(const std::string& path, const std::vector<std::pair<std::string, std::string>>& replacements,
    std::string& missing);

// The shipped HAProxy configuration listening on 127.0.0.1:port, its three servers the Receivers on these loopback
// ports.
std::string haproxyConfig(int port, const std::vector<int>& receiverPorts, std::string& missing);

// A real syslog-ng (unpacked into the build tree by scripts/fetch-syslog-ng.sh) with the shipped http() destination
// and its reliable disk buffer, pointed at https://localhost:PORT/ and verifying the Receiver against `pem`, presenting
// `clientPem` when one is given; it reads syslog over TCP on 127.0.0.1:input. Nothing runs when the copy is not there
// or a text to replace is not in the shipped file (named in `missing`).
struct SyslogNg {
  SyslogNg(const TempDir& dir, int receiverPort, const std::string& pem, const std::string& clientPem = "");

  bool send(const std::string& lines) const { return sendTcp(input, lines); }

  const std::string root;
  int input;
  std::string missing;
  std::unique_ptr<TestProcess> process;
};
