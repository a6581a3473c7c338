#include "processing/workers.h"

#include "core/lock_guarded.h"

#include "database/pg_pool.h"
#include "database/receiver_tables.h"
#include "execution/persistent_plugin.h"
#include "processing/cleaning.h"
#include "processing/cluster_locks.h"
#include "processing/service_locks.h"
#include "processing/state_batches.h"
#include "processing/state_policy.h"

#include "tests/support/log_capture.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <future>
#include <optional>
#include <thread>
#include <tuple>

namespace {

using namespace std::chrono_literals;

// A plugin that answers by a word of the notification (after a second for SLOW, four for HANG) and notes each one in
// "<its path>.seen", and an alerting program that notes its arguments.
const char* const pluginScript
    = "#!/bin/sh\nread line\necho \"$line\" >> \"$0.seen\"\n"
      "case \"$line\" in *SLOW*) sleep 1;; *HANG*) sleep 4;; esac\ncase \"$line\" in\n"
      "  *CRIT*) echo \"CRITICAL: $line\"; exit 2;; *WARN*) echo \"WARNING: $line\"; exit 1;;\n"
      "  *PENDING*) echo pending; exit 4;; *) echo \"OK: $line\";;\nesac\n";
const char* const alertScript = "#!/bin/sh\necho \"$@\" >> \"$0.out\"\n";
// "state output|error:acknowledged ..." of a service's row and occurrences; the alert line of its latest occurrence.
const std::string recordQuery
    = "SELECT service_previous_state || ' ' || coalesce(service_last_stdout, '') || '|' || coalesce((SELECT string_agg("
      "happen_error_id || ':' || happen_acquitte, ' ' ORDER BY happen_id) FROM quelm_error_happen WHERE "
      "happen_service_id=service_id), '') FROM quelm_services WHERE service_name='";
const std::string alertQuery
    = "SELECT '--error ' || max(happen_id) || E'\\n' FROM quelm_error_happen JOIN quelm_services "
      "ON happen_service_id=service_id WHERE service_name='";

// The product database and the parts the daemon builds at start-up; with OwnCluster, on a server the test restarts.
template <bool OwnCluster> class Fixture : public ::testing::Test {
protected:
  void SetUp() override
  {
    db.exec("INSERT INTO quelm_program (program_id, program_path) VALUES (1, '" + alerter + "')");
    prepareDaemonStatements(pool);
  }

  // A service named after the host, its device and plugin (by default the test's), alert flags for ok, warning,
  // critical and unknown; returns its id.
  std::string addService(const std::string& host, const std::string& flags = "false,false,false,false",
      const std::string& path = "", const std::string& parameter = "")
  {
    return db.scalar("WITH p AS (INSERT INTO quelm_plugins (plugin_path) VALUES ('" + (path.empty() ? plugin : path)
        + "') RETURNING *), d AS (INSERT INTO quelm_device (device_name) VALUES ('" + host
        + "') RETURNING *), s AS (INSERT INTO quelm_services (service_name, service_plugin_id, service_device_id, "
          "service_previous_state, service_last_stdout, service_parameter) SELECT device_name, plugin_id, device_id, "
          "0, 'loaded', '"
        + parameter + "' FROM d, p RETURNING *) INSERT INTO quelm_service_response_program SELECT service_id, 1, "
        + flags + ", '--error id=$ERROR' FROM s RETURNING response_service_id");
  }
  void load() { prepareAndLoadServices(pool, registry, acknowledgements); }
  Outcome send(const std::string& host, const std::string& text) { return workers.handle({ host, text }, 7); }
  // The service's record, checking that its memory agrees with its row.
  std::string record(const std::string& host)
  {
    std::string row = db.scalar(recordQuery + host + "'");
    StoredState kept = registry.getService(host)->stored();
    EXPECT_EQ(std::to_string(stateNumber(kept.state)) + " " + kept.lastStdout, row.substr(0, row.find('|'))) << host;
    return row;
  }
  std::string alertOfLast(const std::string& host) { return db.scalar(alertQuery + host + "'"); }
  std::string alerts() { return readFile(alerter + ".out"); }

  std::unique_ptr<PrivateCluster> cluster = OwnCluster ? std::make_unique<PrivateCluster>() : nullptr;
  TestDatabase db { cluster ? cluster->envFile() : std::string() };
  TempDir dir;
  const std::string plugin = dir.write("plugin.sh", pluginScript, true);
  const std::string alerter = dir.write("alert.sh", alertScript, true);
  PgPool pool { settingsOf(db), 2 };
  const ErrorIds errorIds = loadErrorNames(pool);
  ServiceRegistry registry;
  AutoAcknowledgements acknowledgements;
  ServiceLocks locks;
  std::atomic<bool> stopRequested { false };
  ProcessingContext context { ProcessingParts { &pool, &registry, &errorIds, &locks, &stopRequested } };
  // The shared writes of unchanged states, for the tests that hand them over; they outlive the workers.
  std::optional<StateBatches> batches;
  NotificationQueue queue;
  Workers workers { context, queue };
};
using WorkersTest = Fixture<false>;
using WorkersOutageTest = Fixture<true>;

TEST_F(WorkersTest, TheRoadOfServicesThroughTheirStatesARefusedUpdateAndRunsThatCannotStart)
{
  const std::string fw = addService("fw01", "true,false,true,false");
  addService("sw01", "false,false,true,false");
  addService("ap01", "true,true,true,true");
  load();
  // A refused update is logged and changes nothing: once the row takes updates again, the next CRITICAL is a change.
  LogCapture capture;
  db.exec("ALTER TABLE quelm_services ADD CONSTRAINT refuse CHECK (service_previous_state <> 2) NOT VALID");
  EXPECT_EQ(send("fw01", "CRIT"), Outcome::rejected);
  EXPECT_TRUE(capture.contains("\nLOCK\nUNLOCK\n")) << capture.text();
  EXPECT_TRUE(capture.contains("#ERR#7#Update service state failed: " + fw
      + " fw01 Exec prepareRequest failed:  ERROR:  new row for relation \"quelm_services\" violates check"));
  EXPECT_EQ(record("fw01"), "0 loaded|");
  db.exec("ALTER TABLE quelm_services DROP CONSTRAINT refuse");
  // Alerts on entering CRITICAL, on leaving it for OK only with the OK response (else it stays open); none for WARNING.
  const std::tuple<const char*, const char*, const char*, bool> road[] = {
    { "fw01", "link CRIT", "2 CRITICAL: link CRIT\n|2:0", true },
    { "fw01", "still CRIT", "2 CRITICAL: still CRIT\n|2:0", false },
    { "fw01", "WARN", "1 WARNING: WARN\n|2:1 1:0", false },
    { "fw01", "CRIT again", "2 CRITICAL: CRIT again\n|2:1 1:1 2:0", true },
    { "fw01", "fine", "0 OK: fine\n|2:1 1:1 2:1", true },
    { "sw01", "CRIT", "2 CRITICAL: CRIT\n|2:0", true },
    { "sw01", "fine", "0 OK: fine\n|2:0", false },
    { "ap01", "PENDING", "4 pending\n|", false },
    { "fw01", "CRIT", "2 CRITICAL: CRIT\n|2:1 1:1 2:1 2:0", true },
  };
  std::string alerted;
  for (const auto& [host, text, expected, alert] : road) {
    SCOPED_TRACE(std::string(host) + " " + text);
    EXPECT_EQ(send(host, text), Outcome::stored);
    EXPECT_EQ(record(host), expected);
    EXPECT_EQ(alerts(), alerted += alert ? alertOfLast(host) : "");
  }
  EXPECT_EQ(db.scalar("SELECT string_agg(happen_message, '' ORDER BY happen_id) FROM quelm_error_happen"),
      "CRITICAL: link CRIT\nWARNING: WARN\nCRITICAL: CRIT again\nCRITICAL: CRIT\nCRITICAL: CRIT\n");
  // Runs that cannot start (no descriptor is left for a pipe) store UNKNOWN.
  rlimit saved = {}, tight = {};
  getrlimit(RLIMIT_NOFILE, &saved);
  tight = { static_cast<rlim_t>(::dup(0)), saved.rlim_max };
  ::close(static_cast<int>(tight.rlim_cur));
  setrlimit(RLIMIT_NOFILE, &tight);
  EXPECT_EQ(send("fw01", "fine"), Outcome::stored);
  setrlimit(RLIMIT_NOFILE, &saved);
  EXPECT_EQ(countOf(capture.text(), "Error open pipe\npath:" + plugin + " " + std::strerror(EMFILE)), 3u)
      << capture.text();
  EXPECT_EQ(record("fw01"), "3 " + std::string(noOutputText) + "|2:1 1:1 2:1 2:1 3:0");
  EXPECT_EQ(alerts(), alerted) << "no alert for UNKNOWN without its flag";
}

// Collects the answers given to one sender.
struct Answers : ReplyChannel {
  void send(std::uint64_t, Outcome outcome) override { got.lock()->push_back(outcome); }
  LockGuarded<std::vector<Outcome>> got;
};

TEST_F(WorkersTest, EveryNotificationTakenIsAnsweredOnceAndCounted)
{
  for (const char* host : { "ap01", "sw01", "gone", "fw09" })
    addService(host);
  load();
  Metrics metrics;
  context.metrics = &metrics;
  db.exec("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN IF NEW.happen_message LIKE '%no-' || "
          "lower(TG_OP) || '%' THEN RAISE EXCEPTION 'refused here'; END IF; RETURN NEW; END $$ LANGUAGE plpgsql;"
          "CREATE TRIGGER refuse BEFORE INSERT OR UPDATE ON quelm_error_happen FOR EACH ROW EXECUTE FUNCTION refuse();"
          "DELETE FROM quelm_services WHERE service_name = 'gone'; CREATE TABLE updates (output text); CREATE FUNCTION "
          "note() RETURNS trigger AS $$ BEGIN INSERT INTO updates SELECT NEW.service_last_stdout WHERE "
          "NEW.service_name = 'fw09'; RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER note AFTER UPDATE ON "
          "quelm_services FOR EACH ROW EXECUTE FUNCTION note()");
  // The host, text, id, answer and log of each. A copy (the same id from the same host) that comes while its original
  // waits joins it: one plugin run, one write, and the same answer; the OK sent after it is a change of its own.
  const std::tuple<const char*, const char*, const char*, Outcome, const char*> cases[] = {
    { "ap01", "CRIT no-insert", "", Outcome::rejected,
        "#ERR#insert error failed:  Exec prepareRequest failed:  ERROR:  refused here" },
    { "sw01", "WARN no-update", "", Outcome::stored, "" },
    { "sw01", "CRIT", "", Outcome::rejected,
        "#ERR#EXEC AcquitteErrorHappen failed in function AcquitteError: Exec prepareRequest failed:  "
        "ERROR:  refused here" },
    { "gone", "CRIT", "", Outcome::ignored, "no longer exists in the database" },
    { "nobody", "CRIT", "", Outcome::ignored, "" },
    { "fw09", "CRIT copied", "c1", Outcome::stored, "" },
    { "fw09", "CRIT copied", "c1", Outcome::stored, "" },
    { "fw09", "fine after", "o1", Outcome::stored, "" },
  };
  LogCapture capture;
  std::vector<std::shared_ptr<Answers>> answers;
  for (const auto& [host, text, id, outcome, logged] : cases)
    queue.push({ host, text, answers.emplace_back(std::make_shared<Answers>()), 1, {}, id });
  workers.start(2);
  EXPECT_TRUE(waitFor(20, [&] { return workers.handled() == std::size(cases) - 1 && queue.size() == 0; }));
  queue.stopAndWakeAll(stopRequested);
  workers.join();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const auto& [host, text, id, outcome, logged] = cases[i];
    SCOPED_TRACE(std::string(host) + " " + text + " " + id);
    EXPECT_EQ(answers[i]->got.copy(), std::vector<Outcome> { outcome });
    EXPECT_TRUE(capture.contains(logged)) << capture.text();
  }
  EXPECT_EQ(countOf(readFile(plugin + ".seen"), "CRIT copied\n"), 1u);
  EXPECT_EQ(db.scalar("SELECT string_agg(output, '|') FROM updates"), "CRITICAL: CRIT copied\n|OK: fine after\n");
  // Once applied, it is on record: sent again, even where nothing remembers it, it changes nothing.
  stopRequested = false;
  EXPECT_EQ(workers.handle({ "fw09", "CRIT copied", nullptr, 0, {}, "c1" }, 7), Outcome::duplicate);
  EXPECT_EQ(record("fw09"), "0 OK: fine after\n|2:0");
  EXPECT_EQ(metrics.rejected->Value() + 10 * metrics.stored->Value() + 100 * metrics.ignored->Value()
          + 1000 * metrics.duplicate->Value(),
      1232);
  // What was not refused is written: ap01's state without its occurrence, sw01's CRITICAL beside the WARNING it could
  // not close; nothing for the service whose row is gone.
  EXPECT_EQ(record("ap01"), "2 CRITICAL: CRIT no-insert\n|");
  EXPECT_EQ(record("sw01"), "2 CRITICAL: CRIT\n|1:0 2:0");
  EXPECT_EQ(db.scalar("SELECT count(*) FROM quelm_error_happen"), "3");
}

