#pragma once

#include "database/connection_settings.h"

#include <libpq-fe.h>

#include <string>
#include <vector>

// Connection settings of the throwaway cluster, read from the KEY=VALUE file
// that scripts/pg-cluster.sh writes (PGHOST, PGPORT, PGUSER, PGPASSWORD,
// PGDATABASE).
struct ClusterSettings {
  std::string host, port, user, password, database;

  static ClusterSettings fromEnvFile(const std::string& path);
  std::string connectionString() const;
  ConnectionSettings pool() const { return ConnectionSettings::of(host, port, database, user, password); }
};

// One plain libpq connection for the benchmark's own set-up and checks.
// Failures throw std::runtime_error with the server's message.
class BenchDatabase {
public:
  explicit BenchDatabase(const ClusterSettings& settings);
  ~BenchDatabase();
  BenchDatabase(const BenchDatabase&) = delete;
  BenchDatabase& operator=(const BenchDatabase&) = delete;

  void exec(const std::string& sql);
  // First column of the first row; empty when there is no row.
  std::string scalar(const std::string& sql);
  std::vector<std::vector<std::string>> rows(const std::string& sql);
  PGconn* raw() { return connection_; }

private:
  PGconn* connection_ = nullptr;
};

// Replaces the product rows with one syslog plugin (pluginPath), `hosts`
// devices named prefix + number and one service per device (ids 1..hosts),
// all OK with an empty last output; zeroes the per-service update counters.
void seedServices(BenchDatabase& db, const std::string& pluginPath, const std::string& prefix, int hosts);

// Host name of service number index (0-based) for a given prefix.
std::string benchHostName(const std::string& prefix, int index);

// Turns one of the benchmark's triggers on quelm_services on or off.
void setBenchTrigger(BenchDatabase& db, const std::string& trigger, bool enabled);
