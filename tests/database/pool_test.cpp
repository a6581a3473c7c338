#include "database/pg_connection_pool.h"
#include "database/postgresql_exception.h"

#include "tests/support/log_capture.h"
#include "tests/support/test_database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace {

// Backend pid of the connection that ran the statement tells positions apart.
std::string backendPid(PgPool& pool)
{
  PgResult result = pool.executeRequest("SELECT pg_backend_pid()");
  return pgValue(result, 0, 0);
}

std::string messageOf(const std::function<void()>& call)
{
  try {
    call();
  } catch (const DatabaseError& error) {
    return error.what();
  }
  return "(no exception)";
}

TEST(PoolTest, RotatesInOrderAndWrapsTheIndexOneCallLate)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 3);
  EXPECT_EQ(pool.connectionCount(), 3);
  EXPECT_EQ(pool.nextConnectionIndex(), 0);
  std::vector<std::string> pids;
  for (int i = 0; i < 6; ++i) {
    pids.push_back(backendPid(pool));
    if (i == 0) {
      EXPECT_EQ(pool.nextConnectionIndex(), 1);
    }
  }
  EXPECT_NE(pids[0], pids[1]);
  EXPECT_NE(pids[1], pids[2]);
  EXPECT_NE(pids[0], pids[2]);
  EXPECT_EQ(pids[0], pids[3]);
  EXPECT_EQ(pids[1], pids[4]);
  EXPECT_EQ(pids[2], pids[5]);
  // After 6 calls on 3 connections the index reads 3, not 0.
  EXPECT_EQ(pool.nextConnectionIndex(), 3);
  pool.getNextConnection();
  EXPECT_EQ(pool.nextConnectionIndex(), 1);
}

TEST(PoolTest, SingleConnectionAlwaysServes)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 1);
  std::string first = backendPid(pool);
  EXPECT_EQ(backendPid(pool), first);
  EXPECT_EQ(backendPid(pool), first);
  EXPECT_EQ(pool.clientEncoding(), "UTF8");
}

TEST(PoolTest, RefusesAnEmptyPool)
{
  TestDatabase db;
  EXPECT_THROW(PgPool(db.connectionString(), 0), DatabaseError);
  EXPECT_THROW(PgPool(db.connectionString(), -3), DatabaseError);
}

TEST(PoolTest, WrongPasswordCarriesTheServerMessage)
{
  TestDatabase db;
  std::string message = messageOf([&] { PgPool pool(db.connectionString("wrong"), 2); });
  EXPECT_NE(message.find("password authentication failed"), std::string::npos) << message;
  ASSERT_FALSE(message.empty());
  EXPECT_EQ(message.back(), '\n');
}

TEST(PoolTest, FailurePrefixesKeepTheServerMessage)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 2);

  std::string invalid = messageOf([&] { pool.prepareRequest("bad", "SELEC nonsense", 0); });
  EXPECT_EQ(invalid.rfind("prepare failed:  ", 0), 0u) << invalid;
  EXPECT_NE(invalid.find("syntax error"), std::string::npos) << invalid;

  std::string unknown = messageOf([&] { pool.executePrepared("never_prepared", { "1" }); });
  EXPECT_EQ(unknown.rfind("Exec prepareRequest failed:  ", 0), 0u) << unknown;
  EXPECT_NE(unknown.find("never_prepared"), std::string::npos) << unknown;

  pool.prepareRequest("two", "SELECT $1::int + $2::int", 2);
  std::string tooFew = messageOf([&] { pool.executePrepared("two", { "1" }); });
  EXPECT_EQ(tooFew.rfind("Exec prepareRequest failed:  ", 0), 0u) << tooFew;
  EXPECT_NE(tooFew.find("parameters"), std::string::npos) << tooFew;
  PgResult sum = pool.executePrepared("two", { "2", "3" });
  EXPECT_EQ(pgValue(sum, 0, 0), "5");

  std::string duplicate = messageOf([&] { pool.prepareRequest("two", "SELECT 1"); });
  EXPECT_EQ(duplicate.rfind("prepare failed:  ", 0), 0u) << duplicate;
  EXPECT_NE(duplicate.find("already exists"), std::string::npos) << duplicate;

  std::string plain = messageOf([&] { pool.executeRequest("SELECT * FROM no_such_table"); });
  EXPECT_EQ(plain.rfind("execute failed:  ", 0), 0u) << plain;
  std::string params = messageOf([&] { pool.executeParams("SELECT $1::int", { "x" }); });
  EXPECT_EQ(params.rfind("Execute failed:  ", 0), 0u) << params;
  EXPECT_NE(params.find("invalid input syntax"), std::string::npos) << params;
}

