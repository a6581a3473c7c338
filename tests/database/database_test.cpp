#include "database/database_error.h"
#include "database/database_wait.h"
#include "database/pg_pool.h"
#include "database/pg_transaction.h"
#include "database/statements.h"

#include "tests/support/log_capture.h"
#include "tests/support/test_database.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <tuple>

namespace {

std::string backendPid(PgPool& pool) { return pgValue(pool.executeRequest("SELECT pg_backend_pid()"), 0, 0); }

// The error a call throws: its message, whether it counts as a lost connection, and for a refusal "refused" (or
// "read-only"), its SQLSTATE, statement and the server's message.
std::tuple<std::string, bool, std::string> failureOf(const std::function<void()>& call)
{
  try {
    call();
  } catch (const DatabaseError& e) {
    const bool refused = dynamic_cast<const StatementRefused*>(&e), readOnly = dynamic_cast<const ServerReadOnly*>(&e);
    return { e.what(), dynamic_cast<const ConnectionLost*>(&e) != nullptr,
      (readOnly         ? "read-only "
              : refused ? "refused "
                        : "")
          + e.sqlState() + " " + e.statement() + ": " + e.serverMessage() };
  }
  return { "(no exception)", false, "" };
}

TEST(PoolTest, RotatesInOrder)
{
  TestDatabase db;
  PgPool pool(settingsOf(db), 3);
  std::vector<std::string> pids;
  for (int i = 0; i < 6; ++i)
    pids.push_back(backendPid(pool));
  EXPECT_NE(pids[0], pids[1]);
  EXPECT_NE(pids[1], pids[2]);
  EXPECT_EQ(pids[0], pids[3]);
  EXPECT_EQ(pids[2], pids[5]);
  // A connection in use is never handed out as the idle one while others are free.
  PgConnection* busy = pool.getIdleConnection();
  busy->exclusive([&](PgConnection::Exclusive&) {
    for (int i = 0; i < 3; ++i)
      EXPECT_NE(pool.getIdleConnection(), busy) << i;
  });
  EXPECT_EQ(pool.clientEncoding(), "UTF8");
  EXPECT_THROW(PgPool(settingsOf(db), 0), DatabaseError);
  // Error names come from the product schema; of two errors with one name, the later id wins.
  EXPECT_EQ(loadErrorNames(pool).at("default_critical_error"), "2");
  db.exec("DELETE FROM quelm_errors; INSERT INTO quelm_errors VALUES (10, 'default_warning_error'), (12, "
          "'default_warning_error')");
  EXPECT_EQ(loadErrorNames(pool), (ErrorIds { { "default_warning_error", "12" } }));
}

TEST(PoolTest, FailuresKeepTheServerTextAndRefusalsAreNotLosses)
{
  TestDatabase db;
  PgPool pool(settingsOf(db), 2), readOnly(settingsOf(db), 1);
  pool.prepareRequest("two", "SELECT $1::int + $2::int", 2);
  // A refused prepared statement is named by the failure; a server that cannot write (a standby, a primary fenced
  // read-only) refuses on a live session, until it can.
  struct Case {
    std::function<void()> call;
    const char* prefix;
    const char* server;
    const char* refusal = "";
  } cases[] = {
    { [&] { pool.prepareRequest("bad", "SELEC nonsense"); }, "prepare failed:  ", "syntax error" },
    { [&] { pool.executePrepared("never_prepared", { "1" }); }, "Exec prepareRequest failed:  ", "never_prepared" },
    { [&] { pool.executePrepared("two", { "1" }); }, "Exec prepareRequest failed:  ", "parameters" },
    { [&] { pool.executeRequest("SELECT * FROM no_such_table"); }, "execute failed:  ", "no_such_table" },
    { [&] { pool.executeParams("SELECT $1::int", { "x" }); }, "Execute failed:  ", "invalid input syntax" },
    { [&] { pool.executeRequest("INSERT INTO quelm_errors VALUES (1, 'dup')"); }, "execute failed:  ", "duplicate key",
        "refused 23505 : duplicate" },
    { [&] { pool.executePrepared("two", std::vector<std::string>(2, "x")); }, "Exec prepareRequest failed:  ", "syntax",
        "refused 22P02 two: " },
    { [&] { PgPool wrong(settingsOf(db, "wrong"), 1); }, "", "password authentication failed" },
    { [&] { readOnly.executeRequest("START TRANSACTION READ ONLY; INSERT INTO quelm_errors VALUES (77, 'x')"); }, "",
        "read-only transaction", "read-only " },
  };
  for (const Case& c : cases) {
    auto [message, lost, refusal] = failureOf(c.call);
    EXPECT_EQ(message.rfind(c.prefix, 0), 0u) << message;
    EXPECT_NE(message.find(c.server), std::string::npos) << message;
    EXPECT_FALSE(lost) << message;
    EXPECT_EQ(refusal.rfind(c.refusal, 0), 0u) << refusal;
  }
  // Prepared again (a retry after a failure elsewhere), it is done already; its text under another name is another.
  pool.prepareRequest("two", "SELECT $1::int + $2::int", 2);
  pool.prepareRequest("sum", "SELECT $1::int + $2::int", 2);
  EXPECT_EQ(pgValue(pool.executePrepared("two", { "2", "3" }), 0, 0)
          + pgValue(pool.executePrepared("sum", { "1", "1" }), 0, 0),
      "52");
  // A transaction is written whole or not at all; its opening queries share BEGIN's round trip and are answered in
  // order, and a refused one rolls it back.
  pool.getNextConnection()->exclusive([&](PgConnection::Exclusive& use) {
    {
      PgTransaction transaction(use);
      use.execute("INSERT INTO quelm_errors VALUES (90, 'dropped')");
    }
    PgPipeline opening;
    const auto sum = opening.add({ "SELECT $1::int + 1", { "41" }, false });
    const auto kept = opening.add({ "INSERT INTO quelm_errors VALUES (91, 'kept') RETURNING error_id", {}, false });
    PgTransaction transaction(use, opening);
    EXPECT_EQ(pgValue(opening.result(sum), 0, 0) + pgValue(opening.result(kept), 0, 0), "4291");
    transaction.commit();
    PgPipeline refused;
    for (const char* sql : { "INSERT INTO quelm_errors VALUES (92, 'x')", "SELECT 1/0", "SELECT 2" })
      refused.add({ sql, {}, false });
    EXPECT_THROW(PgTransaction(use, refused), StatementRefused);
    EXPECT_FALSE(use.inTransaction());
  });
  EXPECT_EQ(db.scalar("SELECT string_agg(error_name, ' ') FROM quelm_errors WHERE error_id >= 90"), "kept");
  // Texts of any bytes reach the server whole in an array.
  const std::string texts = arrayLiteral({ "a\"b", "c\\d", "e,f", "{g}", "", "h i", "NULL" });
  EXPECT_EQ(pgValue(pool.executeParams("SELECT array_to_string($1::text[], '|')", { texts }), 0, 0),
      "a\"b|c\\d|e,f|{g}||h i|NULL");
  // The read-only session is replaced before the next statement, so that a server list finds one that can write.
  EXPECT_EQ(pgValue(readOnly.executeRequest("SELECT 6"), 0, 0), "6");
  EXPECT_EQ(readOnly.getNextConnection()->sessionOf(), 1);
  // A session the server ends (57P01) is replaced at once.
  db.exec("SELECT pg_terminate_backend(" + backendPid(pool) + ")");
  LogCapture capture;
  EXPECT_EQ(pgValue(pool.executeRequest("SELECT 7"), 0, 0), "7");
  EXPECT_EQ(pgValue(pool.executeRequest("SELECT 8"), 0, 0), "8");
}

// Which failures run again at once, after a pause or never; a stop ends the wait. Time is the test's own: none passes.
TEST(DatabaseWaitTest, LossesAndReadOnlyServersAreRetriedRefusalsGivenUp)
{
  struct Case {
    const char* failures; // thrown in turn: L lost, B lock busy, D commit in doubt, O read-only, R refused
    int stopAt; // from this time on (ms) the daemon stops; 0: never
    const char* attempts; // the time of each attempt (ms)
    const char* ending;
  } cases[] = {
    { "", 0, "0", "ran" },
    { "L", 0, "0 0", "ran" },
    { "LBDL", 0, "0 0 500 500 1500", "ran" },
    { "LO", 0, "0 0 500", "ran" },
    { "OOOOO", 0, "0 500 1500 3500 7500 12500", "ran" },
    { "R", 0, "0", "refused" },
    { "LLR", 0, "0 0 500", "refused" },
    { "LLLLLL", 1000, "0 0 500 500", "stopped" },
  };
  const std::map<char, std::exception_ptr> errors = { { 'L', std::make_exception_ptr(ConnectionLost("lost")) },
    { 'B', std::make_exception_ptr(LockBusy("busy")) }, { 'D', std::make_exception_ptr(CommitInDoubt("in doubt")) },
    { 'O', std::make_exception_ptr(ServerReadOnly("read-only")) },
    { 'R', std::make_exception_ptr(StatementRefused("refused")) } };
  for (const Case& c : cases) {
    WaitClock::Clock::time_point now {};
    auto ms = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count(); };
    DatabaseWait wait([&] { return c.stopAt > 0 && ms() >= c.stopAt; },
        { [&] { return now; }, [&](WaitClock::Clock::duration pause) { now += pause; } });
    std::string attempts, ending = "ran";
    std::size_t failed = 0;
    try {
      wait.run([&] {
        attempts += (attempts.empty() ? "" : " ") + std::to_string(ms());
        if (const char kind = c.failures[failed++])
          std::rethrow_exception(errors.at(kind));
      });
    } catch (const DatabaseUnavailable&) {
      ending = "stopped";
    } catch (const StatementRefused&) {
      ending = "refused";
    }
    EXPECT_EQ(attempts + " " + ending, std::string(c.attempts) + " " + c.ending) << c.failures;
  }
}

