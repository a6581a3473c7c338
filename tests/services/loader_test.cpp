#include "services/service_loader.h"

#include "core/log.h"
#include "database/postgresql_exception.h"

#include "tests/services/product_rows.h"
#include "tests/support/log_capture.h"

#include <gtest/gtest.h>

#include <sys/time.h>

#include <sstream>

namespace {

int countOf(const std::string& text, const std::string& part)
{
  int count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

// Loads into fresh globals with the debug trace on; restores both after.
class LoaderTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    ListTrapService.clear();
    error_during.clear();
    debug = 1;
  }
  void TearDown() override
  {
    debug = 0;
    ListTrapService.clear();
    error_during.clear();
  }

  TestDatabase db;
  ProductRows rows { db };
};

TEST_F(LoaderTest, FillsTheRecordFromItsRow)
{
  std::string plugin = rows.plugin("/opt/plugins/check_fw");
  std::string device = rows.device("fw01", "device_ip_addr", "3232235777");
  rows.advanced(device, "{\"host\":\"fw01.example\",\"during_alert\":\"15\"}");
  std::string serviceId = rows.service(plugin, device, "-H $IP -m 'a b'", "firewall");
  std::string program = db.scalar("INSERT INTO quelm_program (program_path) VALUES ('/opt/alert') RETURNING program_id");
  db.exec("INSERT INTO quelm_service_response_program VALUES (" + serviceId + ", " + program
      + ", true, false, true, false, '--id $ERROR \"to ops\"')");
  db.exec("UPDATE quelm_services SET service_previous_state = 2, service_last_stdout = 'disk full', "
          "service_interval_time = 7 WHERE service_id = "
      + serviceId);

  PgPool pool(db.connectionString(), 1);
  prepareServiceQuery(pool);
  timeval before {};
  gettimeofday(&before, nullptr);
  LogCapture log;
  load_script(&pool, "reloadService", true);

  std::shared_ptr<SyslogService> loaded = ListTrapService.getService("fw01.example");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->pluginId, std::stoi(plugin));
  EXPECT_EQ(loaded->serviceName, "firewall");
  EXPECT_EQ(loaded->pluginPath, "/opt/plugins/check_fw");
  EXPECT_EQ(loaded->deviceId, std::stoll(device));
  EXPECT_EQ(loaded->serviceId, std::stoll(serviceId));
  EXPECT_EQ(loaded->serviceIdText, serviceId);
  EXPECT_EQ(loaded->programPath, "/opt/alert");
  EXPECT_EQ(loaded->lastStdout, "disk full");
  EXPECT_EQ(loaded->getReturnCode(), 2);
  EXPECT_EQ(loaded->storedState, 2);
  EXPECT_TRUE(loaded->responseOk);
  EXPECT_FALSE(loaded->responseWarning);
  EXPECT_TRUE(loaded->responseCritical);
  EXPECT_FALSE(loaded->responseUnknown);
  EXPECT_EQ(loaded->alertingArguments, (std::vector<std::string> { "--id", "$ERROR", "to ops" }));
  EXPECT_EQ(loaded->parameter, "-H 192.168.1.1 -m 'a b'");
  EXPECT_EQ(loaded->arguments, (std::vector<std::string> { "-H", "192.168.1.1", "-m", "a b" }));
  EXPECT_EQ(loaded->intervalExecTime, 7);
  EXPECT_FLOAT_EQ(loaded->execWeight, 42857.0f);
  EXPECT_GE(loaded->nextExecTime.tv_sec, before.tv_sec);

  const AutoAcknowledgement& entry = error_during.at(std::stoi(device));
  EXPECT_EQ(entry.host, "fw01.example");
  EXPECT_EQ(entry.interval, "15 minute");
  EXPECT_EQ(entry.serviceId, serviceId);

  EXPECT_TRUE(log.contains("#DEBUG#Chargement dans la queue " + serviceId + "\n"));
  EXPECT_TRUE(log.contains("#DEBUG##LAOD ID firewall#" + serviceId + "#\n"));
  EXPECT_TRUE(log.contains("#DEBUG#Chargement host preparedfw01\n"));
  EXPECT_TRUE(log.contains("#DEBUG#Chargement host fw01.example\n"));
  EXPECT_TRUE(log.contains("#DEBUG#Chargement success\n"));
  EXPECT_TRUE(log.contains("#INFO#script reload successful\n"));
}

