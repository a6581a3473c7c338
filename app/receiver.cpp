#include "app/receiver.h"

#include "app/database_preparation.h"
#include "app/metrics_endpoint.h"
#include "app/receiver_settings.h"
#include "app/stop_signal.h"
#include "core/conversions.h"
#include "core/ini_config.h"
#include "core/log.h"
#include "database/database_probe.h"
#include "database/pg_pool.h"
#include "execution/persistent_plugin.h"
#include "execution/plugin_runner.h"
#include "execution/unique_fd.h"
#include "intake/listen_error.h"
#include "intake/notification_server.h"
#include "processing/alerts.h"
#include "processing/cleaning.h"
#include "processing/processing_context.h"
#include "processing/state_batches.h"
#include "processing/workers.h"

#include <libpq-fe.h>

#include <ext/stdio_filebuf.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <iostream>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

// The log file, truncated at each start. Opened close-on-exec so that
// plugins and alerting programs never inherit it.
std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> openLogFile(const std::string& path)
{
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0)
    return nullptr;
  return std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out);
}

void sleepSeconds(unsigned seconds) { std::this_thread::sleep_for(std::chrono::seconds(seconds)); }

// The log stream's buffer for the life of the process; the stream must not
// outlive it, so the standard output's own buffer is put back at the end.
struct LogRedirection {
  std::streambuf* original = std::cout.rdbuf();
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> file;
  ~LogRedirection() { redirectLog(original); }
};

} // namespace

Receiver::Receiver(Options options)
    : options_(std::move(options))
{
  setTraceEnabled(options_.debug);
}

Receiver::~Receiver()
{
  // No signal's action runs on what this destructor takes down.
  signals_.stop();
  requestStop();
  if (listenerThread_.joinable()) {
    listener_->stop();
    // Connections that do not finish their closing handshake in time are
    // cut, so that the stop always ends.
    if (listenerDone_.wait_for(std::chrono::seconds(5)) != std::future_status::ready)
      listener_->abort();
    listenerThread_.join();
  }
  if (cleanerThread_.joinable()) {
    cleaner_->stop();
    cleanerThread_.join();
  }
  if (workers_)
    workers_->join();
}

void Receiver::requestStop()
{
  systemd_.stopping();
  queue_.stopAndWakeAll(stopRequested_);
  // No new sender is taken once the stop has begun: a load balancer sends it
  // to another Receiver.
  if (NotificationServer* listener = acceptingListener_.load())
    listener->stopAccepting();
  // Plugins and alerting programs still running get a grace, then stop.
  cancel_.raise();
  // What is still queued will not be handled: each is logged, its sender
  // told, and later messages are refused.
  answerUnhandled(queue_.close(), metrics_.get());
}

int Receiver::run()
{
  if (PQisthreadsafe() == 0) {
    writeLog("ERR", "Error: Postgresql is not thread safe");
    std::cout << "Error: Postgresql is not thread safe" << std::endl;
    return 1;
  }
  LogRedirection log;
  try {
    IniConfig config(options_.configPath);
    settings_ = std::make_unique<ReceiverSettings>(readSettings(config));
    logPath_ = settings_->logFile;

    if (::dup2(1, 2) < 0) {
      int error = errno;
      std::cout << "erreur de redirection de flux stderr (dup2): " << std::generic_category().message(error)
                << std::endl;
      errno = error;
      std::perror("erreur de redirection de flux stderr (dup2)");
      return 2;
    }
    log.file = openLogFile(logPath_);
    if (!log.file)
      std::cout << "ERROR can't open file " << logPath_ << std::endl;
    else
      logFd_ = log.file->fd();
    // Without a log file the stream has no buffer and later lines are lost.
    redirectLog(log.file.get());
    int status = startAndServe();
    flushLog();
    return status;
  } catch (const ReceiverError& error) {
    writeRaw(error.what());
  }
  flushLog();
  return 1;
}

int Receiver::startAndServe()
{
  writeLog("INFO", "Receiver start....");
  writeLog("INFO", "Receiver configuration open succesful");
  for (const std::string& problem : settings_->problems)
    writeLog("ERR", "configuration: " + problem);
  if (!installSignals() || !connectDatabase())
    return 1;
  startListener(listenerSettings());
  buildProcessing();
  startWorkersAndCleaner();
  return serveUntilStop();
}

bool Receiver::installSignals()
{
  if (!signals_.start([this] { requestStop(); }, [this] { reopenLog(); }) || !installSigtermHandler()) {
    writeLog("ERR", "error SIGTERM");
    return false;
  }
  if (!installSighupHandler())
    writeLog("ERR", "error SIGHUP: the log file cannot be reopened on demand");
  if (!settings_->metricsListen.empty())
    metrics_ = std::make_unique<Metrics>();
  return true;
}

