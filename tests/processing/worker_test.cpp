#include "processing/workers.h"

#include "intake/notification.h"
#include "execution/plugin_runner.h"
#include "processing/state_records.h"
#include "tests/processing/processing_fixture.h"
#include "tests/support/log_capture.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

Outcome sendTo(const std::string& host, const std::string& text)
{
  return handleNotification(notification { host, "{\"fromhost\":\"" + host + "\",\"msg\":\"" + text + "\"}" }, 7);
}

class WorkerTest : public ProcessingFixture {
protected:
  Outcome send(const std::string& host, const std::string& text) { return sendTo(host, text); }
};

TEST_F(WorkerTest, TheRoadOfAServiceThroughItsStates)
{
  // Alerts on CRITICAL and on the return to OK, not on WARNING.
  int id = addService("fw01", "true,false,true,false");
  loadServices();

  send("fw01", "link CRIT down");
  EXPECT_EQ(state(id), "2");
  EXPECT_NE(output(id).find("CRITICAL: {\"fromhost\":\"fw01\""), std::string::npos) << output(id);
  EXPECT_EQ(occurrences(id), "2:0");
  std::string critical = openOccurrenceId(id);
  EXPECT_EQ(alertLines(), "--error " + critical + "\n");
  EXPECT_EQ(db.scalar("SELECT happen_message FROM quelm_error_happen WHERE happen_id=" + critical), output(id));

  // The same state again: the row only.
  send("fw01", "still CRIT");
  EXPECT_NE(output(id).find("still CRIT"), std::string::npos);
  EXPECT_EQ(occurrences(id), "2:0");
  EXPECT_EQ(alertLines(), "--error " + critical + "\n");

  // CRITICAL to WARNING: the old occurrence closes, a new one opens, no alert.
  send("fw01", "WARN high");
  EXPECT_EQ(state(id), "1");
  EXPECT_EQ(occurrences(id), "2:1 1:0");
  EXPECT_EQ(alertLines(), "--error " + critical + "\n");

  // Back to OK without an alert (WARNING has no response) but closed.
  send("fw01", "fine");
  EXPECT_EQ(state(id), "0");
  EXPECT_EQ(occurrences(id), "2:1 1:1");
  EXPECT_EQ(alertLines(), "--error " + critical + "\n");

  // OK to CRITICAL to OK: the alert on return names the open occurrence.
  send("fw01", "CRIT again");
  std::string second = openOccurrenceId(id);
  send("fw01", "recovered");
  EXPECT_EQ(alertLines(), "--error " + critical + "\n--error " + second + "\n--error " + second + "\n");
  EXPECT_EQ(occurrences(id), "2:1 1:1 2:1");
  EXPECT_EQ(db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_time_acquitte IS NULL AND "
                      "happen_acquitte=1"),
      "0");
}

TEST_F(WorkerTest, ReturnToOkWithoutResponseLeavesTheOccurrenceOpen)
{
  int id = addService("sw01", "false,false,true,false");
  loadServices();
  send("sw01", "CRIT");
  send("sw01", "ok now");
  EXPECT_EQ(state(id), "0");
  EXPECT_EQ(occurrences(id), "2:0");
  // One alert for the CRITICAL state only.
  std::string lines = alertLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), '\n'), 1);
}

TEST_F(WorkerTest, StateFourIsStoredAndNothingElse)
{
  int id = addService("ap01", "true,true,true,true");
  loadServices();
  send("ap01", "PENDING");
  EXPECT_EQ(state(id), "4");
  EXPECT_EQ(output(id), "pending\n");
  EXPECT_EQ(occurrences(id), "");
  EXPECT_EQ(alertLines(), "");
}

TEST_F(WorkerTest, UnknownHostWritesOnlyTheSearchLine)
{
  int id = addService("known", "true,true,true,true");
  loadServices();
  LogCapture capture;
  EXPECT_EQ(send("stranger", "CRIT"), Outcome::ignored);
  EXPECT_EQ(capture.text(), "search stranger\n");
  EXPECT_EQ(state(id), "0");
  EXPECT_EQ(output(id), "loaded");
}

