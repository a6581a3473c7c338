#include "database/pg_connection.h"

#include "database/retry_policy.h"

#include "core/log.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>

namespace {

std::vector<const char*> pointersTo(const std::vector<std::string>& values)
{
  std::vector<const char*> pointers;
  pointers.reserve(values.size());
  for (const std::string& value : values)
    pointers.push_back(value.c_str());
  return pointers;
}

// SQLSTATEs that mean the server went away rather than refused the
// statement: connection exceptions, and an administrator, crash or start-up
// shutting the session down. A protocol violation (08P01) is the server
// refusing a malformed request on a live session: a refusal.
bool isConnectionState(const std::string& code)
{
  return (code.rfind("08", 0) == 0 && code != "08P01") || code == "57P01" || code == "57P02" || code == "57P03";
}

bool succeeded(const PgResult& result)
{
  const ExecStatusType status = result ? PQresultStatus(result.get()) : PGRES_FATAL_ERROR;
  return status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
}

// Sends one query: a prepared statement, or a text with its parameters.
int sendQuery(PGconn* conn, const PipelineQuery& query)
{
  std::vector<const char*> pointers = pointersTo(query.values);
  const int count = static_cast<int>(pointers.size());
  return query.prepared
      ? PQsendQueryPrepared(conn, query.statement.c_str(), count, pointers.data(), nullptr, nullptr, 0)
      : PQsendQueryParams(conn, query.statement.c_str(), count, nullptr, pointers.data(), nullptr, nullptr, 0);
}

// The server's notices (a warning on a lock no longer held, say) go to the
// debug trace, not to the standard error stream.
void traceNotice(void*, const char* message)
{
  std::string text = message;
  while (!text.empty() && text.back() == '\n')
    text.pop_back();
  trace("postgresql notice: " + text);
}

std::string fieldOf(const PgResult& result, int field)
{
  const char* value = result ? PQresultErrorField(result.get(), field) : nullptr;
  return value != nullptr ? value : "";
}

} // namespace

