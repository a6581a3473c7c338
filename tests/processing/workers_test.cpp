#include "processing/workers.h"

#include "database/pg_pool.h"
#include "processing/cleaning.h"
#include "processing/service_locks.h"
#include "processing/state_policy.h"

#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"
#include "tests/support/test_process.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <thread>

namespace {

using namespace std::chrono_literals;

// A plugin that answers by a word of the notification and notes each one in
// "<its path>.seen", and an alerting program that notes its arguments.
const char* const pluginScript = "#!/bin/sh\nread line\necho \"$line\" >> \"$0.seen\"\ncase \"$line\" in\n"
                                 "  *CRIT*) echo \"CRITICAL: $line\"; exit 2;;\n"
                                 "  *WARN*) echo \"WARNING: $line\"; exit 1;;\n  *PENDING*) echo pending; exit 4;;\n"
                                 "  *) echo \"OK: $line\";;\nesac\n";
const char* const alertScript = "#!/bin/sh\necho \"$@\" >> \"$0.out\"\n";
// "state output|error:acknowledged ..." of a service's row and occurrences.
const std::string recordQuery
    = "SELECT service_previous_state || ' ' || coalesce(service_last_stdout, '') || '|' || coalesce((SELECT string_agg("
      "happen_error_id || ':' || happen_acquitte, ' ' ORDER BY happen_id) FROM quelm_error_happen WHERE "
      "happen_service_id=service_id), '') FROM quelm_services WHERE service_id=";

// The product database and the parts the daemon builds at start-up; with
// OwnCluster the server is the test's own, to stop and restart.
template <bool OwnCluster>
class Fixture : public ::testing::Test {
  protected:
  void SetUp() override
  {
    db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin + "')");
    db.exec("INSERT INTO quelm_program (program_id, program_path) VALUES (1, '" + alerter + "')");
    prepareStartupStatements(pool);
    errorIds = loadErrorNames(pool);
  }

  // A device and its service named after the host, with alert flags for ok,
  // warning, critical and unknown; returns the service id.
  std::string addService(const std::string& host, const std::string& flags = "false,false,false,false")
  {
    db.exec("INSERT INTO quelm_device (device_name) VALUES ('" + host + "')");
    std::string id = db.scalar("INSERT INTO quelm_services (service_name, service_plugin_id, service_device_id, "
                               "service_previous_state, service_last_stdout) SELECT device_name, 1, device_id, 0, 'loaded' "
                               "FROM quelm_device WHERE device_name='"
        + host + "' RETURNING service_id");
    db.exec("INSERT INTO quelm_service_response_program VALUES (" + id + ", 1, " + flags + ", '--error id=$ERROR')");
    return id;
  }
  void load() { prepareAndLoadServices(pool, registry, acknowledgements); }
  Outcome send(const std::string& host, const std::string& text) { return workers.handle({ host, text }, 7); }
  std::string record(const std::string& id) { return db.scalar(recordQuery + id); }
  std::string memory(const std::string& host)
  {
    StoredState stored = registry.getService(host)->stored();
    return std::to_string(stored.returnCode) + " " + stored.lastStdout;
  }
  std::string openId(const std::string& id)
  {
    return db.scalar("SELECT max(happen_id) FROM quelm_error_happen WHERE happen_acquitte=0 AND happen_service_id=" + id);
  }
  std::string alerts() { return readFile(alerter + ".out"); }

  std::unique_ptr<PrivateCluster> cluster = OwnCluster ? std::make_unique<PrivateCluster>() : nullptr;
  TestDatabase db { cluster ? cluster->envFile() : std::string() };
  TempDir dir;
  const std::string plugin = dir.write("plugin.sh", pluginScript, true), alerter = dir.write("alert.sh", alertScript, true);
  PgPool pool { ConnectionSettings::of(db.host, db.port, db.name, db.user, db.password), 2 };
  ErrorIds errorIds;
  ServiceRegistry registry;
  AutoAcknowledgements acknowledgements;
  ServiceLocks locks;
  std::atomic<bool> stopRequested { false };
  ProcessingContext context { pool, registry, errorIds, locks, stopRequested, 0 };
  NotificationQueue queue;
  Workers workers { context, queue };
};
using WorkersTest = Fixture<false>;
using WorkersOutageTest = Fixture<true>;

