#include "tests/support/test_database.h"

#include "tests/support/test_process.h"

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <stdexcept>
#include <unistd.h>

namespace {

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

Result run(PGconn* connection, const std::string& sql)
{
  Result result(PQexec(connection, sql.c_str()));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    throw std::runtime_error("test SQL failed: " + sql + ": " + PQerrorMessage(connection));
  return result;
}

PGconn* connect(const std::string& conninfo)
{
  PGconn* connection = PQconnectdb(conninfo.c_str());
  if (PQstatus(connection) != CONNECTION_OK) {
    std::string message = PQerrorMessage(connection);
    PQfinish(connection);
    throw std::runtime_error("test database connection failed: " + message);
  }
  return connection;
}

std::string uniqueName()
{
  static std::atomic<int> counter { 0 };
  std::random_device device;
  return "t_" + std::to_string(getpid()) + "_" + std::to_string(counter++) + "_" + std::to_string(device() % 100000);
}

} // namespace

ClusterSettings clusterSettings()
{
  const char* path = std::getenv("QUELM_TEST_ENV");
  if (!path)
    throw std::runtime_error("QUELM_TEST_ENV is not set: run the tests through ctest");
  return clusterSettings(std::string(path));
}

ClusterSettings clusterSettings(const std::string& path)
{
  std::ifstream file(path);
  if (!file)
    throw std::runtime_error("cannot read " + path + ": was the test cluster started?");
  std::map<std::string, std::string> values;
  std::string line;
  while (std::getline(file, line)) {
    std::string::size_type eq = line.find('=');
    if (eq != std::string::npos)
      values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return { values["PGHOST"], values["PGPORT"], values["PGUSER"], values["PGPASSWORD"], values["PGDATABASE"] };
}

TestDatabase::TestDatabase()
    : TestDatabase(std::string())
{
}

TestDatabase::TestDatabase(const std::string& envFile)
{
  ClusterSettings cluster = envFile.empty() ? clusterSettings() : clusterSettings(envFile);
  host = cluster.host;
  port = cluster.port;
  user = cluster.user;
  password = cluster.password;
  name = uniqueName();
  PGconn* admin = connect("host=" + host + " port=" + port + " dbname=postgres user=" + user + " password=" + password);
  try {
    run(admin, "CREATE DATABASE " + name + " TEMPLATE " + cluster.database);
  } catch (...) {
    PQfinish(admin);
    throw;
  }
  PQfinish(admin);
  connection_ = connect(connectionString());
}

TestDatabase::~TestDatabase()
{
  PQfinish(connection_);
  PGconn* admin = PQconnectdb(
      ("host=" + host + " port=" + port + " dbname=postgres user=" + user + " password=" + password).c_str());
  if (PQstatus(admin) == CONNECTION_OK)
    PQclear(PQexec(admin, ("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)").c_str()));
  PQfinish(admin);
}

std::string TestDatabase::connectionString() const { return connectionString(password); }

std::string TestDatabase::connectionString(const std::string& pwd) const
{
  return "host=" + host + " port=" + port + " dbname=" + name + " user=" + user + " password=" + pwd;
}

// The test's own connection survives a restart of the server under test.
static Result runReconnecting(PGconn* connection, const std::string& sql)
{
  try {
    return run(connection, sql);
  } catch (const std::runtime_error&) {
    if (PQstatus(connection) != CONNECTION_BAD)
      throw;
    PQreset(connection);
    return run(connection, sql);
  }
}

void TestDatabase::exec(const std::string& sql) { runReconnecting(connection_, sql); }

std::string TestDatabase::scalar(const std::string& sql)
{
  Result result = runReconnecting(connection_, sql);
  if (PQntuples(result.get()) == 0)
    return "";
  return PQgetvalue(result.get(), 0, 0);
}

std::vector<std::vector<std::string>> TestDatabase::rows(const std::string& sql)
{
  Result result = runReconnecting(connection_, sql);
  std::vector<std::vector<std::string>> out;
  for (int r = 0; r < PQntuples(result.get()); ++r) {
    std::vector<std::string> row;
    for (int c = 0; c < PQnfields(result.get()); ++c)
      row.emplace_back(PQgetvalue(result.get(), r, c));
    out.push_back(std::move(row));
  }
  return out;
}

namespace {

const std::string clusterScript = std::string(QUELM_SOURCE_DIR) + "/scripts/pg-cluster.sh";

bool runClusterScript(const std::string& action, const std::string& envFile)
{
  TestProcess script({ clusterScript, action, envFile });
  return script.wait(120) == 0;
}

} // namespace

PrivateCluster::PrivateCluster()
{
  char pattern[] = "/tmp/quelm-cluster.XXXXXX";
  int fd = mkstemp(pattern);
  if (fd < 0)
    throw std::runtime_error("mkstemp failed");
  ::close(fd);
  envFile_ = pattern;
  if (!runClusterScript("start", envFile_))
    throw std::runtime_error("the private test cluster did not start");
}

PrivateCluster::~PrivateCluster() { runClusterScript("stop", envFile_); }

bool PrivateCluster::control(const std::string& action) { return runClusterScript(action, envFile_); }
