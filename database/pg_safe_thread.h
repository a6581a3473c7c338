#pragma once

#include "database/pg_result.h"

#include <libpq-fe.h>

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

private:
  struct ConnDeleter {
    void operator()(PGconn* conn) const { PQfinish(conn); }
  };

  // Runs under the lock: a result that is neither "command ok" nor "tuples
  // ok" becomes a PostgresqlException with the prefix and error text.
  PgResult checked(PGresult* raw, const std::string& prefix, bool connectionText);

  std::unique_ptr<PGconn, ConnDeleter> connection_;
  std::string connectionString_;
  std::mutex lock_;
};
