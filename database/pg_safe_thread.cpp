#include "database/pg_safe_thread.h"

#include "database/postgresql_exception.h"

#include "core/log.h"

namespace {

std::string buildConnectionString(const std::string& host, int port, const std::string& database,
    const std::string& user, const std::string& password)
{
  return "host=" + host + " port=" + std::to_string(port) + " dbname=" + database + " user=" + user
      + " password=" + password;
}

std::vector<const char*> pointersTo(const std::vector<std::string>& values)
{
  std::vector<const char*> pointers;
  pointers.reserve(values.size());
  for (const std::string& value : values)
    pointers.push_back(value.c_str());
  return pointers;
}

} // namespace

pgSafeThread::pgSafeThread(std::string connectionString)
    : connection_(PQconnectdb(connectionString.c_str()))
    , connectionString_(std::move(connectionString))
{
  if (!connection_)
    throw PostgresqlException("out of memory opening the database connection\n");
  if (PQstatus(connection_.get()) != CONNECTION_OK) {
    std::string message = PQerrorMessage(connection_.get());
    message += "\n";
    connection_.reset();
    throw PostgresqlException(message);
  }
}

pgSafeThread::pgSafeThread(std::string host, int port, std::string database, std::string user, std::string password)
    : pgSafeThread(buildConnectionString(host, port, database, user, password))
{
}

pgSafeThread::~pgSafeThread() = default;

std::string pgSafeThread::getClientEncoding()
{
  std::lock_guard<std::mutex> guard(lock_);
  return pg_encoding_to_char(PQclientEncoding(connection_.get()));
}

PgResult pgSafeThread::checked(PGresult* raw, const std::string& prefix, bool connectionText)
{
  PgResult result(raw);
  ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
    return result;
  std::string text = (connectionText || !result) ? PQerrorMessage(connection_.get())
                                                 : PQresultErrorMessage(result.get());
  throw PostgresqlException(prefix + text);
}

bool pgSafeThread::recoverLocked()
{
  if (!lost_) {
    lost_ = true;
    std::string reason = PQerrorMessage(connection_.get());
    while (!reason.empty() && reason.back() == '\n')
      reason.pop_back();
    write_log("ERR", "database connection lost, reconnecting: " + reason);
  }
  auto now = std::chrono::steady_clock::now();
  if (resetAttempts_ > 0 && now - lastReset_ < resetInterval)
    return false;
  lastReset_ = now;
  ++resetAttempts_;
  PQreset(connection_.get());
  if (PQstatus(connection_.get()) != CONNECTION_OK)
    return false;
  for (const Prepared& statement : prepared_) {
    PgResult result(PQprepare(connection_.get(), statement.name.c_str(), statement.sql.c_str(), statement.paramCount,
        nullptr));
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      write_log("ERR", "database connection restored but " + statement.name
              + " cannot be prepared again: " + PQerrorMessage(connection_.get()));
      return false;
    }
  }
  lost_ = false;
  write_log("INFO", "database connection restored");
  return true;
}

template <typename Call>
PgResult pgSafeThread::runLocked(Call call, const std::string& prefix, bool connectionText)
{
  PgResult result(call());
  ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK)
    return result;
  if (PQstatus(connection_.get()) == CONNECTION_BAD) {
    std::string text = (connectionText || !result) ? PQerrorMessage(connection_.get())
                                                   : PQresultErrorMessage(result.get());
    result.reset();
    if (!recoverLocked())
      throw PostgresqlException(prefix + text);
    return checked(call(), prefix, connectionText);
  }
  return checked(result.release(), prefix, connectionText);
}

int pgSafeThread::resetAttempts()
{
  std::lock_guard<std::mutex> guard(lock_);
  return resetAttempts_;
}

PgResult pgSafeThread::executeRequest(std::string sql)
{
  std::lock_guard<std::mutex> guard(lock_);
  return runLocked([&] { return PQexec(connection_.get(), sql.c_str()); }, "execute failed:  ", true);
}

PgResult pgSafeThread::executeParamRequest(std::string sql, std::vector<std::string> values)
{
  std::vector<const char*> pointers = pointersTo(values);
  std::lock_guard<std::mutex> guard(lock_);
  return runLocked(
      [&] {
        return PQexecParams(connection_.get(), sql.c_str(), static_cast<int>(pointers.size()), nullptr,
            pointers.data(), nullptr, nullptr, 0);
      },
      "Execute failed:  ", false);
}

void pgSafeThread::prepareRequest(std::string name, std::string sql, int paramCount)
{
  std::lock_guard<std::mutex> guard(lock_);
  runLocked([&] { return PQprepare(connection_.get(), name.c_str(), sql.c_str(), paramCount, nullptr); },
      "prepare failed:  ", true);
  prepared_.push_back({ name, sql, paramCount });
}

void pgSafeThread::prepareRequest(std::string name, std::string sql)
{
  prepareRequest(std::move(name), std::move(sql), 0);
}

PgResult pgSafeThread::executePrepareRequest(std::string name, std::vector<std::string> values)
{
  std::vector<const char*> pointers = pointersTo(values);
  std::lock_guard<std::mutex> guard(lock_);
  return runLocked(
      [&] {
        return PQexecPrepared(connection_.get(), name.c_str(), static_cast<int>(pointers.size()), pointers.data(),
            nullptr, nullptr, 0);
      },
      "Exec prepareRequest failed:  ", false);
}

PgResult pgSafeThread::executePrepareRequest(std::string name)
{
  return executePrepareRequest(std::move(name), {});
}
