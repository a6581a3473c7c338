#include "bench/bench_database.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>

namespace {

struct ResultDeleter {
  void operator()(PGresult* result) const { PQclear(result); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

Result run(PGconn* connection, const std::string& sql)
{
  Result result(PQexec(connection, sql.c_str()));
  ExecStatusType status = PQresultStatus(result.get());
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK)
    throw std::runtime_error("SQL failed: " + std::string(PQerrorMessage(connection)) + " in: " + sql.substr(0, 200));
  return result;
}

} // namespace

ClusterSettings ClusterSettings::fromEnvFile(const std::string& path)
{
  std::ifstream in(path);
  if (!in)
    throw std::runtime_error("cannot read the cluster settings file " + path);
  std::map<std::string, std::string> values;
  std::string line;
  for (int count = 0; count < 1000 && std::getline(in, line); ++count) {
    auto equals = line.find('=');
    if (equals != std::string::npos)
      values[line.substr(0, equals)] = line.substr(equals + 1);
  }
  ClusterSettings settings { values["PGHOST"], values["PGPORT"], values["PGUSER"], values["PGPASSWORD"],
    values["PGDATABASE"] };
  if (settings.host.empty() || settings.port.empty() || settings.database.empty())
    throw std::runtime_error("the cluster settings file " + path + " lacks PGHOST, PGPORT or PGDATABASE");
  return settings;
}

std::string ClusterSettings::connectionString() const
{
  return "host=" + host + " port=" + port + " dbname=" + database + " user=" + user + " password=" + password;
}

BenchDatabase::BenchDatabase(const ClusterSettings& settings)
    : connection_(PQconnectdb(settings.connectionString().c_str()))
{
  if (PQstatus(connection_) != CONNECTION_OK) {
    std::string message = PQerrorMessage(connection_);
    PQfinish(connection_);
    throw std::runtime_error("cannot connect to the benchmark database: " + message);
  }
  run(connection_, "SET client_min_messages = warning");
}

BenchDatabase::~BenchDatabase() { PQfinish(connection_); }

void BenchDatabase::exec(const std::string& sql) { run(connection_, sql); }

std::string BenchDatabase::scalar(const std::string& sql)
{
  Result result = run(connection_, sql);
  if (PQntuples(result.get()) == 0)
    return "";
  return PQgetvalue(result.get(), 0, 0);
}

std::vector<std::vector<std::string>> BenchDatabase::rows(const std::string& sql)
{
  Result result = run(connection_, sql);
  std::vector<std::vector<std::string>> all;
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    std::vector<std::string> columns;
    for (int column = 0; column < PQnfields(result.get()); ++column)
      columns.emplace_back(PQgetvalue(result.get(), row, column));
    all.push_back(std::move(columns));
  }
  return all;
}

std::string benchHostName(const std::string& prefix, int index)
{
  char number[16];
  std::snprintf(number, sizeof(number), "%05d", index);
  return prefix + number;
}

void seedServices(BenchDatabase& db, const std::string& pluginPath, const std::string& prefix, int hosts)
{
  db.exec("BEGIN");
  db.exec("DELETE FROM quelm_error_happen");
  db.exec("DELETE FROM quelm_service_response_program");
  db.exec("DELETE FROM quelm_services");
  db.exec("DELETE FROM quelm_device_advance_config");
  db.exec("DELETE FROM quelm_device");
  db.exec("DELETE FROM quelm_plugins");
  db.exec("DELETE FROM bench_update_counts");
  std::string path = pluginPath;
  std::string quoted;
  for (char c : path)
    quoted += c == '\'' ? std::string("''") : std::string(1, c);
  db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_name, plugin_path, plugin_type) VALUES (1, 'bench', '" + quoted
      + "', 'syslog')");
  // Names come from the same helper the senders use.
  db.exec("INSERT INTO quelm_device (device_id, device_name) SELECT i, '" + prefix
      + "' || lpad((i - 1)::text, 5, '0') FROM generate_series(1, " + std::to_string(hosts) + ") AS i");
  db.exec("INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
          "service_previous_state, service_last_stdout) SELECT i, 'bench-' || i, 1, i, 0, '' FROM generate_series(1, "
      + std::to_string(hosts) + ") AS i");
  db.exec("INSERT INTO bench_update_counts (service_id, updates) SELECT i, 0 FROM generate_series(1, "
      + std::to_string(hosts) + ") AS i");
  db.exec("COMMIT");
  db.exec("VACUUM ANALYZE quelm_services");
  db.exec("VACUUM ANALYZE bench_update_counts");
}

void setBenchTrigger(BenchDatabase& db, const std::string& trigger, bool enabled)
{
  db.exec("ALTER TABLE quelm_services " + std::string(enabled ? "ENABLE" : "DISABLE") + " TRIGGER " + trigger);
}
