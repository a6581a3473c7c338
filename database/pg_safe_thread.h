#pragma once

#include "database/pg_result.h"

#include <libpq-fe.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

// One PostgreSQL connection and the lock that serialises every use of it.
class pgSafeThread {
public:
  // Opens the connection; throws PostgresqlException with the library's
  // error text and a line end when it cannot.
  explicit pgSafeThread(std::string connectionString);
  pgSafeThread(std::string host, int port, std::string database, std::string user, std::string password);
  virtual ~pgSafeThread();
  pgSafeThread(const pgSafeThread&) = delete;
  pgSafeThread& operator=(const pgSafeThread&) = delete;

  std::string getClientEncoding();
  PgResult executeRequest(std::string sql);
  PgResult executeParamRequest(std::string sql, std::vector<std::string> values);
  void prepareRequest(std::string name, std::string sql, int paramCount);
  void prepareRequest(std::string name, std::string sql);
  PgResult executePrepareRequest(std::string name, std::vector<std::string> values);
  PgResult executePrepareRequest(std::string name);

  // How many times the connection was reset after the server dropped it.
  int resetAttempts();

  // Pause between two reset attempts of one connection: it starts at the
  // minimum and doubles up to the maximum while the server stays away.
  static constexpr std::chrono::milliseconds resetIntervalMin { 500 };
  static constexpr std::chrono::milliseconds resetIntervalMax { 5000 };

private:
  struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
  };

  // Runs under the lock: a result that is neither "command ok" nor "tuples
  // ok" becomes a PostgresqlException with the prefix and error text.
  PgResult checked(PGresult* raw, const std::string& prefix, bool connectionText);
  // Runs a call; the caller holds the lock. When it fails because the server dropped
  // the connection, the connection is reset, its statements prepared again
  // and the call retried once.
  template <typename Call>
  PgResult runLocked(Call call, const std::string& prefix, bool connectionText);
  // Under the lock: reset and re-prepare; false when not attempted or failed.
  bool recoverLocked();
  // Under the lock: whether a failed call failed because the server could
  // not be reached (bad connection, or a connection-class SQLSTATE).
  bool connectionFailed(const PGresult* result) const;

  struct Prepared {
    std::string name;
    std::string sql;
    int paramCount;
  };

  std::unique_ptr<PGconn, ConnDeleter> connection_;
  std::string connectionString_;
  std::mutex lock_;
  // Statements prepared on this connection, to prepare again after a reset.
  std::vector<Prepared> prepared_;
  bool lost_ = false;
  int resetAttempts_ = 0;
  std::chrono::steady_clock::time_point lastReset_ {};
  std::chrono::milliseconds resetPause_ { resetIntervalMin };
};
