#pragma once

#include "database/connection_settings.h"

#include <libpq-fe.h>

#include <string>
#include <vector>

// A fresh database for one test, copied from the throwaway cluster's
// "quelm" database (the product schema), and dropped again at the end.
// The cluster's settings come from the file named by QUELM_TEST_ENV, which
// the test fixture writes when it starts the cluster.
class TestDatabase {
public:
  TestDatabase();
  // The same on the cluster whose settings file is given.
  explicit TestDatabase(const std::string& envFile);
  ~TestDatabase();
  TestDatabase(const TestDatabase&) = delete;
  TestDatabase& operator=(const TestDatabase&) = delete;

  // libpq connection string of this test's database.
  std::string connectionString() const;
  std::string connectionString(const std::string& password) const;

  // Runs SQL on this database; throws std::runtime_error on failure.
  void exec(const std::string& sql);
  // First column of the first row (empty when no row).
  std::string scalar(const std::string& sql);
  // Every row, each as its columns' texts.
  std::vector<std::vector<std::string>> rows(const std::string& sql);

  std::string host, port, user, password, name;

private:
  PGconn* connection_ = nullptr;
};

// Settings of the throwaway cluster (host, port, user, password, database).
struct ClusterSettings {
  std::string host, port, user, password, database;
};
ClusterSettings clusterSettings();
ClusterSettings clusterSettings(const std::string& envFile);

// A cluster of a test's own, for tests that stop or restart the server;
// removed at the end.
class PrivateCluster {
public:
  PrivateCluster();
  ~PrivateCluster();
  PrivateCluster(const PrivateCluster&) = delete;
  PrivateCluster& operator=(const PrivateCluster&) = delete;

  const std::string& envFile() const { return envFile_; }
  // "restart", "halt" (stop, keeping the data) or "resume"; true on success.
  bool control(const std::string& action);

private:
  std::string envFile_;
};

// The pool's connection settings for a test database.
inline ConnectionSettings settingsOf(const TestDatabase& db, const std::string& password = "")
{
  return ConnectionSettings::of(db.host, db.port, db.name, db.user, password.empty() ? db.password : password);
}