TEST_F(LoaderTest, HostAndDelayDefaultsAndNullColumns)
{
  struct HostCase {
    std::string deviceName, advParam, host, interval;
  };
  const std::vector<HostCase> cases = {
    { "no-adv-row", "", "no-adv-row", "5 minute" },
    { "no-host-key", "{\"during_alert\":\"30\"}", "no-host-key", "30 minute" },
    { "bad-host-value", "{\"host\":\"daemonbadhost\"}", "bad-host-value", "5 minute" },
    { "numeric-delay", "{\"host\":\"h-num\",\"during_alert\":45}", "h-num", "45 minute" },
    { "not-json", "not json at all", "not-json", "5 minute" },
    { "empty-text", "", "empty-text", "5 minute" },
  };
  std::string plugin = rows.plugin();
  std::map<std::string, std::string> devices;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    std::string device = rows.device(cases[i].deviceName);
    if (i != 0)
      rows.advanced(device, cases[i].advParam);
    rows.service(plugin, device, "");
    devices[cases[i].deviceName] = device;
  }
  // Not a syslog plugin: never loaded.
  rows.service(rows.plugin("/opt/poll", "snmp"), rows.device("polled"), "");

  PgPool pool(db.connectionString(), 2);
  prepareServiceQuery(pool);
  LogCapture log;
  load_script(&pool, "reloadService", false);

  EXPECT_EQ(ListTrapService.size(), static_cast<int>(cases.size()));
  EXPECT_FALSE(ListTrapService.getService("polled"));
  for (const HostCase& c : cases) {
    std::shared_ptr<SyslogService> loaded = ListTrapService.getService(c.host);
    ASSERT_TRUE(loaded) << c.deviceName;
    EXPECT_EQ(error_during.at(std::stoi(devices[c.deviceName])).host, c.host);
    EXPECT_EQ(error_during.at(std::stoi(devices[c.deviceName])).interval, c.interval);
    // No response program and never run: NULL columns read as empty.
    EXPECT_EQ(loaded->programPath, "") << c.deviceName;
    EXPECT_EQ(loaded->lastStdout, "") << c.deviceName;
    EXPECT_TRUE(loaded->alertingArguments.empty());
    EXPECT_FALSE(loaded->responseOk || loaded->responseWarning || loaded->responseCritical
        || loaded->responseUnknown);
    EXPECT_EQ(loaded->getReturnCode(), 4);
  }
  EXPECT_FALSE(log.contains("Failed to initial load service"));
}

TEST_F(LoaderTest, LaterRowsOfAHostOrADeviceWin)
{
  std::string plugin = rows.plugin();
  std::string first = rows.device("a");
  std::string second = rows.device("b");
  rows.advanced(first, "{\"host\":\"shared\"}");
  rows.advanced(second, "{\"host\":\"shared\"}");
  rows.service(plugin, first, "", "one");
  rows.service(plugin, second, "", "two");
  rows.service(plugin, second, "", "three");

  PgPool pool(db.connectionString(), 1);
  prepareServiceQuery(pool);
  // The query has no order: the result's own order decides who comes last.
  PgResult result = pool.executePrepared("reloadService");
  ASSERT_EQ(PQntuples(result.get()), 3);
  std::string lastName = pgValue(result, 2, 1);
  std::map<std::string, std::string> lastOfDevice;
  for (int row = 0; row < 3; ++row)
    lastOfDevice[pgValue(result, row, 5)] = pgValue(result, row, 9);

  LogCapture log;
  load_script(&pool, "reloadService", true);
  EXPECT_EQ(ListTrapService.size(), 1);
  EXPECT_EQ(ListTrapService.getService("shared")->serviceName, lastName);
  EXPECT_EQ(countOf(log.text(), "#DEBUG#Chargement success\n"), 3);
  EXPECT_EQ(error_during.size(), 2u);
  EXPECT_EQ(error_during.at(std::stoi(second)).serviceId, lastOfDevice[second]);
  EXPECT_EQ(error_during.at(std::stoi(first)).serviceId, lastOfDevice[first]);
}