ConnectionSettings Receiver::databaseSettings()
{
  ConnectionSettings database = settings_->database;
  database.stopping = &stopRequested_;
  return database;
}

bool Receiver::connectDatabase()
{
  writeLog("INFO", "QUELM Database connection ....");
  writeLog("INFO", "Connection database....");
  pool_ = std::make_unique<PgPool>(databaseSettings(), settings_->connectionNumber, metrics_.get());
  writeLog("INFO", "Connection database sucessful. Encoding: " + pool_->clientEncoding());
  writeLog("INFO", "PREPARATION REQUEST ");
  DatabasePreparation prepared;
  prepareReceiverDatabase(*pool_, settings_->cluster, MissingTables::created, prepared);
  if (!prepared.tablesProblem.empty()) {
    writeLog("ERR", prepared.tablesProblem);
    return false;
  }
  errorIds_ = std::move(prepared.errorIds);
  return true;
}

ListenerSettings Receiver::listenerSettings()
{
  ListenerSettings listen = settings_->listen;
  if (listen.tls.profile == TlsProfile::modern)
    writeLog("INFO", "TLS profile modern: TLS 1.2 with AEAD suites, and TLS 1.3");
  SenderRules senders = settings_->senders;
  if (sendersIgnored(*settings_))
    writeLog("ERR", "SENDERS section ignored: it needs verify_client=1");
  else if (senders.active())
    writeLog("INFO", "SENDERS: " + std::to_string(senders.identityCount()) + " sender identities");
  if (listen.tls.verifyClient)
    listen.senders = std::move(senders);
  listen.metrics = metrics_.get();
  probe_ = std::make_unique<DatabaseProbe>(databaseSettings());
  listen.databaseCheck = [probe = probe_.get()](std::function<void(bool)> answer) { probe->check(std::move(answer)); };
  return listen;
}

void Receiver::startListener(const ListenerSettings& listen)
{
  // A plugin that exits without reading its input must not end the daemon.
  ignoreSigpipe();
  writeLog("INFO", "Start server on " + std::to_string(listen.port));
  listener_ = std::make_unique<NotificationServer>(listen, queue_);
  acceptingListener_ = listener_.get();
  listenerDone_ = listenerFinished_.get_future();
  listenerThread_ = std::thread([this] { runListener(); });
}

void Receiver::runListener()
{
  struct Done {
    std::promise<void>& finished;
    ~Done() { finished.set_value(); }
  } done { listenerFinished_ };
  try {
    listener_->run();
    return;
  } catch (const ListenError& error) {
    std::string reason = listener_->listenError();
    writeLog("ERR",
        "THREAD Syslog#receiver stopped: " + std::string(error.what()) + " on port "
            + std::to_string(listener_->listeningPort()) + (reason.empty() ? "" : ": " + reason));
  } catch (const std::exception& error) {
    writeLog("ERR", std::string("THREAD Syslog#receiver stopped: ") + error.what());
  }
  // Without its listener the daemon is useless: stop it as SIGTERM would.
  listenerFailed_ = true;
  requestStop();
}

void Receiver::buildProcessing()
{
  const ReceiverSettings& settings = *settings_;
  workerCount_ = settings.workers;
  buildContext();
  // In cluster mode every write is its service's fenced transaction, and
  // taking a service's lock tells whether it has an alert left to run.
  if (!settings.cluster) {
    stateBatches_ = std::make_unique<StateBatches>(*pool_, stopRequested_);
    context_->stateBatches = stateBatches_.get();
    pendingAlerts_.load(*pool_);
    context_->pendingAlerts = &pendingAlerts_;
  }
  queue_.setResendWindow(std::chrono::seconds(settings.resendWindowSeconds));
  std::set<std::string> persistent = settings.persistentPlugins;
  if (!persistent.empty()) {
    std::string listed;
    for (const std::string& path : persistent)
      listed += (listed.empty() ? "" : ", ") + path;
    writeLog("INFO", "PLUGINS: persistent processes for " + listed);
    persistent_ = std::make_unique<PersistentPlugins>(persistent, workerCount_, metrics_.get());
    context_->persistent = persistent_.get();
    registry_.setPersistentPlugins(std::move(persistent));
  }
  prepareAndLoadServices(*pool_, registry_, acknowledgements_);
}

void Receiver::buildContext()
{
  ProcessingParts parts;
  parts.pool = pool_.get();
  parts.registry = &registry_;
  parts.errorIds = &errorIds_;
  parts.serviceLocks = &serviceLocks_;
  parts.stopRequested = &stopRequested_;
  context_ = std::make_unique<ProcessingContext>(parts);
  context_->pluginTimeoutSeconds = settings_->pluginTimeoutSeconds;
  context_->alertTimeoutSeconds = settings_->alertTimeoutSeconds;
  context_->cancel = &cancel_;
  context_->metrics = metrics_.get();
  context_->cluster = settings_->cluster;
}