TEST_F(WorkersTest, OneHostInTheOrderReceivedAndOneServiceNeverWithTwoOpenOccurrences)
{
  // fw01's plugin is a copy of its own, so that its file of notifications seen is fw01's alone.
  const std::string fwPlugin = dir.write("fw01.sh", pluginScript, true);
  addService("fw01", "true,false,false,false", fwPlugin);
  for (const char* host : { "hung", "slow", "h0", "h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9" })
    addService(host);
  load();
  // A hung plugin and a slow host's backlog hold one worker each: the other hosts are stored meanwhile, and what the
  // stop leaves is still queued.
  auto storing = [&](const std::string& text) {
    return db.scalar("SELECT count(*) FROM quelm_services WHERE service_last_stdout = 'OK: " + text + "\n'");
  };
  NotificationQueue fairQueue;
  Workers fair { context, fairQueue };
  fairQueue.push({ "hung", "HANG" });
  for (int n = 0; n < 10; ++n)
    fairQueue.push({ "slow", "SLOW" });
  for (int h = 0; h < 10; ++h)
    fairQueue.push({ "h" + std::to_string(h), "other" });
  fair.start(4);
  EXPECT_TRUE(waitFor(3, [&] { return storing("other") == "10"; }));
  fairQueue.stopAndWakeAll(stopRequested);
  fair.join();
  EXPECT_GE(fairQueue.close().size(), 6u);
  stopRequested = false;
  // So does a row another session holds: the batch gives way at once, the other hosts' unchanged states are stored,
  // and the held one is written once the holder lets go.
  context.stateBatches = &batches.emplace(pool, stopRequested);
  db.exec("BEGIN; SELECT 1 FROM quelm_services WHERE service_name = 'h0' FOR UPDATE");
  NotificationQueue heldQueue;
  Workers held { context, heldQueue };
  for (int h = 0; h < 6; ++h)
    heldQueue.push({ "h" + std::to_string(h), "held" });
  held.start(4);
  EXPECT_TRUE(waitFor(5, [&] { return storing("held") == "5"; })) << storing("held");
  db.exec("ROLLBACK");
  EXPECT_TRUE(waitFor(5, [&] { return storing("held") == "6"; })) << storing("held");
  heldQueue.stopAndWakeAll(stopRequested);
  held.join();
  stopRequested = false;
  // Workers hand their writes over and go on with other hosts, while fw01's writes are slowed by a trigger that sleeps
  // on some of its rows: each host's notifications still run and land in the order received.
  db.exec(
      "CREATE TABLE landed (n bigserial, service text, output text); CREATE FUNCTION landed() RETURNS trigger AS $$ "
      "BEGIN INSERT INTO landed (service, output) VALUES (NEW.service_name, NEW.service_last_stdout); IF "
      "NEW.service_name = 'fw01' AND NEW.service_last_stdout LIKE '%5%' THEN PERFORM pg_sleep(0.02); END IF; "
      "RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER landed AFTER UPDATE ON quelm_services FOR EACH ROW "
      "EXECUTE FUNCTION landed()");
  workers.start(8);
  std::string expected;
  for (int n = 0; n < 160; ++n) {
    queue.push({ "fw01", "n" + std::to_string(n) });
    queue.push({ "h" + std::to_string(n % 10), "m" + std::to_string(n) });
    expected += "n" + std::to_string(n) + "\n";
    // Each burst finds the workers idle, so that they race for it.
    if (n % 8 == 7)
      waitFor(10, [&] { return workers.handled() >= 2u * (n + 1); });
  }
  queue.stopAndWakeAll(stopRequested);
  workers.join();
  EXPECT_EQ(readFile(fwPlugin + ".seen"), expected);
  EXPECT_EQ(record("fw01"), "0 OK: n159\n|");
  EXPECT_EQ(
      db.scalar("SELECT string_agg(right(output, -4), '' ORDER BY n) FROM landed WHERE service = 'fw01'"), expected);
  EXPECT_EQ(
      db.scalar(
          "SELECT count(*) FILTER (WHERE d <= 0) || ' ' || count(*) FROM (SELECT substr(output, 6)::int - lag("
          "substr(output, 6)::int) OVER (PARTITION BY service ORDER BY n) d FROM landed WHERE service LIKE 'h_') l"),
      "0 160");
  // Handled straight from several threads, one service's changes never interleave: no occurrence opens while one is.
  const char* texts[] = { "CRIT", "WARN", "fine" };
  std::vector<std::future<void>> senders;
  for (int t = 0; t < 6; ++t)
    senders.push_back(std::async(std::launch::async, [&, t] {
      for (int i = 0; i < 6; ++i)
        send("fw01", texts[(i + t) % 3]);
    }));
  senders.clear();
  EXPECT_EQ("0",
      db.scalar("SELECT count(*) FROM quelm_error_happen a, quelm_error_happen b WHERE b.happen_id > "
                "a.happen_id AND b.happen_timestamp < coalesce(a.happen_time_acquitte, 'infinity')"));
  record("fw01");
}

