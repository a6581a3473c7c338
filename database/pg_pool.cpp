#include "database/pg_pool.h"

#include "database/database_error.h"

#include "core/log.h"

PgPool::PgPool(const ConnectionSettings& settings, int count, Metrics* metrics)
{
  if (count < 1)
    throw DatabaseError("connection pool needs at least one connection, connection_number is " + std::to_string(count));
  for (int i = 0; i < count; ++i)
    connections_.push_back(std::make_unique<PgConnection>(settings, metrics));
}

PgConnection* PgPool::rotate(std::uint32_t& position)
{
  auto index = index_.lock();
  if (*index < connections_.size()) {
    position = *index;
    ++*index;
  } else {
    position = 0;
    *index = 1;
  }
  return connections_[position].get();
}

PgConnection* PgPool::getNextConnection()
{
  std::uint32_t position = 0;
  return rotate(position);
}

PgConnection* PgPool::getIdleConnection()
{
  {
    auto index = index_.lock();
    const std::size_t count = connections_.size();
    for (std::size_t step = 0; step < count; ++step) {
      const std::size_t position = (*index + step) % count;
      if (connections_[position]->idle()) {
        *index = static_cast<std::uint32_t>(position + 1);
        return connections_[position].get();
      }
    }
  }
  return getNextConnection();
}

int PgPool::connectionCount() { return static_cast<int>(connections_.size()); }

int PgPool::nextConnectionIndex() { return static_cast<int>(index_.copy()); }

std::string PgPool::clientEncoding() { return getNextConnection()->clientEncoding(); }

void PgPool::enableDebugMode(bool enabled) { debugMode_ = enabled; }

void PgPool::prepareRequest(const std::string& name, const std::string& sql, int paramCount)
{
  // No connection is handed out while the statement is prepared on them.
  auto index = index_.lock();
  for (auto& connection : connections_)
    connection->prepareRequest(name, sql, paramCount);
}

template <typename Call> PgResult PgPool::run(Call call)
{
  std::uint32_t position = 0;
  PgConnection* connection = rotate(position);
  PgResult result = call(*connection);
  if (debugMode_)
    writeRaw("   [ " + std::to_string(position) + " ] exec status: " + PQresStatus(PQresultStatus(result.get())));
  return result;
}

PgResult PgPool::executeRequest(const std::string& sql)
{
  return run([&](PgConnection& c) { return c.executeRequest(sql); });
}

PgResult PgPool::executeParams(const std::string& sql, const std::vector<std::string>& values)
{
  return run([&](PgConnection& c) { return c.executeParams(sql, values); });
}

PgResult PgPool::executePrepared(
    const std::string& name, const std::vector<std::string>& values, std::chrono::milliseconds answerTimeout)
{
  return run([&](PgConnection& c) { return c.executePrepared(name, values, answerTimeout); });
}
