#pragma once

#include "database/connection_settings.h"
#include "database/pg_connection.h"
#include "database/pg_result.h"

#include "core/lock_guarded.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A fixed set of open connections handed out in strict rotation. Every
// statement of the daemon goes through one pool. Lock order: the rotation's
// lock before a connection's lock, and both together only while preparing.
class PgPool {
public:
  // Opens count connections; throws DatabaseError when one cannot be opened,
  // or when count is below 1 (an empty pool could serve nothing). Losses,
  // restorations and refused statements are counted into metrics, if any.
  PgPool(const ConnectionSettings& settings, int count, Metrics* metrics = nullptr);
  PgPool(const PgPool&) = delete;
  PgPool& operator=(const PgPool&) = delete;

  PgConnection* getNextConnection();
  // The next connection in rotation that nobody is using or waiting for, or
  // the next one when all are: a connection whose statement waits (for a row
  // lock, a slow server) then holds up no other work while one is free.
  PgConnection* getIdleConnection();
  int connectionCount();
  int nextConnectionIndex();
  std::string clientEncoding();
  // Debug mode: a raw line with the connection index and the result status
  // of every statement.
  void enableDebugMode(bool enabled);

  // Prepares the statement on every connection, holding the rotation's lock
  // throughout; the first failure stops there and throws.
  void prepareRequest(const std::string& name, const std::string& sql, int paramCount = 0);

  PgResult executeRequest(const std::string& sql);
  PgResult executeParams(const std::string& sql, const std::vector<std::string>& values);
  // answerTimeout: a bound of its own on the answer, for a statement that may
  // take long on a large database (0: the connection's).
  PgResult executePrepared(const std::string& name, const std::vector<std::string>& values = {},
      std::chrono::milliseconds answerTimeout = std::chrono::milliseconds(0));

private:
  // Picks the next connection under the rotation's lock; returns it with
  // its position. The index wraps one call late, as callers of
  // nextConnectionIndex observe.
  PgConnection* rotate(std::uint32_t& position);
  template <typename Call> PgResult run(Call call);

  // Fixed once the pool is built.
  std::vector<std::unique_ptr<PgConnection>> connections_;
  // The position of the next connection handed out.
  LockGuarded<std::uint32_t> index_ { 0u };
  std::atomic<bool> debugMode_ { false };
};