// The same notifications give the same rows and occurrences whether a plugin runs once per notification or as
// persistent processes (the two-mode test plugin and the stock one), with at most a process per worker; a process that
// ends every 50th request, hangs or writes what is no reply is replaced, and nothing taken is lost.
TEST_F(WorkersTest, PersistentPluginsGiveWhatRunsGiveAndSurviveTheirFailures)
{
  const std::string stock = QUELM_BINARY_DIR "/tools/quelm-check-syslog", dual = readFile(QUELM_DUAL_PLUGIN);
  const std::string paths[] = { dir.write("dual", dual, true), dir.write("dual-p", dual, true), stock,
    dir.write("stock-p", readFile(stock), true), dir.write("dual-flaky", dual, true) };
  for (int n = 0; n < 15; ++n)
    addService("rpstf"[n / 3] + std::to_string(n % 3), "true,true,true,true", paths[n / 3],
        n / 6 == 1 ? "-c CRIT -w WARN" : "");
  Metrics metrics;
  PersistentPlugins persistent({ paths[1], paths[3], paths[4] }, 3, &metrics);
  context.persistent = &persistent;
  context.metrics = &metrics;
  context.pluginTimeoutSeconds = 2;
  registry.setPersistentPlugins({ paths[1], paths[3], paths[4] });
  LogCapture capture;
  load();
  const std::string texts[]
      = { "link CRIT", "still CRIT", "WARN \\\"q\\\" \xc3\xa9 \x01", "CRIT again", "fine", "UNKN" };
  auto push = [&](const std::string& host, const std::string& text) {
    queue.push({ host, "{\"fromhost\":\"x\",\"message\":\"" + text + "\"}" });
  };
  for (const std::string& text : texts)
    for (const char* kind : { "r", "p", "s", "t" })
      for (int n = 0; n < 3; ++n)
        push(kind + std::to_string(n), text);
  for (int n = 0; n < 240; ++n)
    push("f" + std::to_string(n % 3), "fine " + std::to_string(n));
  push("p0", "HANG");
  push("p1", "GARBAGE");
  const std::size_t sent = queue.size();
  workers.start(3);
  EXPECT_TRUE(waitFor(60, [&] { return metrics.stored->Value() == sent; })) << metrics.stored->Value();
  queue.stopAndWakeAll(stopRequested);
  workers.join();
  for (int n = 0; n < 3; ++n) {
    const std::string i = std::to_string(n);
    EXPECT_EQ(record("s" + i), record("t" + i));
    EXPECT_EQ(record("f" + i), "0 OK: {\"fromhost\":\"x\",\"message\":\"fine " + std::to_string(237 + n) + "\"}\n|");
  }
  EXPECT_EQ(record("r2"), record("p2"));
  EXPECT_EQ(record("r2").substr(0, 16), "3 UNKNOWN: {\"fro");
  EXPECT_EQ(record("t0"), "0 OK: x: UNKN\n|2:1 1:1 2:1");
  // The hung request was tried again on a fresh process; the garbage one gave up after three.
  EXPECT_EQ(record("p0").substr(0, 8), "0 OK: {\"");
  EXPECT_EQ(record("p1").substr(0, 2 + std::strlen(noOutputText)), "3 " + std::string(noOutputText));
  EXPECT_EQ(metrics.persistentProtocolErrors->Value(), 3);
  // At most three at once, and one more for each failure: four for the dual plugin; the flaky one serves at most 49
  // requests a process, so at least five served its 240.
  const std::size_t dualStarts = countOf(readFile(paths[1] + ".pids"), "\n");
  const std::size_t flakyStarts = countOf(readFile(paths[4] + ".pids"), "\n");
  EXPECT_TRUE(dualStarts >= 2 && dualStarts <= 3 + 4) << dualStarts;
  EXPECT_TRUE(flakyStarts >= 5 && flakyStarts <= 3 + 240 / 49) << flakyStarts;
  EXPECT_GE(metrics.persistentRestarts->Value(), flakyStarts - 3);
}

