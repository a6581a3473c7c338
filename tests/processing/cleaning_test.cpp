#include "processing/cleaning.h"

#include "core/log.h"

#include "tests/processing/processing_fixture.h"
#include "tests/support/log_capture.h"

namespace {

class CleaningTest : public ProcessingFixture {
protected:
  // An open occurrence of the given error opened the given minutes ago.
  std::string seedOccurrence(int serviceId, int errorId, int minutesAgo)
  {
    return db.scalar("INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, "
                     "happen_timestamp, happen_message) SELECT "
        + std::to_string(errorId) + ", service_device_id, service_id, now() - interval '" + std::to_string(minutesAgo)
        + " minute', 'seeded' FROM quelm_services WHERE service_id=" + std::to_string(serviceId)
        + " RETURNING happen_id");
  }
  void setStoredState(int serviceId, int value)
  {
    db.exec("UPDATE quelm_services SET service_previous_state=" + std::to_string(value)
        + " WHERE service_id=" + std::to_string(serviceId));
  }
};

TEST_F(CleaningTest, StaleOccurrenceIsClosedWithOneAlertAndYoungOnesStay)
{
  int stale = addService("stale", "true,false,true,false");
  int young = addService("young", "true,false,true,false", "{\"during_alert\":\"30\"}");
  setStoredState(stale, 2);
  setStoredState(young, 2);
  std::string staleId = seedOccurrence(stale, 2, 10);
  seedOccurrence(young, 2, 10);
  loadServices();

  Cleaner cleaner(*pool);
  ASSERT_TRUE(cleaner.prepareStatements());
  debug = 1;
  LogCapture capture;
  cleaner.closeStaleErrors();
  debug = 0;

  EXPECT_EQ(state(stale), "0");
  EXPECT_EQ(output(stale), "OK: syslog daemon has acquit this error");
  EXPECT_EQ(occurrences(stale), "2:1");
  EXPECT_EQ(alertLines(), "--error " + staleId + "\n");
  EXPECT_EQ(ListTrapService.getService("stale")->getReturnCode(), 0);

  EXPECT_EQ(state(young), "2");
  EXPECT_EQ(occurrences(young), "2:0");
  EXPECT_NE(capture.text().find("#DEBUG#EXEC SQL " + std::to_string(young) + " 30 minute\n"), std::string::npos);
  EXPECT_NE(capture.text().find("#DEBUG#COUNT0\n"), std::string::npos);
  EXPECT_NE(capture.text().find("#DEBUG#th_clean#svc-stale acquitte l'erreur==>OK \n"), std::string::npos);
}

TEST_F(CleaningTest, WithoutResponseOkNoAlertAndAnOkServiceIsRestoredEveryPass)
{
  int silent = addService("silent", "false,false,true,false");
  int already = addService("already", "true,true,true,true");
  setStoredState(silent, 2);
  seedOccurrence(silent, 2, 10);
  seedOccurrence(already, 1, 10);
  loadServices();
  Cleaner cleaner(*pool);
  ASSERT_TRUE(cleaner.prepareStatements());
  cleaner.closeStaleErrors();
  EXPECT_EQ(occurrences(silent), "2:1");
  EXPECT_EQ(state(silent), "0");
  // Previous state OK: stored again, but closeOccurrences closes nothing.
  EXPECT_EQ(occurrences(already), "1:0");
  EXPECT_EQ(output(already), "OK: syslog daemon has acquit this error");
  db.exec("UPDATE quelm_services SET service_last_stdout='changed' WHERE service_id=" + std::to_string(already));
  cleaner.closeStaleErrors();
  EXPECT_EQ(output(already), "OK: syslog daemon has acquit this error");
  EXPECT_EQ(alertLines(), "");
}

TEST_F(CleaningTest, RefreshDeletesLoadsAndSettlesNewServices)
{
  int kept = addService("kept");
  int marked = addService("marked");
  int other = addService("snmp-only", "false,false,false,false", "", 2);
  db.exec("UPDATE quelm_services SET service_delete=true WHERE service_id IN (" + std::to_string(marked) + ","
      + std::to_string(other) + ")");
  db.exec("UPDATE quelm_services SET service_time_added = now() - interval '1 hour'");
  loadServices();
  ASSERT_TRUE(ListTrapService.getService("kept"));
  EXPECT_FALSE(ListTrapService.getService("fresh"));

  // A service added now, in the pending state the product gives it.
  int fresh = addService("fresh");
  db.exec("UPDATE quelm_services SET service_previous_state=4, service_last_stdout=NULL WHERE service_id="
      + std::to_string(fresh));

  Cleaner cleaner(*pool);
  ASSERT_TRUE(cleaner.prepareStatements());
  cleaner.refreshServices();
  EXPECT_EQ(db.scalar("SELECT count(*) FROM quelm_services WHERE service_id=" + std::to_string(marked)), "0");
  // Only syslog services are deleted.
  EXPECT_EQ(db.scalar("SELECT count(*) FROM quelm_services WHERE service_id=" + std::to_string(other)), "1");
  EXPECT_EQ(state(kept), "0");
  EXPECT_EQ(state(fresh), "0");
  EXPECT_EQ(output(fresh), "New service added");
  std::shared_ptr<SyslogService> loaded = ListTrapService.getService("fresh");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->serviceId, fresh);
  // The in-memory copy of a deleted service stays loaded.
  EXPECT_TRUE(ListTrapService.getService("marked"));
}

TEST_F(CleaningTest, FailuresAreLoggedAndThePassGoesOn)
{
  int first = addService("first", "true,true,true,true");
  int second = addService("second", "true,true,true,true");
  setStoredState(first, 2);
  setStoredState(second, 2);
  seedOccurrence(first, 2, 10);
  seedOccurrence(second, 2, 10);
  loadServices();
  // The alerting program of the first service cannot be started at all.
  ListTrapService.getService("first")->programPath = dir.path() + "/missing-alerter";
  // An interval text the database refuses for the second one.
  for (auto& [device, entry] : error_during)
    if (entry.host == "second")
      entry.interval = "not an interval";

  Cleaner cleaner(*pool);
  ASSERT_TRUE(cleaner.prepareStatements());
  LogCapture capture;
  cleaner.closeStaleErrors();
  EXPECT_EQ(occurrences(first), "2:1");
  EXPECT_NE(capture.text().find("#ERR#th_clean#service " + std::to_string(second)), std::string::npos)
      << capture.text();
  EXPECT_EQ(occurrences(second), "2:0");

  // Statements that cannot be prepared are retried on the next call.
  db.exec("ALTER TABLE quelm_services RENAME COLUMN service_delete TO service_gone");
  PgPool fresh(db.connectionString(), 1);
  Cleaner broken(fresh);
  EXPECT_FALSE(broken.prepareStatements());
  EXPECT_NE(capture.text().find("#ERR#th_clean#prepare failed:  "), std::string::npos);
  db.exec("ALTER TABLE quelm_services RENAME COLUMN service_gone TO service_delete");
  EXPECT_TRUE(broken.prepareStatements());
}

} // namespace
