#include "tests/support/test_database.h"

#include "tests/support/temp_dir.h"
#include "tests/support/test_process.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <unistd.h>

namespace {

using Result = std::unique_ptr<PGresult, decltype(&PQclear)>;

// A statement on a connection that survives a restart of the server under test: a dropped connection is reset once.
Result run(PGconn* connection, const std::string& sql)
{
  for (int attempt = 0;; ++attempt) {
    Result result(PQexec(connection, sql.c_str()), &PQclear);
    ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
      return result;
    if (attempt > 0 || PQstatus(connection) != CONNECTION_BAD)
      throw std::runtime_error("test SQL failed: " + sql + ": " + PQerrorMessage(connection));
    PQreset(connection);
  }
}

} // namespace

std::string clusterSetting(const std::string& file, const std::string& key)
{
  std::string text = "\n" + readFile(file);
  std::string::size_type at = text.find("\n" + key + "=");
  if (at == std::string::npos)
    throw std::runtime_error("no " + key + " in " + file + ": was the test cluster started?");
  at += key.size() + 2;
  return text.substr(at, text.find('\n', at) - at);
}

TestDatabase::TestDatabase(const std::string& envFile)
{
  const char* shared = std::getenv("QUELM_TEST_ENV");
  std::string file = envFile.empty() && shared ? shared : envFile;
  host = clusterSetting(file, "PGHOST");
  port = clusterSetting(file, "PGPORT");
  user = clusterSetting(file, "PGUSER");
  password = clusterSetting(file, "PGPASSWORD");
  static std::atomic<int> counter { 0 };
  name = "t_" + std::to_string(getpid()) + "_" + std::to_string(counter++);
  // Each test gets a copy of the product schema's database.
  PGconn* admin = PQconnectdb(connectionString("postgres").c_str());
  std::string error = PQerrorMessage(admin);
  if (PQstatus(admin) == CONNECTION_OK) {
    Result created(
        PQexec(admin, ("CREATE DATABASE " + name + " TEMPLATE " + clusterSetting(file, "PGDATABASE")).c_str()),
        &PQclear);
    error = PQresultStatus(created.get()) == PGRES_COMMAND_OK ? "" : PQerrorMessage(admin);
  }
  PQfinish(admin);
  connection_ = PQconnectdb(connectionString(name).c_str());
  if (!error.empty() || PQstatus(connection_) != CONNECTION_OK)
    throw std::runtime_error("test database not made: " + error + PQerrorMessage(connection_));
}

TestDatabase::~TestDatabase()
{
  PQfinish(connection_);
  PGconn* admin = PQconnectdb(connectionString("postgres").c_str());
  PQclear(PQexec(admin, ("DROP DATABASE IF EXISTS " + name + " WITH (FORCE)").c_str()));
  PQfinish(admin);
}

std::string TestDatabase::connectionString(const std::string& database) const
{
  return "host=" + host + " port=" + port + " dbname=" + database + " user=" + user + " password=" + password;
}

void TestDatabase::exec(const std::string& sql) { run(connection_, sql); }

std::string TestDatabase::scalar(const std::string& sql)
{
  Result result = run(connection_, sql);
  return PQntuples(result.get()) == 0 ? "" : PQgetvalue(result.get(), 0, 0);
}

PrivateCluster::PrivateCluster()
    : dir_(std::make_unique<TempDir>())
    , envFile_(dir_->path() + "/cluster.env")
    , standbyEnvFile_(dir_->path() + "/standby.env")
{
  if (!control("start"))
    throw std::runtime_error("the private test cluster did not start");
}

PrivateCluster::~PrivateCluster()
{
  if (!readFile(standbyEnvFile_).empty())
    controlStandby("stop");
  control("stop");
}

bool PrivateCluster::runScript(const std::vector<std::string>& arguments)
{
  std::vector<std::string> argv { std::string(QUELM_SOURCE_DIR) + "/scripts/pg-cluster.sh" };
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return TestProcess(argv).wait(120) == 0;
}

bool PrivateCluster::control(const std::string& action) { return runScript({ action, envFile_ }); }

bool PrivateCluster::startStandby(bool synchronous)
{
  return runScript({ "standby", standbyEnvFile_, envFile_, synchronous ? "sync" : "" });
}

bool PrivateCluster::controlStandby(const std::string& action) { return runScript({ action, standbyEnvFile_ }); }