// Two Receivers in cluster mode on one database. The session of A's lock on fw01 dies while A's plugin runs, then while
// A writes (its occurrence insert ends the session); B handles fw01 in between. A's transaction writes after B's, from
// the state B stored: the row and the occurrences agree, never two are open, and every sender is answered.
TEST_F(WorkersTest, ClusterWritesAreFencedWhenTheLockSessionDies)
{
  const std::string id = addService("fw01", "true,true,true,true");
  load();
  db.exec("CREATE SEQUENCE kills; CREATE TABLE doubled (service int); CREATE FUNCTION checks() RETURNS trigger AS $$ "
          "BEGIN IF NEW.happen_message LIKE '%die%' AND nextval('kills') = 1 THEN PERFORM "
          "pg_terminate_backend(pg_backend_pid()); END IF; INSERT INTO doubled SELECT NEW.happen_service_id WHERE "
          "(SELECT count(*) FROM quelm_error_happen WHERE happen_service_id = NEW.happen_service_id AND "
          "happen_acquitte = 0) > 0; RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER checks BEFORE INSERT ON "
          "quelm_error_happen FOR EACH ROW EXECUTE FUNCTION checks()");
  PgPool poolB { settingsOf(db), 2 };
  ServiceRegistry registryB;
  AutoAcknowledgements acknowledgementsB;
  ServiceLocks locksB;
  prepareDaemonStatements(poolB);
  prepareAndLoadServices(poolB, registryB, acknowledgementsB);
  prepareClusterStatements(pool);
  prepareClusterStatements(poolB);
  ProcessingContext contextB { ProcessingParts { &poolB, &registryB, &errorIds, &locksB, &stopRequested } };
  context.cluster = contextB.cluster = true;
  NotificationQueue queueB;
  Workers workersB { contextB, queueB };
  auto slowA = [&](const std::string& text) {
    auto handled = std::async(std::launch::async, [&, text] { return send("fw01", text); });
    EXPECT_TRUE(waitFor(10, [&] { return readFile(plugin + ".seen").find(text) != std::string::npos; }));
    return handled;
  };
  auto b = [&] { return workersB.handle({ "fw01", "CRIT" }, 8); };

  // Killed during the plugin run: B's CRITICAL comes first, and A's OK is a return to OK from it.
  auto a = slowA("SLOW fine");
  EXPECT_EQ(db.scalar("SELECT bool_and(pg_terminate_backend(pid)) FROM pg_locks WHERE granted AND objid = " + id
                + " AND locktype = 'advisory'"),
      "t");
  EXPECT_EQ(b(), Outcome::stored);
  EXPECT_EQ(a.get(), Outcome::stored);
  EXPECT_EQ(record("fw01"), "0 OK: SLOW fine\n|2:1");
  const std::string critical = alertOfLast("fw01");
  EXPECT_EQ(alerts(), critical + critical) << "B's alert for CRITICAL, A's for the return to OK";

  // Killed between two statements: B waits for the lock, which A's session frees; A starts its transaction over once it
  // has the lock again. Whoever writes last decides from what the other stored.
  a = slowA("SLOW WARN die");
  EXPECT_EQ(std::async(std::launch::async, b).get(), Outcome::stored);
  EXPECT_EQ(a.get(), Outcome::stored);
  const std::string last = db.scalar(recordQuery + "fw01'");
  EXPECT_TRUE(last == "1 WARNING: SLOW WARN die\n|2:1 2:1 1:0" || last == "2 CRITICAL: CRIT\n|2:1 1:1 2:0") << last;
  EXPECT_EQ(db.scalar("SELECT nextval('kills') || ' ' || count(*) FROM doubled"), "3 0");
}