PgConnection::PgConnection(const ConnectionSettings& settings, Metrics* metrics)
    : metrics_(metrics)
    , answerTimeout_(settings.answerTimeout)
    , stopping_(settings.stopping)
    , resets_(resetIntervalMin, resetIntervalMax, 2, settings.clock)
{
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  for (const auto& [keyword, value] : settings.parameters) {
    keywords.push_back(keyword.c_str());
    values.push_back(value.c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  // expand_dbname 0: a database name is a name, never a connection string.
  connection_.reset(PQconnectdbParams(keywords.data(), values.data(), 0));
  if (!connection_)
    throw DatabaseError("out of memory opening the database connection\n");
  if (PQstatus(connection_.get()) != CONNECTION_OK) {
    std::string message = PQerrorMessage(connection_.get());
    message += "\n";
    connection_.reset();
    throw DatabaseError(message);
  }
  PQsetNoticeProcessor(connection_.get(), traceNotice, nullptr);
}

std::string PgConnection::clientEncoding()
{
  MutexLock guard(lock_);
  return pg_encoding_to_char(PQclientEncoding(connection_.get()));
}

bool PgConnection::connectionFailed(const PgResult& result) const
{
  if (PQstatus(connection_.get()) == CONNECTION_BAD)
    return true;
  return isConnectionState(fieldOf(result, PG_DIAG_SQLSTATE));
}

std::string PgConnection::errorText(const PgResult& result, bool connectionText) const
{
  return (connectionText || !result) ? PQerrorMessage(connection_.get()) : PQresultErrorMessage(result.get());
}

PgResult PgConnection::checked(
    PgResult result, const std::string& prefix, bool connectionText, const std::string& statement)
{
  if (succeeded(result))
    return result;
  const std::string text = errorText(result, connectionText);
  const DatabaseError::Details details { fieldOf(result, PG_DIAG_SQLSTATE), fieldOf(result, PG_DIAG_MESSAGE_PRIMARY),
    statement };
  if (details.sqlState == "55P03")
    throw LockBusy(prefix + text, details);
  if (connectionFailed(result)) {
    // The session is not used again before it has been reset.
    noteLostLocked();
    throw ConnectionLost(prefix + text, details);
  }
  if (details.sqlState == "25006") {
    // A server that cannot write: the step waits and runs again, on a new
    // session, so that a server list read-write finds the promoted primary
    // instead of a fenced old one.
    noteLostLocked();
    throw ServerReadOnly(prefix + text, details);
  }
  count(metrics_, &Metrics::statementsRejected);
  throw StatementRefused(prefix + text, details);
}

void PgConnection::noteLostLocked(const std::string& given)
{
  if (lost_)
    return;
  lost_ = true;
  std::string reason = given.empty() ? PQerrorMessage(connection_.get()) : given;
  while (!reason.empty() && reason.back() == '\n')
    reason.pop_back();
  writeLog("ERR", "database connection lost, reconnecting: " + reason);
  count(metrics_, &Metrics::databaseLosses);
}

bool PgConnection::recoverLocked()
{
  noteLostLocked();
  // Attempts are spaced by a pause that doubles up to resetIntervalMax, so
  // a server that stays down does not cause a reconnect storm; callers wait
  // and try again, nothing is given up.
  const auto now = resets_.now();
  if (now < resets_.earliest())
    return false;
  resets_.attempted(now);
  ++resetAttempts_;
  PQreset(connection_.get());
  if (PQstatus(connection_.get()) != CONNECTION_OK)
    return false;
  for (const Prepared& statement : prepared_) {
    PgResult result;
    try {
      result = answered(
          [&](PGconn* c) {
            return PQsendPrepare(c, statement.name.c_str(), statement.sql.c_str(), statement.paramCount, nullptr);
          },
          {});
    } catch (const ConnectionLost&) {
      return false;
    }
    if (!result || PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
      writeLog("ERR",
          "database connection restored but " + statement.name
              + " cannot be prepared again: " + PQerrorMessage(connection_.get()));
      return false;
    }
  }
  lost_ = false;
  resets_.reset();
  writeLog("INFO", "database connection restored");
  count(metrics_, &Metrics::databaseRestorations);
  return true;
}

PgResult PgConnection::runLocked(const std::function<int(PGconn*)>& send, std::chrono::milliseconds bound,
    const std::string& prefix, bool connectionText, const std::string& statement)
{
  // A connection known to be down is not used until it has been restored.
  if (lost_ && !recoverLocked())
    throw ConnectionLost(prefix + "no connection to the server\n", { "", "", statement });
  PgResult result = answered(send, bound);
  if (succeeded(result))
    return result;
  if (connectionFailed(result)) {
    const ConnectionLost lost(
        prefix + errorText(result, connectionText), { fieldOf(result, PG_DIAG_SQLSTATE), "", statement });
    result.reset();
    if (retryAction(lost, 1) != RetryAction::now || !recoverLocked())
      throw lost;
    return checked(answered(send, bound), prefix, connectionText, statement);
  }
  return checked(std::move(result), prefix, connectionText, statement);
}

int PgConnection::resetAttempts()
{
  MutexLock guard(lock_);
  return resetAttempts_;
}

std::optional<int> PgConnection::sessionOf()
{
  MutexLock guard(lock_);
  if (lost_)
    return std::nullopt;
  return resetAttempts_;
}

bool PgConnection::waitSocket(short events, std::chrono::steady_clock::time_point& deadline)
{
  using Clock = std::chrono::steady_clock;
  bool stopSeen = false;
  for (;;) {
    // The stop is looked at every tenth of a second: once seen, the answer
    // has a short grace left at most.
    if (!stopSeen && stopping_ != nullptr && stopping_->load()) {
      stopSeen = true;
      deadline = std::min(deadline, Clock::now() + stopGrace);
    }
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0)
      return false;
    pollfd watched { PQsocket(connection_.get()), events, 0 };
    int ready = ::poll(&watched, 1, static_cast<int>(std::min<long long>(left, 100)));
    if (ready > 0)
      return true;
    if (ready < 0 && errno != EINTR)
      return true; // PQconsumeInput reports what went wrong.
  }
}

std::chrono::milliseconds PgConnection::boundOf(std::chrono::milliseconds bound) const
{
  if (bound.count() == 0)
    bound = answerTimeout_;
  if (bound.count() == 0)
    bound = std::chrono::hours(24 * 365);
  return bound;
}

void PgConnection::silentLocked(std::chrono::milliseconds bound)
{
  const std::string reason = "no answer from the server within "
      + std::to_string(std::chrono::duration_cast<std::chrono::seconds>(bound).count()) + " s";
  noteLostLocked(reason);
  throw ConnectionLost("Exec prepareRequest failed:  " + reason + "\n");
}

PgConnection::Answering PgConnection::answering(std::chrono::milliseconds bound) const
{
  const auto now = std::chrono::steady_clock::now();
  return { now, now + boundOf(bound) };
}

bool PgConnection::flushedLocked(Answering& wait)
{
  PGconn* conn = connection_.get();
  // A statement larger than the socket's buffer goes out as the server reads.
  for (int flushed; (flushed = PQflush(conn)) != 0;) {
    if (flushed < 0)
      return false;
    if (!waitSocket(POLLIN | POLLOUT, wait.deadline))
      silentLocked(wait.bound());
    if (PQconsumeInput(conn) == 0)
      return false;
  }
  return true;
}

bool PgConnection::readableLocked(Answering& wait)
{
  PGconn* conn = connection_.get();
  while (PQisBusy(conn) != 0) {
    if (!waitSocket(POLLIN, wait.deadline))
      silentLocked(wait.bound());
    if (PQconsumeInput(conn) == 0)
      return false;
  }
  return true;
}

PgConnection::Answers PgConnection::roundTrip(
    const std::function<int(PGconn*)>& send, std::size_t count, std::chrono::milliseconds bound)
{
  PGconn* conn = connection_.get();
  const bool pipelined = PQpipelineStatus(conn) != PQ_PIPELINE_OFF;
  Answering wait = answering(bound);
  Answers answers { std::vector<PgResult>(count) };
  if (send(conn) == 0 || !flushedLocked(wait))
    return { std::move(answers.results), false };
  // Outside a pipeline a broken connection's error is the library's last
  // result; inside, the answers owed are lost with it.
  for (std::size_t current = 0;;) {
    if (!readableLocked(wait) && pipelined)
      return { std::move(answers.results), false };
    PgResult next(PQgetResult(conn));
    if (!next) {
      // The end of one query's answers.
      if (!pipelined)
        break;
      if (PQstatus(conn) == CONNECTION_BAD)
        return { std::move(answers.results), false };
      ++current;
      continue;
    }
    const ExecStatusType status = PQresultStatus(next.get());
    if (status == PGRES_PIPELINE_SYNC)
      break;
    if (status != PGRES_PIPELINE_ABORTED && current < count) {
      PgResult& kept = answers.results[current];
      if (!kept || PQresultStatus(kept.get()) != PGRES_FATAL_ERROR)
        kept = std::move(next);
    }
    if (!pipelined && PQstatus(conn) == CONNECTION_BAD)
      break;
  }
  return answers;
}

PgResult PgConnection::answered(const std::function<int(PGconn*)>& send, std::chrono::milliseconds bound)
{
  return std::move(roundTrip(send, 1, bound).results.front());
}

PgResult PgConnection::executeRequest(const std::string& sql)
{
  Claim claim(claims_);
  MutexLock guard(lock_);
  return runLocked([&](PGconn* c) { return PQsendQuery(c, sql.c_str()); }, {}, "execute failed:  ", true);
}

PgResult PgConnection::executeParams(const std::string& sql, const std::vector<std::string>& values)
{
  const PipelineQuery query { sql, values, false };
  Claim claim(claims_);
  MutexLock guard(lock_);
  return runLocked([&](PGconn* c) { return sendQuery(c, query); }, {}, "Execute failed:  ", false);
}

void PgConnection::prepareRequest(const std::string& name, const std::string& sql, int paramCount)
{
  MutexLock guard(lock_);
  // A pool-wide preparation retried after it failed on another connection
  // finds this one done already.
  for (const Prepared& statement : prepared_) {
    if (statement.name == name && statement.sql == sql && statement.paramCount == paramCount)
      return;
  }
  runLocked([&](PGconn* c) { return PQsendPrepare(c, name.c_str(), sql.c_str(), paramCount, nullptr); }, {},
      "prepare failed:  ", true, name);
  prepared_.push_back({ name, sql, paramCount });
}

PgResult PgConnection::executePrepared(
    const std::string& name, const std::vector<std::string>& values, std::chrono::milliseconds answerTimeout)
{
  const PipelineQuery query { name, values };
  Claim claim(claims_);
  MutexLock guard(lock_);
  return runLocked(
      [&](PGconn* c) { return sendQuery(c, query); }, answerTimeout, "Exec prepareRequest failed:  ", false, name);
}

PgResult PgConnection::Exclusive::execute(const std::string& sql)
{
  return connection_.checked(
      connection_.answered([&](PGconn* c) { return PQsendQuery(c, sql.c_str()); }, {}), "execute failed:  ", true);
}

PgResult PgConnection::Exclusive::executePrepared(const std::string& name, const std::vector<std::string>& values)
{
  const PipelineQuery query { name, values };
  return connection_.checked(connection_.answered([&](PGconn* c) { return sendQuery(c, query); }, {}),
      "Exec prepareRequest failed:  ", false, name);
}

void PgConnection::Exclusive::pipeline(PgPipeline& pipe, const std::vector<PipelineQuery>& leading)
{
  PgConnection& owner = connection_;
  PGconn* conn = owner.connection_.get();
  const std::string prefix = "Exec prepareRequest failed:  ";
  if (PQenterPipelineMode(conn) == 0)
    owner.checked(PgResult(), prefix, true);
  // Whatever happens, the connection leaves pipeline mode: at once once
  // every answer is read, or by the reset that a lost one gets.
  struct Leave {
    PGconn* conn;
    ~Leave() { PQexitPipelineMode(conn); }
  } leave { conn };
  std::vector<const PipelineQuery*> queries;
  for (const PipelineQuery& query : leading)
    queries.push_back(&query);
  for (const PipelineQuery& query : pipe.queries())
    queries.push_back(&query);
  Answers answers = owner.roundTrip(
      [&](PGconn* c) {
        for (const PipelineQuery* query : queries)
          if (sendQuery(c, *query) == 0)
            return 0;
        return PQpipelineSync(c);
      },
      queries.size(), {});
  if (!answers.complete)
    owner.checked(PgResult(), prefix, true);
  // The first refusal speaks for the pipeline; the queries after it were skipped.
  for (std::size_t i = 0; i < queries.size(); ++i)
    if (answers.results[i] && !succeeded(answers.results[i]))
      owner.checked(std::move(answers.results[i]), prefix, false, queries[i]->prepared ? queries[i]->statement : "");
  answers.results.erase(answers.results.begin(), answers.results.begin() + static_cast<long>(leading.size()));
  pipe.answered(std::move(answers.results));
}

std::chrono::milliseconds PgConnection::Exclusive::lockWait() const
{
  // Half the answer's bound: the server says the lock is still held well
  // before the silence would be taken for a lost connection. Without a
  // bound on answers, none on lock waits either (0).
  return connection_.answerTimeout_.count() == 0
      ? std::chrono::milliseconds(0)
      : std::max(connection_.answerTimeout_ / 2, std::chrono::milliseconds(1));
}

bool PgConnection::Exclusive::inTransaction() const
{
  PGTransactionStatusType status = PQtransactionStatus(connection_.connection_.get());
  return status == PQTRANS_INTRANS || status == PQTRANS_INERROR || status == PQTRANS_ACTIVE;
}