TEST_F(WorkerTest, ThreeFailedRunsBecomeUnknownInRowMemoryAndOccurrence)
{
  int id = addService("silent", "false,false,false,true");
  loadServices();
  LogCapture capture;
  send("silent", "SILENT");
  std::string log = capture.text();
  size_t retries = 0;
  for (size_t at = log.find("#ERR#Excute failed retrysvc-silent " + std::to_string(id) + " DAEMON: the plugin does not return anything on the stdout");
       at != std::string::npos; at = log.find("#ERR#Excute failed retry", at + 1))
    ++retries;
  EXPECT_EQ(retries, 3u) << log;
  EXPECT_EQ(state(id), "3");
  EXPECT_EQ(output(id), "DAEMON: the plugin does not return anything on the stdout");
  EXPECT_EQ(occurrences(id), "3:0");
  EXPECT_EQ(alertLines(), "--error " + openOccurrenceId(id) + "\n");
}

TEST_F(WorkerTest, FailedProcessCreationStillStoresUnknown)
{
  int id = addService("nofds", "true,false,false,false");
  loadServices();
  std::shared_ptr<SyslogService> svc = ListTrapService.getService("nofds");
  ASSERT_TRUE(svc);
  ASSERT_EQ(svc->getReturnCode(), 0);
  // No descriptor left: every pipe creation fails and leaves returnCode
  // untouched, yet the stored state, the memory and the occurrence agree.
  // The limit stays above the highest open descriptor so that the database
  // socket keeps working; the holes below it are filled first.
  int highest = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
    highest = std::max(highest, std::stoi(entry.path().filename().string()));
  std::vector<int> fillers;
  for (;;) {
    int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
      break;
    if (fd > highest) {
      close(fd);
      break;
    }
    fillers.push_back(fd);
  }
  struct rlimit saved;
  getrlimit(RLIMIT_NOFILE, &saved);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(highest) + 1;
  {
    LogCapture capture;
    setrlimit(RLIMIT_NOFILE, &tight);
    send("nofds", "anything");
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_NE(capture.text().find("Error open pipe\npath:" + plugin + " "), std::string::npos) << capture.text();
    EXPECT_EQ(capture.text().find("failed:"), std::string::npos) << capture.text();
  }
  for (int fd : fillers)
    close(fd);
  EXPECT_EQ(state(id), "3");
  EXPECT_EQ(svc->getReturnCode(), 3);
  EXPECT_EQ(occurrences(id), "3:0");
  // The next OK result is a change and closes the UNKNOWN occurrence.
  send("nofds", "fine");
  EXPECT_EQ(state(id), "0");
  EXPECT_EQ(occurrences(id), "3:1");
}

TEST_F(WorkerTest, HungPluginCostsAtMostThreeTimeOutsAndTheWorkerGoesOn)
{
  int hung = addService("hung", "false,false,false,false");
  int next = addService("next", "false,false,false,false");
  loadServices();
  setPluginTimeout(1);
  LogCapture capture;
  auto start = std::chrono::steady_clock::now();
  send("hung", "HANG");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  setPluginTimeout(0);
  // Three runs of one second each, a short grace each, a second's pause
  // after each failure.
  EXPECT_LT(seconds, 12.0);
  EXPECT_GE(seconds, 5.0);
  std::string log = capture.text();
  size_t retries = 0;
  for (size_t at = log.find("#ERR#Excute failed retrysvc-hung"); at != std::string::npos;
       at = log.find("#ERR#Excute failed retrysvc-hung", at + 1))
    ++retries;
  EXPECT_EQ(retries, 3u) << log;
  EXPECT_NE(log.find("timeout"), std::string::npos) << log;
  EXPECT_EQ(state(hung), "3");
  send("next", "CRIT");
  EXPECT_EQ(state(next), "2");
  // The sleeping grandchild was stopped with its process group.
  EXPECT_EQ(db.scalar("SELECT 1"), "1");
}