TEST_F(WorkersTest, TheRoadOfAServiceThroughItsStatesAndARefusedUpdate)
{
  const std::string fw = addService("fw01", "true,false,true,false"), sw = addService("sw01", "false,false,true,false");
  const std::string ap = addService("ap01", "true,true,true,true");
  load();
  EXPECT_EQ(send("fw01", "link CRIT"), Outcome::stored);
  const std::string first = openId(fw);
  EXPECT_EQ(record(fw), "2 CRITICAL: link CRIT\n|2:0");
  EXPECT_EQ(db.scalar("SELECT happen_message FROM quelm_error_happen WHERE happen_id=" + first), "CRITICAL: link CRIT\n");
  send("fw01", "still CRIT");
  EXPECT_EQ(record(fw), "2 CRITICAL: still CRIT\n|2:0");
  send("fw01", "WARN");
  EXPECT_EQ(record(fw), "1 WARNING: WARN\n|2:1 1:0");
  send("fw01", "CRIT again");
  const std::string second = openId(fw);
  send("fw01", "fine");
  EXPECT_EQ(record(fw), "0 OK: fine\n|2:1 1:1 2:1");
  EXPECT_EQ(memory("fw01"), "0 OK: fine\n");
  // Without the OK response the occurrence stays open.
  send("sw01", "CRIT");
  send("sw01", "fine");
  EXPECT_EQ(record(sw), "0 OK: fine\n|2:0");
  // Alerts on entering CRITICAL and on leaving it for OK; none for WARNING.
  EXPECT_EQ(alerts(), "--error " + first + "\n--error " + second + "\n--error " + second + "\n--error " + openId(sw) + "\n");
  send("ap01", "PENDING");
  EXPECT_EQ(record(ap), "4 pending\n|");
  LogCapture capture;
  EXPECT_EQ(send("stranger", "CRIT"), Outcome::ignored);
  EXPECT_EQ(capture.text(), "search stranger\n");
  // A refused update is logged and leaves the memory as stored: once the row
  // takes updates again, the next CRITICAL is a change.
  db.exec("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'row is locked'; END $$ LANGUAGE plpgsql; "
          "CREATE TRIGGER refuse BEFORE UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION refuse()");
  EXPECT_EQ(send("fw01", "CRIT"), Outcome::rejected);
  EXPECT_TRUE(capture.contains(
      "#ERR#7#Update service state failed: " + fw + " fw01 Exec prepareRequest failed:  ERROR:  row is locked"));
  EXPECT_EQ(memory("fw01") + record(fw), "0 OK: fine\n0 OK: fine\n|2:1 1:1 2:1");
  db.exec("DROP TRIGGER refuse ON quelm_services");
  EXPECT_EQ(send("fw01", "CRIT"), Outcome::stored);
  EXPECT_EQ(record(fw), "2 CRITICAL: CRIT\n|2:1 1:1 2:1 2:0");
  EXPECT_EQ(alerts().substr(alerts().rfind("--error")), "--error " + openId(fw) + "\n");
}

TEST_F(WorkersTest, ThreeRunsWithoutDescriptorsStoreUnknownInRowMemoryAndOccurrence)
{
  const std::string id = addService("fw01", "true,false,false,false");
  load();
  LogCapture capture;
  // The lowest free descriptor becomes the limit: no pipe can be made.
  struct rlimit saved { };
  getrlimit(RLIMIT_NOFILE, &saved);
  const int lowest = ::dup(0);
  ::close(lowest);
  const struct rlimit tight = { static_cast<rlim_t>(lowest), saved.rlim_max };
  setrlimit(RLIMIT_NOFILE, &tight);
  EXPECT_EQ(send("fw01", "fine"), Outcome::stored);
  setrlimit(RLIMIT_NOFILE, &saved);
  const std::string log = capture.text(), failure = "Error open pipe\npath:" + plugin + " " + std::strerror(EMFILE);
  int failures = 0;
  for (auto at = log.find(failure); at != std::string::npos; at = log.find(failure, at + 1), ++failures) { }
  EXPECT_EQ(failures, 3) << log;
  EXPECT_EQ(record(id), "3 " + std::string(noOutputText) + "|3:0");
  EXPECT_EQ(memory("fw01"), "3 " + std::string(noOutputText));
  send("fw01", "fine");
  EXPECT_EQ(record(id), "0 OK: fine\n|3:1");
}

TEST_F(WorkersTest, OneHostInTheOrderReceivedAndOneServiceNeverWithTwoOpenOccurrences)
{
  const std::string id = addService("fw01", "true,false,false,false");
  load();
  workers.start(8);
  std::string expected;
  for (int burst = 0; burst < 20; ++burst) {
    // Each burst finds the workers idle, so that they race for it.
    for (int i = 0; i < 8; ++i) {
      queue.push({ "fw01", "n" + std::to_string(burst * 8 + i) });
      expected += "n" + std::to_string(burst * 8 + i) + "\n";
    }
    waitFor(10, [&] { return readFile(plugin + ".seen").size() >= expected.size(); });
  }
  queue.stopAndWakeAll(stopRequested);
  workers.join();
  EXPECT_EQ(readFile(plugin + ".seen"), expected);
  EXPECT_EQ(record(id), "0 OK: n159\n|");
  // Handled straight from several threads, the changes of one service
  // still never interleave.
  const char* texts[] = { "CRIT", "WARN", "fine" };
  std::vector<std::future<void>> senders;
  for (int t = 0; t < 6; ++t)
    senders.push_back(std::async(std::launch::async, [&, t] {
      for (int i = 0; i < 6; ++i)
        send("fw01", texts[(i + t) % 3]);
    }));
  senders.clear();
  // No occurrence was opened while an earlier one was still open.
  EXPECT_EQ(db.scalar("SELECT count(*) FROM quelm_error_happen a JOIN quelm_error_happen b ON b.happen_id > a.happen_id WHERE "
                      "b.happen_timestamp < coalesce(a.happen_time_acquitte, 'infinity')"),
      "0");
  EXPECT_EQ(record(id).substr(0, record(id).find('|')), memory("fw01"));
}