TEST(PoolTest, InvalidPreparationLeavesNoConnectionWithTheStatement)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 3);
  EXPECT_THROW(pool.prepareRequest("s", "SELECT * FROM missing_table"), DatabaseError);
  // Every connection can still prepare the name: none kept it.
  pool.prepareRequest("s", "SELECT 1");
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(pgValue(pool.executePrepared("s"), 0, 0), "1");
}

TEST(PoolTest, RefusedStatementsAreNotConnectionLosses)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 1);
  for (const char* sql : { "SELECT no_such_column FROM quelm_errors", "SELECT 1/0",
           "INSERT INTO quelm_errors (error_id, error_name) VALUES (1, 'duplicate key')" }) {
    try {
      pool.executeRequest(sql);
      ADD_FAILURE() << sql;
    } catch (const DatabaseError& error) {
      EXPECT_FALSE(error.connectionLost()) << sql << ": " << error.what();
    }
  }
  // A session the server ends (57P01) is a lost connection, and the next
  // statement runs on a fresh one.
  PgResult pid = pool.executeRequest("SELECT pg_backend_pid()");
  db.exec("SELECT pg_terminate_backend(" + pgValue(pid, 0, 0) + ")");
  EXPECT_EQ(pgValue(pool.executeRequest("SELECT 7"), 0, 0), "7");
}

TEST(PoolTest, RowlessAndUpdateResultsAreSuccesses)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 2);
  PgResult none = pool.executeParams("SELECT error_id FROM quelm_errors WHERE error_name=$1", { "none" });
  EXPECT_EQ(PQntuples(none.get()), 0);
  PgResult update = pool.executeRequest("UPDATE quelm_errors SET error_name=error_name WHERE false");
  EXPECT_EQ(PQresultStatus(update.get()), PGRES_COMMAND_OK);
}

TEST(PoolTest, DebugModeTracesTheConnectionAndStatus)
{
  TestDatabase db;
  PgPool pool(db.connectionString(), 2);
  LogCapture capture;
  pool.executeRequest("SELECT 1");
  EXPECT_EQ(capture.text(), "");
  pool.enableDebugMode(true);
  pool.executeRequest("SELECT 1");
  pool.executeRequest("UPDATE quelm_errors SET error_name=error_name WHERE false");
  EXPECT_EQ(capture.text(), "   [ 1 ] exec status: PGRES_TUPLES_OK\n   [ 0 ] exec status: PGRES_COMMAND_OK\n");
}

} // namespace

namespace {

size_t occurrences(const std::string& text, const std::string& part)
{
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

TEST(PoolRecoveryTest, ServerRestartIsSurvivedAndADownServerIsNotHammered)
{
  PrivateCluster cluster;
  TestDatabase db(cluster.envFile());
  PgPool pool(db.connectionString(), 2);
  pool.prepareRequest("count_errors", "SELECT count(*) FROM quelm_errors WHERE error_id > $1::int", 1);
  EXPECT_EQ(pgValue(pool.executePrepared("count_errors", { "0" }), 0, 0), "4");

  ASSERT_TRUE(cluster.control("restart"));
  {
    LogCapture capture;
    // Both connections were dropped: each recovers on its next use, with
    // its prepared statement, and the statement succeeds.
    for (int i = 0; i < 2; ++i)
      EXPECT_EQ(pgValue(pool.executePrepared("count_errors", { "1" }), 0, 0), "3");
    std::string log = capture.text();
    EXPECT_EQ(occurrences(log, "#ERR#database connection lost, reconnecting: "), 2u) << log;
    EXPECT_EQ(occurrences(log, "#INFO#database connection restored\n"), 2u) << log;
  }

  ASSERT_TRUE(cluster.control("halt"));
  PgConnection* first = pool.getNextConnection();
  pool.getNextConnection();
  int attemptsBefore = first->resetAttempts();
  {
    LogCapture capture;
    for (int i = 0; i < 20; ++i) {
      try {
        pool.executePrepared("count_errors", { "0" });
        ADD_FAILURE() << "a statement succeeded on a stopped server";
      } catch (const DatabaseError& error) {
        // A server that went away is not a refusal: the caller waits for it.
        EXPECT_TRUE(error.connectionLost()) << error.what();
      }
    }
    // One loss line per connection, and at most one reset attempt each
    // within the interval.
    std::string log = capture.text();
    EXPECT_EQ(occurrences(log, "#ERR#database connection lost"), 2u) << log;
    EXPECT_LE(first->resetAttempts() - attemptsBefore, 1);
  }
  ASSERT_TRUE(cluster.control("resume"));
  // After the interval the next use reconnects.
  std::this_thread::sleep_for(PgConnection::resetIntervalMax + std::chrono::milliseconds(200));
  EXPECT_EQ(pgValue(pool.executePrepared("count_errors", { "0" }), 0, 0), "4");
  EXPECT_EQ(pgValue(pool.executePrepared("count_errors", { "0" }), 0, 0), "4");
}

} // namespace