TEST_F(WorkerTest, RejectedStateUpdateIsLoggedAndOpensNothing)
{
  int id = addService("locked", "true,true,true,true");
  loadServices();
  db.exec("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN RAISE EXCEPTION 'row is locked'; END $$ "
          "LANGUAGE plpgsql");
  db.exec("CREATE TRIGGER refuse BEFORE UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION refuse()");
  LogCapture capture;
  EXPECT_EQ(send("locked", "CRIT"), Outcome::rejected);
  EXPECT_NE(capture.text().find("#ERR#7#Update service state failed: " + std::to_string(id)
                + " svc-locked Exec prepareRequest failed:  ERROR:  row is locked"),
      std::string::npos)
      << capture.text();
  EXPECT_EQ(occurrences(id), "");
  EXPECT_EQ(alertLines(), "");
  // The memory kept the stored state: once the row takes updates again, the
  // next CRITICAL is a change, with its occurrence and alert.
  EXPECT_EQ(ListTrapService.getService("locked")->getReturnCode(), 0);
  EXPECT_EQ(ListTrapService.getService("locked")->lastStdout, "loaded");
  db.exec("DROP TRIGGER refuse ON quelm_services");
  EXPECT_EQ(send("locked", "CRIT"), Outcome::stored);
  EXPECT_EQ(state(id), "2");
  EXPECT_EQ(occurrences(id), "2:0");
  EXPECT_EQ(alertLines(), "--error " + openOccurrenceId(id) + "\n");
}

TEST_F(WorkerTest, ConcurrentNotificationsForOneHostStayConsistent)
{
  int id = addService("busy", "true,false,false,false");
  loadServices();
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 6; ++i)
        send("busy", (i + t) % 3 == 0 ? "CRIT" : ((i + t) % 3 == 1 ? "WARN" : "ok"));
    });
  for (auto& thread : threads)
    thread.join();
  std::string open = db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_acquitte=0 AND "
                               "happen_service_id="
      + std::to_string(id));
  std::string finalState = state(id);
  // The row and the open occurrence tell the same story.
  if (finalState == "0")
    EXPECT_EQ(open, "0");
  else {
    EXPECT_EQ(open, "1");
    EXPECT_EQ(db.scalar("SELECT happen_error_id FROM quelm_error_happen WHERE happen_acquitte=0 AND "
                        "happen_service_id="
                  + std::to_string(id)),
        finalState);
  }
  EXPECT_EQ(std::to_string(ListTrapService.getService("busy")->getReturnCode()), finalState);
}

TEST_F(WorkerTest, StateRecordOperations)
{
  int id = addService("rec", "false,false,false,false");
  loadServices();
  std::shared_ptr<SyslogService> svc = ListTrapService.getService("rec");
  EXPECT_EQ(openOccurrenceId(*svc, *pool), std::nullopt);
  EXPECT_EQ(errorIdOf(5), "5");
  EXPECT_EQ(errorIdOf(4), "");
  EXPECT_EQ(errorIdOf(0), "");

  // Occurrences of other kinds and devices close together.
  db.exec("INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id) VALUES (1, 999, "
      + std::to_string(id) + "), (2, " + std::to_string(svc->deviceId) + ", " + std::to_string(id) + ")");
  {
    LogCapture capture;
    closeOccurrences(*svc, 0, *pool);
    EXPECT_EQ(occurrences(id), "1:0 2:0");
  }
  EXPECT_NE(openOccurrenceId(*svc, *pool), std::nullopt);
  closeOccurrences(*svc, 2, *pool);
  EXPECT_EQ(occurrences(id), "1:1 2:1");

  LogCapture capture;
  EXPECT_FALSE(openOccurrence(*svc, 4, "text", *pool));
  EXPECT_NE(capture.text().find("#ERR#insert error failed:  Exec prepareRequest failed:  ERROR:  invalid input syntax for type integer"),
      std::string::npos)
      << capture.text();
  EXPECT_EQ(occurrences(id), "1:1 2:1");

  updateService(*svc, 2, "direct", *pool);
  EXPECT_EQ(state(id), "2");
  EXPECT_EQ(output(id), "direct");
}