// Prepared statements survive a restart; a stopped server is a lost connection, logged once when lost and once back.
TEST(PoolRecoveryTest, RestartsAndOutagesAreSurvivedWithoutAReconnectStorm)
{
  PrivateCluster cluster;
  TestDatabase db(cluster.envFile());
  // The pool's reconnects are paced on a clock the test moves on instead of waiting.
  auto ahead = std::make_shared<std::atomic<std::int64_t>>(0);
  ConnectionSettings settings = settingsOf(db);
  settings.clock.now = [ahead] { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ahead->load()); };
  PgPool pool(settings, 2);
  pool.prepareRequest("count_errors", "SELECT count(*) FROM quelm_errors WHERE error_id > $1::int", 1);
  LogCapture capture;
  ASSERT_TRUE(cluster.control("restart"));
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(pgValue(pool.executePrepared("count_errors", { "1" }), 0, 0), "3");

  ASSERT_TRUE(cluster.control("halt"));
  PgConnection* first = pool.getNextConnection();
  pool.getNextConnection();
  int attemptsBefore = first->resetAttempts();
  for (int i = 0; i < 20; ++i) {
    auto [message, lost, refusal] = failureOf([&] { pool.executePrepared("count_errors", { "0" }); });
    EXPECT_TRUE(lost) << message;
  }
  EXPECT_LE(first->resetAttempts() - attemptsBefore, 1);
  ASSERT_TRUE(cluster.control("resume"));
  *ahead += (PgConnection::resetIntervalMax + std::chrono::milliseconds(200)).count();
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(pgValue(pool.executePrepared("count_errors", { "0" }), 0, 0), "4");
  EXPECT_EQ(countOf(capture.text(), "#ERR#database connection lost, reconnecting: "), 4u) << capture.text();
  EXPECT_EQ(countOf(capture.text(), "#INFO#database connection restored\n"), 4u) << capture.text();
}

} // namespace
