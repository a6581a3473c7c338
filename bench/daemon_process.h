#pragma once

#include "bench/bench_database.h"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A scratch directory under /tmp, removed with its contents at the end.
class ScratchDir {
public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string write(const std::string& name, const std::string& text) const;

private:
  std::string path_;
};

std::string readWholeFile(const std::string& path);

// A free TCP port on 127.0.0.1 (bound to port 0, read back, released).
int freeLoopbackPort();

// A self-signed certificate followed by its key in one PEM file, made with
// the openssl command; returns its path.
std::string makeCertificatePem(const ScratchDir& dir);

struct DaemonOptions {
  std::string receiverPath;
  int workers = 8;
  int connections = 8;
  // With a [METRICS] endpoint on a free loopback port: every notification
  // is counted.
  bool metrics = false;
  // cluster=1: services locked in the database, as several Receivers on one
  // database run.
  bool cluster = false;
  // Plugin programs served by long-running processes ([PLUGINS]
  // persistent=...); none: one process per notification.
  std::vector<std::string> persistentPlugins;
};

// The real quelm-receiver, started with a configuration written into dir
// and stopped with SIGTERM (SIGKILL if it does not end in time).
class DaemonProcess {
public:
  DaemonProcess(const ScratchDir& dir, const ClusterSettings& cluster, const DaemonOptions& options);
  ~DaemonProcess();
  DaemonProcess(const DaemonProcess&) = delete;
  DaemonProcess& operator=(const DaemonProcess&) = delete;

  // Waits until the workers run ("SYSLOG was starting...." in the log);
  // false on time-out or if the process ended.
  bool waitReady(std::chrono::seconds timeout);
  // SIGTERM, then waits; returns the exit status (-1: killed after timeout).
  int stop(std::chrono::seconds timeout);

  pid_t pid() const { return pid_; }
  int port() const { return port_; }
  std::string uri() const;
  std::string logPath() const { return logPath_; }
  std::string log() const { return readWholeFile(logPath_); }

private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string logPath_;
};
