#pragma once

#include "database/connection_settings.h"

#include <libpq-fe.h>

#include <memory>
#include <string>
#include <vector>

class TempDir;

// A fresh database for one test, copied from the throwaway cluster's "quelm" database (the product schema), and dropped
// again at the end. The cluster is the one named by the settings file given, by default the one the test fixture
// started (QUELM_TEST_ENV).
class TestDatabase {
public:
  explicit TestDatabase(const std::string& envFile = "");
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // Runs SQL on this database; throws std::runtime_error on failure.
  void exec(const std::string& sql);
  // First column of the first row (empty when no row).
  std::string scalar(const std::string& sql);

  std::string host, port, user, password, name;

private:
  std::string connectionString(const std::string& database) const;
  PGconn* connection_ = nullptr;
};

// The pool's connection settings for a test database.
inline ConnectionSettings settingsOf(const TestDatabase& db, const std::string& password = "")
{
  return ConnectionSettings::of(db.host, db.port, db.name, db.user, password.empty() ? db.password : password);
}

// A cluster of a test's own, for tests that stop or restart the server; removed at the end.
class PrivateCluster {
public:
  PrivateCluster();
  ~PrivateCluster();
  PrivateCluster(const PrivateCluster&) = delete;
  PrivateCluster& operator=(const PrivateCluster&) = delete;

  const std::string& envFile() const { return envFile_; }
  // "restart", "halt" (stop, keeping the data), "crash" (stop at once) or "resume"; true on success.
  bool control(const std::string& action);

  // Makes a streaming standby of the running cluster, from a base backup, on a port of its own, synchronous if asked;
  // true on success.
  bool startStandby(bool synchronous = false);
  const std::string& standbyEnvFile() const { return standbyEnvFile_; }
  // As control() for the standby, and "promote" to make it a primary.
  bool controlStandby(const std::string& action);

private:
  static bool runScript(const std::vector<std::string>& arguments);

  std::unique_ptr<TempDir> dir_;
  std::string envFile_;
  std::string standbyEnvFile_;
};

// The value of KEY in a cluster's settings file (KEY=value lines); throws std::runtime_error when it is not there.
std::string clusterSetting(const std::string& envFile, const std::string& key);
