#include "database/pg_connection_pool.h"

#include "database/postgresql_exception.h"

#include "core/log.h"


pgConnectionPool* pgSQL = nullptr;

pgConnectionPool::pgConnectionPool(std::string connectionString, int count)
    : connectionString_(std::move(connectionString))
{
  if (count < 1)
    throw PostgresqlException("connection pool needs at least one connection, connection_number is "
        + std::to_string(count));
  for (int i = 0; i < count; ++i)
    connections_.push_back(std::make_unique<pgSafeThread>(connectionString_));
}

pgConnectionPool::pgConnectionPool(std::string host, int port, std::string database, std::string user,
    std::string password, int count)
    : pgConnectionPool("host=" + host + " port=" + std::to_string(port) + " dbname=" + database + " user=" + user
              + " password=" + password,
          count)
{
}

pgConnectionPool::~pgConnectionPool()
{
  std::lock_guard<std::mutex> guard(listLock_);
  connections_.clear();
}

pgSafeThread* pgConnectionPool::rotate(std::uint32_t& position)
{
  std::lock_guard<std::mutex> guard(listLock_);
  if (index_ < connections_.size()) {
    position = index_;
    ++index_;
  } else {
    position = 0;
    index_ = 1;
  }
  return connections_[position].get();
}

pgSafeThread* pgConnectionPool::getNextConnection()
{
  std::uint32_t position = 0;
  return rotate(position);
}

int pgConnectionPool::getConnectionNumber()
{
  std::lock_guard<std::mutex> guard(listLock_);
  return static_cast<int>(connections_.size());
}

int pgConnectionPool::getNextConnectionID()
{
  std::lock_guard<std::mutex> guard(listLock_);
  return static_cast<int>(index_);
}

std::string pgConnectionPool::getClientEncoding() { return getNextConnection()->getClientEncoding(); }

void pgConnectionPool::enableDebugMode(bool enabled) { debugMode_ = enabled; }

void pgConnectionPool::Trace(std::string text)
{
  if (debugMode_)
    write_raw(text);
}

void pgConnectionPool::prepareRequest(std::string name, std::string sql, int paramCount)
{
  std::lock_guard<std::mutex> guard(listLock_);
  for (auto& connection : connections_) {
    try {
      connection->prepareRequest(name, sql, paramCount);
    } catch (const PostgresqlException& error) {
      throw PostgresqlException(error.what());
    }
  }
}

void pgConnectionPool::prepareRequest(std::string name, std::string sql)
{
  prepareRequest(std::move(name), std::move(sql), 0);
}

template <typename Call>
PgResult pgConnectionPool::run(Call call)
{
  std::uint32_t position = 0;
  pgSafeThread* connection = rotate(position);
  PgResult result = call(*connection);
  if (debugMode_)
    Trace("   [ " + std::to_string(position) + " ] exec status: " + PQresStatus(PQresultStatus(result.get())));
  return result;
}

PgResult pgConnectionPool::executeRequest(std::string sql)
{
  return run([&](pgSafeThread& c) { return c.executeRequest(sql); });
}

PgResult pgConnectionPool::executeParamRequest(std::string sql, std::vector<std::string> values)
{
  return run([&](pgSafeThread& c) { return c.executeParamRequest(sql, values); });
}

PgResult pgConnectionPool::executePrepareRequest(std::string name)
{
  return run([&](pgSafeThread& c) { return c.executePrepareRequest(name); });
}

PgResult pgConnectionPool::executePrepareRequest(std::string name, std::vector<std::string> values)
{
  return run([&](pgSafeThread& c) { return c.executePrepareRequest(name, values); });
}