TEST_F(LoaderTest, RowsThatCannotBeLoadedAreSkipped)
{
  const std::vector<std::string> badParams = {
    "[1,2]",
    "42",
    "\"text\"",
    "{\"host\":{\"name\":\"x\"}}",
    "{\"host\":[\"x\"]}",
    "{\"during_alert\":{}}",
    "{\"during_alert\":[5]}",
    std::string(5000, '[') + std::string(5000, ']'),
  };
  std::string plugin = rows.plugin();
  std::vector<std::string> badIds;
  for (std::size_t i = 0; i < badParams.size(); ++i) {
    std::string device = rows.device("bad" + std::to_string(i));
    rows.advanced(device, badParams[i]);
    badIds.push_back(rows.service(plugin, device, "$IP"));
  }
  std::string good = rows.device("good", "device_ip_addr", "1");
  rows.advanced(good, "{\"host\":\"good-host\"}");
  rows.service(plugin, good, "-H $IP");
  // Values far beyond their types load as the conversions allow.
  std::string huge = rows.device("huge", "device_ip_addr, device_snmp_version", "9223372036854775807, '99999999999'");
  db.exec("UPDATE quelm_services SET service_interval_time = 2147483647 WHERE service_device_id = " + good);
  rows.service(plugin, huge, "$IP $SNMP_VERSION" + std::string(100000, 'x'));

  PgPool pool(db.connectionString(), 1);
  prepareServiceQuery(pool);
  LogCapture log;
  load_script(&pool, "reloadService", true);

  EXPECT_EQ(ListTrapService.size(), 2);
  ASSERT_TRUE(ListTrapService.getService("good-host"));
  EXPECT_EQ(ListTrapService.getService("good-host")->parameter, "-H 0.0.0.1");
  EXPECT_FLOAT_EQ(ListTrapService.getService("good-host")->execWeight, 0.0f);
  ASSERT_TRUE(ListTrapService.getService("huge"));
  EXPECT_EQ(ListTrapService.getService("huge")->arguments.at(0), "255.255.255.255");
  EXPECT_EQ(error_during.size(), 2u);
  for (const std::string& id : badIds)
    EXPECT_EQ(countOf(log.text(), "#ERR#Failed to initial load service: " + id), 1) << id;
  EXPECT_TRUE(log.contains("#INFO#script reload successful\n"));
}

TEST_F(LoaderTest, OddlyTypedColumnsAndFailingQueries)
{
  // The loader reads whatever the named statement returns: a hand-made row
  // with "true" in a response column, NULLs everywhere else it can, and a
  // result with too few columns.
  std::ostringstream row;
  row << "SELECT 3, 'odd', '/p', '0', '-x $TOLVSN', 12, NULL, NULL, NULL, 99, NULL, 'true', 'T', 't', NULL, 'dev',"
      << " NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, 'yes', NULL, NULL, NULL, NULL, NULL";
  PgPool pool(db.connectionString(), 1);
  pool.prepareRequest("oddRow", row.str());
  pool.prepareRequest("shortRow", "SELECT 1, 2, 3");
  pool.prepareRequest("noRow", "SELECT 1 WHERE false");

  LogCapture log;
  load_script(&pool, "oddRow", true);
  std::shared_ptr<SyslogService> loaded = ListTrapService.getService("dev");
  ASSERT_TRUE(loaded);
  EXPECT_FALSE(loaded->responseUnknown);
  EXPECT_FALSE(loaded->responseWarning);
  EXPECT_TRUE(loaded->responseCritical);
  EXPECT_FALSE(loaded->responseOk);
  EXPECT_EQ(loaded->arguments, (std::vector<std::string> { "-x" }));
  EXPECT_EQ(loaded->intervalExecTime, 0);
  EXPECT_FLOAT_EQ(loaded->execWeight, 1.0f);

  load_script(&pool, "shortRow", true);
  EXPECT_TRUE(log.contains("#ERR#Failed to initial load service: "));
  EXPECT_EQ(ListTrapService.size(), 1);

  std::string before = log.text();
  load_script(&pool, "noRow", true);
  std::string after = log.text().substr(before.size());
  EXPECT_EQ(countOf(after, "Chargement"), 0);
  EXPECT_EQ(countOf(after, "#INFO#script reload successful\n"), 1);

  EXPECT_THROW(load_script(&pool, "neverPrepared", true), DatabaseError);
  EXPECT_EQ(ListTrapService.size(), 1);
}

TEST_F(LoaderTest, StartupPreparesBothQueriesAndLoads)
{
  std::string plugin = rows.plugin();
  rows.service(plugin, rows.device("recent"), "");
  std::string old = rows.service(plugin, rows.device("old"), "");
  db.exec("UPDATE quelm_services SET service_time_added = now() - interval '1 hour' WHERE service_id = " + old);

  PgPool pool(db.connectionString(), 3);
  LogCapture log;
  prepareAndLoadServices(pool);
  EXPECT_TRUE(log.contains("#DEBUG#" + statements::serviceQuery() + "\n"));
  EXPECT_TRUE(log.contains("#INFO#LOAD SERVICE\n"));
  EXPECT_EQ(ListTrapService.size(), 2);

  ListTrapService.clear();
  // Every connection has both statements.
  for (int i = 0; i < 3; ++i)
    load_script(&pool, "AddnewService", true);
  EXPECT_EQ(ListTrapService.size(), 1);
  EXPECT_TRUE(ListTrapService.getService("recent"));
}

} // namespace
