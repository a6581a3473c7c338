// quelm-receiver: the notification receiver daemon. This file only reads
// the command line and runs the Receiver, or the configuration check.

#include "app/config_check.h"
#include "app/receiver.h"

#include "core/log.h"

#include <openssl/crypto.h>

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <unistd.h>

namespace {

const char* const usageText = R"(Usage: quelm-receiver [-f CONFIG] [-D]
       quelm-receiver --check | --check-startup [-f CONFIG]

Receives notifications over secure WebSocket, runs each host's service
plugin and records the state in the product database.

  -f CONFIG   configuration file (default /etc/quelm/receiver.conf)
  -D          debug mode: the log also gets the DEBUG trace lines
  --check     check the configuration and exit: every value, the TLS
              certificate, key and authority, the database and the
              daemon's statements, the plugin and alerting programs of
              the services. One line per problem, then a summary; exit 1
              with any problem, 0 otherwise. A certificate that ends
              within 30 days is a warning line only (exit 0). Starts no
              listener, writes no log file and nothing to the database.
  --check-startup
              the check the systemd unit runs before each start: the
              same, except that a service whose plugin or alerting
              program cannot be run is a warning (it fails that
              service's notifications, not the start).
  --version   print the version and exit
  --help      this text

Stops on SIGTERM; SIGHUP reopens the log file. See quelm-receiver(8) and
receiver.conf(5).
)";

struct CommandLine {
  Receiver::Options receiver;
  bool check = false;
  ProgramFaults programFaults = ProgramFaults::problems;
};

CommandLine parseCommandLine(int argc, char** argv)
{
  CommandLine line;
  Receiver::Options& options = line.receiver;
  int option = 0;
  static const struct option longOptions[] = { { "help", no_argument, nullptr, 'h' },
    { "version", no_argument, nullptr, 'V' }, { "check", no_argument, nullptr, 'C' },
    { "check-startup", no_argument, nullptr, 'S' }, { nullptr, 0, nullptr, 0 } };
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the command line is read before any thread starts.
  while ((option = getopt_long(argc, argv, "f:D", longOptions, nullptr)) != -1) {
    switch (option) {
    case 'h':
      std::fputs(usageText, stdout);
      std::exit(0);
    case 'V':
      std::puts("quelm-receiver " QUELM_VERSION);
      std::exit(0);
    case 'f':
      options.configPath = optarg;
      break;
    case 'D':
      options.debug = true;
      break;
    case 'S':
      line.programFaults = ProgramFaults::warnings;
      line.check = true;
      break;
    case 'C':
      line.check = true;
      break;
    default:
      // getopt has already printed its diagnostic; the option is skipped.
      break;
    }
  }
  return line;
}

} // namespace

int main(int argc, char** argv)
{
  CommandLine line = parseCommandLine(argc, argv);
  const Receiver::Options& options = line.receiver;
  // OpenSSL must not free its global state in an exit handler while another
  // thread may still use it.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  if (line.check) {
    // With -D the log lines of the steps checked go to standard error.
    setTraceEnabled(options.debug);
    return printCheckReport(options.configPath,
        checkConfiguration(options.configPath, options.debug ? std::cerr.rdbuf() : nullptr, line.programFaults),
        std::cout);
  }
  int status = 0;
  {
    Receiver receiver(options);
    status = receiver.run();
  }
  // End the process with the log flushed, without the exit handlers of the
  // libraries under threads they do not know (the persistent plugins' and
  // the listener's are joined; the pipe of a late signal stays open).
  flushLog();
  std::_Exit(status);
}