TEST_F(WorkersTest, CleanerClosesStaleErrorsOnceRefreshesServicesAndStopsPromptly)
{
  const std::string stale = addService("stale", "true,false,true,false"), young = addService("young", "true,false,true,false");
  addService("marked");
  // Both CRITICAL for ten minutes; the young one's errors last thirty.
  db.exec("UPDATE quelm_services SET service_previous_state=2, service_time_added=now() - interval '1 hour'; "
          "INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, happen_timestamp) SELECT 2, "
          "service_device_id, service_id, now() - interval '10 minute' FROM quelm_services WHERE service_name <> 'marked'; "
          "INSERT INTO quelm_device_advance_config (adv_device_id, adv_param) SELECT device_id, '{\"during_alert\":\"30\"}' "
          "FROM quelm_device WHERE device_name='young'; "
          "UPDATE quelm_services SET service_delete=true WHERE service_name='marked'");
  load();
  // Added after start-up, pending, as the product adds services.
  const std::string fresh = addService("fresh"), staleId = openId(stale);
  db.exec("UPDATE quelm_services SET service_previous_state=4, service_last_stdout=NULL WHERE service_name='fresh'");
  Cleaner cleaner(context, acknowledgements);
  auto runner = std::async(std::launch::async, [&] { cleaner.run(); });
  // The first pass runs at once; a stop ends the wait for the next.
  EXPECT_TRUE(waitFor(20, [&] { return record(stale).back() == '1'; }));
  cleaner.stop();
  EXPECT_EQ(runner.wait_for(2s), std::future_status::ready);
  cleaner.closeStaleErrors();
  EXPECT_EQ(record(stale), "0 OK: syslog daemon has acquit this error|2:1");
  EXPECT_EQ(memory("stale"), "0 OK: syslog daemon has acquit this error");
  EXPECT_EQ(alerts(), "--error " + staleId + "\n");
  EXPECT_EQ(record(young), "2 loaded|2:0");
  cleaner.refreshServices();
  EXPECT_EQ(db.scalar("SELECT string_agg(service_name, ' ' ORDER BY service_id) FROM quelm_services"), "stale young fresh");
  EXPECT_EQ(record(fresh), "0 New service added|");
  EXPECT_TRUE(registry.getService("fresh"));
}

TEST_F(WorkersOutageTest, OutagesLoseNothingAndAStopDuringOneGivesTheResultUp)
{
  const std::string id = addService("fw01", "true,true,true,true");
  load();
  ASSERT_TRUE(cluster->control("halt"));
  auto held = std::async(std::launch::async, [&] { return send("fw01", "link CRIT"); });
  EXPECT_EQ(held.wait_for(2s), std::future_status::timeout) << "gave up while the database was away";
  ASSERT_TRUE(cluster->control("resume"));
  EXPECT_EQ(held.get(), Outcome::stored);
  EXPECT_EQ(record(id), "2 CRITICAL: link CRIT\n|2:0");
  EXPECT_EQ(alerts(), "--error " + openId(id) + "\n");

  auto restarts = std::async(std::launch::async, [&] {
    cluster->control("restart");
    std::this_thread::sleep_for(1s);
    cluster->control("restart");
  });
  const char* texts[] = { "fine", "WARN", "CRIT", "fine" };
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(send("fw01", texts[i % 4]), Outcome::stored) << i;
    std::this_thread::sleep_for(50ms);
  }
  restarts.get();
  // Each WARNING and CRITICAL opened and closed once; one alert per change.
  EXPECT_EQ(db.scalar("SELECT count(*) || ' ' || sum(happen_acquitte) FROM quelm_error_happen"), "21 21");
  const std::string lines = alerts();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1 + 1 + 3 * 10);

  const std::string before = memory("fw01");
  LogCapture capture;
  ASSERT_TRUE(cluster->control("halt"));
  auto stopped = std::async(std::launch::async, [&] { return send("fw01", "CRIT"); });
  std::this_thread::sleep_for(1s);
  stopRequested = true;
  const bool gaveUp = stopped.wait_for(5s) == std::future_status::ready;
  ASSERT_TRUE(cluster->control("resume"));
  ASSERT_TRUE(gaveUp);
  EXPECT_EQ(stopped.get(), Outcome::shutdown);
  EXPECT_TRUE(capture.contains("#ERR#7#notification from fw01 not stored, the Receiver is stopping: " + id + " fw01 state 2: "))
      << capture.text();
  EXPECT_EQ(memory("fw01"), before);
  EXPECT_EQ(record(id).substr(0, before.size() + 1), before + "|");
}

} // namespace
