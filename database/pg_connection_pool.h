#pragma once

#include "database/pg_result.h"
#include "database/pg_safe_thread.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A fixed set of open connections handed out in strict rotation. Every
// statement of the daemon goes through the one pool, pgSQL.
class pgConnectionPool {
public:
  // Opens count connections; throws PostgresqlException when one cannot be
  // opened, or when count is below 1 (an empty pool could serve nothing).
  pgConnectionPool(std::string connectionString, int count);
  pgConnectionPool(std::string host, int port, std::string database, std::string user, std::string password,
      int count);
  virtual ~pgConnectionPool();
  pgConnectionPool(const pgConnectionPool&) = delete;
  pgConnectionPool& operator=(const pgConnectionPool&) = delete;

  pgSafeThread* getNextConnection();
  int getConnectionNumber();
  int getNextConnectionID();
  std::string getClientEncoding();
  void enableDebugMode(bool enabled);
  // Raw trace line (no timestamp, no level) when debug mode is on.
  void Trace(std::string text);

  // Prepares the statement on every connection, holding the list lock
  // throughout; the first failure stops there and throws.
  void prepareRequest(std::string name, std::string sql, int paramCount);
  void prepareRequest(std::string name, std::string sql);

  PgResult executeRequest(std::string sql);
  PgResult executeParamRequest(std::string sql, std::vector<std::string> values);
  PgResult executePrepareRequest(std::string name);
  PgResult executePrepareRequest(std::string name, std::vector<std::string> values);

private:
  // Picks the next connection under the list lock; returns it with its
  // position. The index wraps one call late, as callers of
  // getNextConnectionID observe.
  pgSafeThread* rotate(std::uint32_t& position);
  template <typename Call>
  PgResult run(Call call);

  std::vector<std::unique_ptr<pgSafeThread>> connections_;
  std::string connectionString_;
  std::mutex listLock_;
  std::uint32_t index_ = 0;
  std::atomic<bool> debugMode_ { false };
};

// The daemon's pool, created once at start-up and never freed.
extern pgConnectionPool* pgSQL;