class WorkerOutageTest : public ProcessingFixture {
protected:
  WorkerOutageTest()
      : ProcessingFixture(true)
  {
  }
  void TearDown() override
  {
    stopRequested = 0;
    ProcessingFixture::TearDown();
  }
};

size_t count(const std::string& text, const std::string& part)
{
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++found;
  return found;
}

TEST_F(WorkerOutageTest, AResultHeldThroughAnOutageIsStoredOnceWithItsOccurrenceAndAlert)
{
  int id = addService("fw01", "true,true,true,true");
  loadServices();
  LogCapture capture;
  ASSERT_TRUE(cluster->control("halt"));
  std::atomic<int> outcome { -1 };
  std::thread worker([&] { outcome = static_cast<int>(sendTo("fw01", "link CRIT down")); });
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(outcome, -1) << "the worker gave up while the database was away";
  ASSERT_TRUE(cluster->control("resume"));
  worker.join();
  EXPECT_EQ(outcome, static_cast<int>(Outcome::stored));
  EXPECT_EQ(state(id), "2");
  EXPECT_EQ(occurrences(id), "2:0");
  EXPECT_EQ(alertLines(), "--error " + openOccurrenceId(id) + "\n");
  EXPECT_EQ(ListTrapService.getService("fw01")->getReturnCode(), 2);
  std::string log = capture.text();
  // A line per connection when it is lost and when it is back, none per
  // attempt, and nothing refused.
  EXPECT_GE(count(log, "#ERR#database connection lost, reconnecting: "), 1u) << log;
  EXPECT_LE(count(log, "#ERR#database connection lost, reconnecting: "), 2u) << log;
  EXPECT_EQ(count(log, "#ERR#database connection lost"), count(log, "#INFO#database connection restored")) << log;
  EXPECT_EQ(log.find("failed"), std::string::npos) << log;

  // Two restarts a second apart under a stream of changes: each is stored.
  std::thread restarts([&] {
    cluster->control("restart");
    std::this_thread::sleep_for(std::chrono::seconds(1));
    cluster->control("restart");
  });
  const char* texts[] = { "fine", "WARN", "CRIT", "fine" };
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(sendTo("fw01", texts[i % 4]), Outcome::stored) << i;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  restarts.join();
  EXPECT_EQ(state(id), "0");
  EXPECT_EQ(db.scalar("SELECT count(*) FROM quelm_error_happen WHERE happen_acquitte=0"), "0");
  // Ten rounds of WARNING and CRITICAL, each opened exactly once.
  EXPECT_EQ(db.scalar("SELECT count(*) FROM quelm_error_happen"), "21");
}

TEST_F(WorkerOutageTest, AStopDuringAnOutageGivesTheResultUpAndKeepsTheMemory)
{
  int id = addService("fw01", "true,true,true,true");
  loadServices();
  LogCapture capture;
  ASSERT_TRUE(cluster->control("halt"));
  std::atomic<int> outcome { -1 };
  std::thread worker([&] { outcome = static_cast<int>(sendTo("fw01", "link CRIT down")); });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  stopRequested = 1;
  worker.join();
  EXPECT_EQ(outcome, static_cast<int>(Outcome::shutdown));
  EXPECT_EQ(ListTrapService.getService("fw01")->getReturnCode(), 0);
  EXPECT_NE(capture.text().find("#ERR#7#notification from fw01 not stored, the Receiver is stopping: "
                + std::to_string(id) + " svc-fw01 state 2"),
      std::string::npos)
      << capture.text();
  ASSERT_TRUE(cluster->control("resume"));
  EXPECT_EQ(state(id), "0");
  EXPECT_EQ(occurrences(id), "");
}

} // namespace
