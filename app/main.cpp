// quelm-receiver: the notification receiver daemon. This file only reads
// the command line and runs the Receiver.

#include "app/receiver.h"

#include "core/log.h"

#include <openssl/crypto.h>

#include <cstdlib>
#include <unistd.h>

namespace {

Receiver::Options parseCommandLine(int argc, char** argv)
{
  Receiver::Options options;
  int option = 0;
  // NOLINTNEXTLINE(concurrency-mt-unsafe): the command line is read before any thread starts.
  while ((option = getopt(argc, argv, "f:D")) != -1) {
    switch (option) {
    case 'f':
      options.configPath = optarg;
      break;
    case 'D':
      options.debug = true;
      break;
    default:
      // getopt has already printed its diagnostic; the option is skipped.
      break;
    }
  }
  return options;
}

} // namespace

int main(int argc, char** argv)
{
  Receiver::Options options = parseCommandLine(argc, argv);
  // OpenSSL must not free its global state in an exit handler while the
  // stop thread, which is never joined, still exists.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);
  int status = 0;
  {
    Receiver receiver(options);
    status = receiver.run();
  }
  // The stop thread waits on its pipe until the very end: end the process
  // with the log flushed, without destroying anything under it.
  flushLog();
  std::_Exit(status);
}
