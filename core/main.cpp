// quelm-receiver: the notification receiver daemon. This file only wires the
// subsystems together in start-up order and waits for the workers to end.

#include "core/conversions.h"
#include "core/ini_config.h"
#include "core/log.h"
#include "core/process_state.h"
#include "core/stop_signal.h"
#include "database/pg_connection_pool.h"
#include "database/postgresql_exception.h"
#include "database/statements.h"
#include "execution/plugin_runner.h"
#include "intake/execute_queue.h"
#include "intake/syslog_server.h"
#include "processing/cleaning.h"
#include "processing/workers.h"
#include "services/service_loader.h"

#include <libpq-fe.h>
#include <openssl/crypto.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <iostream>
#include <memory>
#include <pthread.h>
#include <unistd.h>

namespace {

void parseCommandLine(int argc, char** argv)
{
  int option = 0;
  while ((option = getopt(argc, argv, "f:D")) != -1) {
    switch (option) {
    case 'f':
      pathToConfigFile = optarg;
      break;
    case 'D':
      debug = 1;
      break;
    default:
      // getopt has already printed its diagnostic; the option is skipped.
      break;
    }
  }
}

// The log file, truncated at each start. Opened close-on-exec so that
// plugins and alerting programs never inherit it.
std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> openLogFile(const std::string& path)
{
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return nullptr;
  return std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out);
}

// Ends the process with the log flushed. The network and cleaning threads
// are never joined and may still be writing to the log or using OpenSSL, so
// nothing is destroyed under them: no exit handlers, no static destructors.
[[noreturn]] void endProcess(int status)
{
  {
    std::lock_guard<std::mutex> guard(mutex_log_system);
    std::cout.flush();
    std::fflush(nullptr);
  }
  std::_Exit(status);
}

void sleepSeconds(unsigned seconds)
{
  // sleep() returns early when a signal lands on this thread: finish the wait.
  while (seconds > 0)
    seconds = ::sleep(seconds);
}

} // namespace

int main(int argc, char** argv)
{
  parseCommandLine(argc, argv);
  // The network thread is never joined and may still use OpenSSL while the
  // process exits: OpenSSL must not free its global state in an exit handler
  // under that thread.
  OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

  if (PQisthreadsafe() == 0) {
    write_log("ERR", "Error: Postgresql is not thread safe");
    std::cout << "Error: Postgresql is not thread safe" << std::endl;
    return 1;
  }

  std::streambuf* realStdout = std::cout.rdbuf();
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> logBuffer;
  // Whatever happens, the stream must not outlive the log file's buffer.
  struct RestoreStdout {
    std::streambuf* buffer;
    ~RestoreStdout() { std::cout.rdbuf(buffer); }
  } restore { realStdout };

  try {
    auto config = std::make_unique<iniConfig>(pathToConfigFile);
    std::string logPath = config->getKey("LOG", "log_file");

    if (::dup2(1, 2) < 0) {
      int error = errno;
      std::cout << "erreur de redirection de flux stderr (dup2): " << std::strerror(error) << std::endl;
      errno = error;
      std::perror("erreur de redirection de flux stderr (dup2)");
      return 2;
    }

    logBuffer = openLogFile(logPath);
    if (!logBuffer)
      std::cout << "ERROR can't open file " << logPath << std::endl;
    // Without a log file the stream has no buffer and later lines are lost.
    std::cout.rdbuf(logBuffer.get());

    write_log("INFO", "Receiver start....");
    write_log("INFO", "Receiver configuration open succesful");

    if (!startStopThread() || !installSigtermHandler()) {
      write_log("ERR", "error SIGTERM");
      return 1;
    }

    write_log("INFO", "QUELM Database connection ....");
    int connectionNumber = stringToInt(config->getKey("POSTGRESQL", "connection_number"));
    connectLine = "host=" + config->getKey("POSTGRESQL", "PGSQL_host") + " port="
        + config->getKey("POSTGRESQL", "PGSQL_port") + " dbname=" + config->getKey("POSTGRESQL", "PGSQL_db")
        + " user=" + config->getKey("POSTGRESQL", "PGSQL_username")
        + " password=" + config->getKey("POSTGRESQL", "PGSQL_pwd");
    write_log("INFO", "Connection database....");
    pgSQL = new pgConnectionPool(connectLine, connectionNumber);
    write_log("INFO", "Connection database sucessful. Encoding: " + pgSQL->getClientEncoding());

    write_log("INFO", "PREPARATION REQUEST ");
    prepareStartupStatements(*pgSQL);
    loadErrorNames(*pgSQL, map_error);

    port = stringToInt(config->getKey("SYSLOG", "port"));
    keyfile = config->getKey("SYSLOG", "certificate");
    cafile = config->getKey("SYSLOG", "cafile");
    // Optional: a plugin still running after this many seconds is stopped.
    setPluginTimeout(stringToInt(config->getKey("SYSLOG", "plugin_timeout")));
    verifyClient = stringToInt(config->getKey("SYSLOG", "verify_client"));
    maxMessageSize = stringToLong(config->getKey("SYSLOG", "max_message_size"));
    queueLimit = stringToLong(config->getKey("SYSLOG", "queue_limit"));

    executeService = new ExecuteQueue<notification>();
    // From now on the stop raises the flag and wakes every waiting worker
    // under the queue's mutex, so no worker can miss it.
    // What is still queued then will not be handled: each is logged, and its
    // sender told, and later messages are refused.
    setStopAction([] {
      executeService->stopAndWakeAll(die_quelm);
      answerUnhandled(executeService->close());
    });
    // A plugin that exits without reading its input must not end the daemon.
    ignoreSigpipe();
    pthread_create(&th_receiver, nullptr, thread_receiver, nullptr);

    prepareAndLoadServices(*pgSQL);

    write_log("INFO", "WAIT");
    sleepSeconds(5);
    write_log("INFO", "Mutex INIT");

    nbr_max_thread = stringToInt(config->getKey("SYSLOG", "thread"));
    write_log("INFO", "INSTANCE CORE");
    {
      // Held while starting: a worker that ends at once cannot remove itself
      // before its id is in the list.
      std::lock_guard<std::mutex> guard(mutex_vec_thread);
      for (long i = 0; i < nbr_max_thread; ++i) {
        pthread_t worker {};
        pthread_create(&worker, nullptr, thread_execute_plugin, reinterpret_cast<void*>(i));
        threadList.push_back(static_cast<unsigned long>(worker));
      }
    }
    pthread_create(&th_cleanolderror, nullptr, thread_clean_error, nullptr);

    write_log("INFO", "SYSLOG was starting....");
    {
      std::unique_lock<std::mutex> lock(mutex_vec_thread);
      cond_vec_thread.wait(lock, [] { return threadList.empty(); });
    }
    if (receiverFailed()) {
      // The listener never came up: an operator's supervisor must see it.
      write_log("INFO", "FINISH");
      endProcess(1);
    }

    write_log("INFO", "FINISH");
    sleepSeconds(10);
    config.reset();
    endProcess(0);
  } catch (const PostgresqlException& error) {
    write_raw(error.what());
  } catch (const FileException& error) {
    write_raw(error.what());
  }
  if (logBuffer)
    endProcess(1);
  return 1;
}