TEST_F(WorkersTest, CleanerClosesStaleErrorsOnceRefreshesServicesAndStopsPromptly)
{
  addService("stale", "true,false,true,false");
  addService("marked");
  addService("racing", "true,true,true,false");
  // CRITICAL for ten minutes, CRITICAL without occurrence and marked deleted, WARNING for ten minutes.
  db.exec("UPDATE quelm_services SET service_previous_state=2 - (service_name='racing')::int, service_time_added=now() "
          "- interval '1 hour', service_delete=(service_name='marked'); INSERT INTO quelm_error_happen "
          "(happen_error_id, happen_device_id, happen_service_id, happen_timestamp) SELECT service_previous_state, "
          "service_device_id, service_id, now() - interval '10 minute' FROM quelm_services WHERE service_name IN "
          "('stale', 'racing')");
  load();
  const std::string staleAlert = alertOfLast("stale");
  // The cleaner judges racing's WARNING stale while a slow CRITICAL run holds the service: once it has the service, it
  // finds the state changed and the stale occurrence closed, and leaves the fresh one alone.
  auto slow = std::async(std::launch::async, [&] { return send("racing", "SLOW CRIT"); });
  ASSERT_TRUE(waitFor(10, [&] { return readFile(plugin + ".seen") == "SLOW CRIT\n"; }));
  Cleaner first(context, acknowledgements);
  first.prepareStatements();
  first.closeStaleErrors();
  EXPECT_EQ(slow.get(), Outcome::stored);
  EXPECT_EQ(record("racing"), "2 CRITICAL: SLOW CRIT\n|1:1 2:0");
  const std::string racingAlert = alertOfLast("racing");
  EXPECT_EQ(alerts(), staleAlert + racingAlert) << "one alert for stale's return to OK, one for racing's CRITICAL";
  // Added after start-up, pending, as the product adds services.
  addService("fresh");
  db.exec("UPDATE quelm_services SET service_previous_state=4, service_last_stdout=NULL WHERE service_name='fresh'");
  Cleaner cleaner(context, acknowledgements);
  auto runner = std::async(std::launch::async, [&] { cleaner.run(); });
  // A stop ends the wait for the next pass.
  cleaner.stop();
  EXPECT_EQ(runner.wait_for(2s), std::future_status::ready);
  cleaner.closeStaleErrors();
  EXPECT_EQ(alerts(), staleAlert + racingAlert);
  EXPECT_EQ(record("stale"), "0 OK: syslog daemon has acquit this error|2:1");
  EXPECT_EQ(record("marked"), "2 loaded|") << "no occurrence to close";
  EXPECT_EQ(record("racing"), "2 CRITICAL: SLOW CRIT\n|1:1 2:0");
  cleaner.refreshServices();
  EXPECT_EQ(
      db.scalar("SELECT string_agg(service_name, ' ' ORDER BY service_id) FROM quelm_services"), "stale racing fresh");
  EXPECT_EQ(db.scalar(recordQuery + "fresh'"), "0 New service added|");
  EXPECT_TRUE(registry.getService("fresh"));
  // A deleted service has left the registry: its notifications are ignored, with no plugin run and no alert.
  const std::string seen = readFile(plugin + ".seen");
  EXPECT_EQ(send("marked", "CRIT"), Outcome::ignored);
  EXPECT_EQ(readFile(plugin + ".seen") + alerts(), seen + staleAlert + racingAlert);
  // Without the OK response a return to OK leaves the occurrence open: the cleaner closes it once it is stale (with no
  // alert), and an error that comes first closes it before opening its own, which the cleaner then leaves alone.
  for (const char* host : { "quiet", "calm" }) {
    addService(host);
    cleaner.refreshServices();
    EXPECT_EQ(send(host, "CRIT"), Outcome::stored);
    EXPECT_EQ(send(host, "fine"), Outcome::stored);
  }
  db.exec("UPDATE quelm_error_happen SET happen_timestamp = now() - interval '10 minute' WHERE happen_service_id IN "
          "(SELECT service_id FROM quelm_services WHERE service_name IN ('quiet', 'calm'))");
  EXPECT_EQ(send("calm", "WARN"), Outcome::stored);
  for (int pass = 0; pass < 2; ++pass)
    cleaner.closeStaleErrors();
  EXPECT_EQ(record("quiet"), "0 OK: syslog daemon has acquit this error|2:1");
  EXPECT_EQ(record("calm"), "1 WARNING: WARN\n|2:1 1:0");
  EXPECT_EQ(alerts(), staleAlert + racingAlert);
}