void Receiver::startWorkersAndCleaner()
{
  writeLog("INFO", "WAIT");
  sleepSeconds(5);
  writeLog("INFO", "Mutex INIT");
  writeLog("INFO", "INSTANCE CORE");
  workers_ = std::make_unique<Workers>(*context_, queue_);
  workers_->start(workerCount_);
  cleaner_ = std::make_unique<Cleaner>(*context_, acknowledgements_,
      std::chrono::seconds(settings_->cleaningCycleSeconds), std::chrono::seconds(settings_->resendWindowSeconds));
  cleanerThread_ = std::thread([this] {
    try {
      cleaner_->run();
    } catch (const std::exception& error) {
      writeLog("ERR", std::string("th_clean#stopped: ") + error.what());
    }
  });
}

int Receiver::serveUntilStop()
{
  startMetrics();
  writeLog("INFO", "SYSLOG was starting....");
  // Ready once the listener listens and the workers run; a listener that
  // failed has already begun the stop.
  if (listener_->waitListening(std::chrono::seconds(5))) {
    lastStatus_ = std::chrono::steady_clock::now();
    systemd_.ready(statusLine());
    systemd_.start([this] { return statusLine(); }, [this] { return healthProblem(); });
  }
  workers_->join();
  // No run is in progress any more: the persistent plugins see the end of
  // their input, get a grace, and whatever is left is stopped.
  if (persistent_)
    persistent_->stopAll();
  // Every notification taken has had its answer: the sessions are closed
  // with 1001 (going away), so that their senders send again elsewhere.
  listener_->stop();
  writeLog("INFO", "FINISH");
  // The listener never came up: an operator's supervisor must see it.
  if (listenerFailed_)
    return 1;
  // Replies to senders still go out meanwhile.
  sleepSeconds(10);
  return 0;
}

void Receiver::startMetrics()
{
  if (!metrics_)
    return;
  const std::string listen = settings_->metricsListen;
  LiveFigures live;
  live.queuedNotifications = [this] { return static_cast<double>(queue_.size()); };
  live.hostsWaiting = [this] { return static_cast<double>(queue_.hostsWaiting()); };
  live.openSessions = [this] { return static_cast<double>(listener_->connectionCount()); };
  live.runningWorkers = [this] { return static_cast<double>(workers_->running()); };
  live.persistentPlugins = [this] { return persistent_ ? static_cast<double>(persistent_->liveProcesses()) : 0.0; };
  try {
    metricsEndpoint_ = std::make_unique<MetricsEndpoint>(listen, *metrics_, std::move(live));
    writeLog("INFO", "METRICS on " + listen + "/metrics");
  } catch (const std::exception& error) {
    // Notifications matter more than their figures: the daemon goes on.
    writeLog("ERR", "METRICS cannot listen on " + listen + ": " + error.what());
  }
}

void Receiver::reopenLog()
{
  if (logFd_ < 0)
    return;
  // Appended to, never truncated: the file may be the one still in use when
  // a rotation did not rename it.
  UniqueFd reopened(::open(logPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  if (reopened.get() < 0) {
    writeLog("ERR", "cannot reopen the log file " + logPath_ + ": " + std::generic_category().message(errno));
    return;
  }
  bool moved = false;
  withLogPaused([&] { moved = ::dup3(reopened.get(), logFd_, O_CLOEXEC) >= 0; });
  if (!moved) {
    writeLog("ERR", "cannot reopen the log file " + logPath_ + ": " + std::generic_category().message(errno));
    return;
  }
  writeLog("INFO", "log file reopened");
}

std::string Receiver::statusLine()
{
  auto now = std::chrono::steady_clock::now();
  std::uint64_t handled = workers_->handled();
  double seconds = std::chrono::duration<double>(now - lastStatus_).count();
  double rate = seconds > 0 ? static_cast<double>(handled - lastHandled_) / seconds : 0;
  lastHandled_ = handled;
  lastStatus_ = now;
  char text[160];
  std::snprintf(text, sizeof text, "%zu sessions, %zu queued, %.1f notifications/s", listener_->connectionCount(),
      queue_.size(), rate);
  return text;
}

std::string Receiver::healthProblem()
{
  const int running = workers_->running();
  if (running < workerCount_)
    return std::to_string(workerCount_ - running) + " of " + std::to_string(workerCount_) + " workers ended";
  // A fraction of the watchdog period, so the answer comes before systemd
  // gives up.
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(systemd_.watchdogPeriod() / 4);
  if (!listener_->loopAnswers(std::max(wait, std::chrono::milliseconds(100))))
    return "the listener's event loop does not answer";
  return {};
}