TEST_F(WorkersOutageTest, RestartsLoseNothingAndAStopDuringAnOutageGivesTheResultUp)
{
  const std::string id = addService("fw01", "true,true,true,true");
  for (const char* host : { "q", "b0", "b1", "b2", "b3" })
    addService(host);
  load();
  // A database that goes silent (a proxy that stops moving bytes) is an outage like any other: logged once the answer's
  // bound has passed, waited out, and the result stored once it answers again.
  {
    TcpProxy proxy(std::stoi(db.port));
    ConnectionSettings silent
        = ConnectionSettings::of(db.host, std::to_string(proxy.port()), db.name, db.user, db.password);
    silent.parameters.emplace_back("connect_timeout", "2");
    silent.answerTimeout = 1s;
    PgPool quiet(silent, 1);
    prepareDaemonStatements(quiet);
    ProcessingContext quietContext { ProcessingParts { &quiet, &registry, &errorIds, &locks, &stopRequested } };
    Workers quietWorkers { quietContext, queue };
    LogCapture capture;
    proxy.freeze();
    auto held = std::async(std::launch::async, [&] { return quietWorkers.handle({ "q", "CRIT quiet" }, 7); });
    EXPECT_EQ(held.wait_for(3s), std::future_status::timeout) << "gave up while the database was silent";
    proxy.thaw();
    ASSERT_EQ(held.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(held.get(), Outcome::stored);
    EXPECT_TRUE(capture.contains("lost, reconnecting: no answer from the server within 1 s")) << capture.text();
    EXPECT_EQ(record("q"), "2 CRITICAL: CRIT quiet\n|2:0");
  }
  // Unchanged states are written in shared batches meanwhile: each is written once, none lost, none twice.
  context.stateBatches = &batches.emplace(pool, stopRequested);
  db.exec("CREATE TABLE writes (service text); CREATE FUNCTION counted() RETURNS trigger AS $$ BEGIN INSERT INTO "
          "writes VALUES (NEW.service_name); RETURN NEW; END $$ LANGUAGE plpgsql; CREATE TRIGGER counted AFTER UPDATE "
          "ON quelm_services FOR EACH ROW EXECUTE FUNCTION counted()");
  auto restarts = std::async(std::launch::async, [&] {
    cluster->control("restart");
    std::this_thread::sleep_for(1s);
    cluster->control("restart");
  });
  // They go through the queue to workers that hand them over and go on: each is answered once, after its commit.
  NotificationQueue pipelined;
  Workers writers { context, pipelined };
  writers.start(4);
  auto batchAnswers = std::make_shared<Answers>();
  auto batched = std::async(std::launch::async, [&] {
    for (int i = 0; i < 40; ++i) {
      for (int n = 0; n < 4; ++n)
        pipelined.push({ "b" + std::to_string(n), "fine " + std::to_string(i), batchAnswers, 1 });
      std::this_thread::sleep_for(20ms);
    }
  });
  const char* texts[] = { "fine", "WARN", "CRIT", "fine" };
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(send("fw01", texts[i % 4]), Outcome::stored) << i;
    std::this_thread::sleep_for(50ms);
  }
  restarts.get();
  batched.get();
  EXPECT_TRUE(waitFor(20, [&] { return batchAnswers->got.lock()->size() >= 160; }));
  EXPECT_EQ(batchAnswers->got.copy(), std::vector<Outcome>(160, Outcome::stored));
  EXPECT_EQ(db.scalar("SELECT string_agg(n, ' ' ORDER BY service) FROM (SELECT service, count(*)::text n FROM writes "
                      "WHERE service LIKE 'b%' GROUP BY service) c"),
      "40 40 40 40");
  EXPECT_EQ(record("b3"), "0 OK: fine 39\n|");
  // A refused write costs only itself: while b0's row is locked, the writes that come meanwhile wait as one batch.
  db.exec("ALTER TABLE quelm_services ADD CONSTRAINT refuse CHECK (service_last_stdout NOT LIKE '%refused%') NOT VALID;"
          "BEGIN; SELECT 1 FROM quelm_services WHERE service_name = 'b0' FOR UPDATE");
  auto handling = [&](const char* host, const char* text) {
    return std::async(std::launch::async, [&, host, text] { return workers.handle({ host, text }, 2); });
  };
  auto locked = handling("b0", "fine");
  EXPECT_TRUE(waitFor(
      10, [&] { return db.scalar("SELECT count(*) FROM pg_stat_activity WHERE wait_event_type = 'Lock'") == "1"; }));
  std::future<Outcome> waiting[] = { handling("b1", "fine"), handling("b2", "refused"), handling("b3", "fine") };
  std::this_thread::sleep_for(500ms);
  db.exec("COMMIT");
  EXPECT_EQ(locked.get(), Outcome::stored);
  EXPECT_EQ((std::vector<Outcome> { waiting[0].get(), waiting[1].get(), waiting[2].get() }),
      (std::vector<Outcome> { Outcome::stored, Outcome::rejected, Outcome::stored }));
  EXPECT_EQ(record("b2"), "0 OK: fine 39\n|");
  EXPECT_EQ(record("b3"), "0 OK: fine\n|");
  db.exec("ALTER TABLE quelm_services DROP CONSTRAINT refuse");
  // Each WARNING and CRITICAL opened and closed once; one alert per change.
  const std::string before = record("fw01");
  EXPECT_EQ("closed " + std::to_string(countOf(before, ":1")) + " open " + std::to_string(countOf(before, ":0")),
      "closed 20 open 0");
  EXPECT_EQ(countOf(alerts(), "\n"), 3u * 10);
  // While the database is away the result and the writes handed over are held; only the stop gives each up, once.
  LogCapture capture;
  ASSERT_TRUE(cluster->control("halt"));
  auto stopped = std::async(std::launch::async, [&] { return send("fw01", "CRIT"); });
  auto heldAnswers = std::make_shared<Answers>();
  for (const char* host : { "b1", "b3" })
    pipelined.push({ host, "fine held", heldAnswers, 1 });
  EXPECT_EQ(stopped.wait_for(2s), std::future_status::timeout) << "gave up while the database was away";
  EXPECT_EQ(heldAnswers->got.lock()->size(), 0u);
  pipelined.stopAndWakeAll(stopRequested);
  EXPECT_EQ(stopped.wait_for(5s), std::future_status::ready) << "held on after the stop";
  writers.join();
  ASSERT_TRUE(cluster->control("resume"));
  EXPECT_EQ(stopped.get(), Outcome::shutdown);
  EXPECT_EQ(heldAnswers->got.copy(), std::vector<Outcome>(2, Outcome::shutdown));
  EXPECT_TRUE(
      capture.contains("#ERR#7#notification from fw01 not stored, the Receiver is stopping: " + id + " fw01 state 2"));
  EXPECT_TRUE(capture.contains("#notification from b3 not stored, the Receiver is stopping:")) << capture.text();
  EXPECT_EQ(record("fw01"), before);
  EXPECT_EQ(record("b3"), "0 OK: fine\n|");
}

} // namespace
