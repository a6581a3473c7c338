#include "database/pg_pool.h"
#include "services/service_loader.h"

#include "tests/support/log_capture.h"
#include "tests/support/test_database.h"

#include <gtest/gtest.h>

namespace {

// A text as an SQL literal (dollar-quoted: no parameter holds "$v$").
std::string quote(const std::string& text) { return "$v$" + text + "$v$"; }

class LoaderTest : public ::testing::Test {
protected:
  // A device with extra columns ("col, col" and their SQL values), an optional advanced configuration and an appliance,
  // and its service.
  std::string service(const std::string& name, const std::string& columns, const std::string& values,
      const std::string& parameter, const std::string& advParam = "", const std::string& type = "",
      const std::string& serial = "")
  {
    return db.scalar("WITH d AS (INSERT INTO quelm_device (device_name" + (columns.empty() ? "" : ", " + columns)
        + ") VALUES (" + quote(name) + (values.empty() ? "" : ", " + values)
        + ") RETURNING device_id), t AS (INSERT INTO quelm_device_advance_config_type (device_config_type_name) SELECT "
        + quote(type) + " WHERE " + quote(type) + " <> '' RETURNING device_config_type_id), a AS (INSERT INTO "
        + "quelm_device_advance_config SELECT device_id, (SELECT * FROM t), '/etc/radius.key', " + quote(advParam)
        + " FROM d WHERE " + quote(advParam) + " <> ''), i AS (INSERT INTO tolv_info SELECT device_id, " + quote(serial)
        + " FROM d WHERE " + quote(serial) + " <> ''), c AS (INSERT INTO tolv_connected SELECT device_id, device_id "
        + "FROM d WHERE " + quote(serial) + " <> '') INSERT INTO quelm_services (service_name, service_plugin_id, "
        + "service_device_id, service_parameter) SELECT " + quote(name) + ", 1, device_id, " + quote(parameter)
        + " FROM d RETURNING service_id");
  }

  void load() { prepareAndLoadServices(pool, registry, acknowledgements); }

  void SetUp() override { db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '/p')"); }

  TestDatabase db;
  PgPool pool { settingsOf(db), 1 };
  ServiceRegistry registry;
  AutoAcknowledgements acknowledgements;
};

// Every "$" macro, expanded from the service query's row as stored parameters expect: first occurrence only, the spans
// that swallow a character, the snmp3 and auth-file conditions, $IP before $IP_VERSION.
TEST_F(LoaderTest, MacrosExpandFromTheServiceQueryRow)
{
  const std::string snmp3 = "device_snmp3_user, device_snmp3_sec_lvl, device_snmp3_auth_protocole, "
                            "device_snmp3_auth_key, device_snmp3_priv_protocol, device_snmp3_priv_passphrase";
  const std::string snmp3Values = "'mon', 'authPriv', 'SHA', 'ak', 'AES', 'pk'";
  struct Case {
    std::string name, columns, values, parameter, expected, advParam = "", type = "", serial = "";
  } cases[] = {
    { "m1", "device_ip_addr, device_snmp_version, device_snmp_community", "167772161, '2', 'X'",
        "-H $IP -v $SNMP_VERSION -C $SNMP_COM -t 5", "-H 10.0.0.1 -v v2c -C X -t 5" },
    { "m2", "device_ip_addr", "4462739457", "-H $IP", "-H 10.0.0.1" },
    { "m3", "device_snmp_version", "'abc'", "-v $SNMP_VERSION", "-v v1 " },
    { "m4", "device_snmp_version", "'3'", "$SNMP_VERSION-x", "v3 x" },
    { "fw01", "", "", "$NODENAME $NODENAME", "fw01 $NODENAME" },
    { "m6", "device_ip_addr", "167772161", "$IP_VERSION", "10.0.0.1_VERSION", "{\"v\":6}" },
    { "m7", "device_ip_addr", "167772161", "$IP -V $IP_VERSION", "10.0.0.1 -V {\"v\":6}", "{\"v\":6}" },
    { "m8", snmp3, snmp3Values,
        "-u $SNMP3_USER -l $SNMP3_SECLVL -a $SNMP3_AUTH_PROT -A $SNMP3_AUTH_KEY -x $SNMP3_PRIV_PROT -X $SNMP3_PRIV_KEY",
        "-u mon -l authPriv -a SHA -A ak -x AES -X pk" },
    { "$SNMP3_USER", snmp3, snmp3Values, "-u $NODENAME", "-u mon" },
    { "m10", "", "", "-f $AUTH_FILE_radius -x", "-f /etc/radius.key -x", "{}", "radius" },
    { "m11", "", "", "-f $AUTH_FILE_tacacs", "-f $AUTH_FILE_tacacs", "{}", "radius" },
    { "m12", "", "", "-f $AUTH_FILE_x", "-f x" },
    { "m13", "", "", "--sn $TOLVSN -t $SNMP_TIMER", "--sn SN-42 -t 1", "", "", "SN-42" },
  };
  for (const Case& c : cases)
    service(c.name, c.columns, c.values, c.parameter, c.advParam, c.type, c.serial);
  load();
  for (const Case& c : cases) {
    ASSERT_TRUE(registry.getService(c.name)) << c.name;
    EXPECT_EQ(registry.getService(c.name)->parameter, c.expected) << c.name;
  }
}

// The host comes from the advanced parameters, else the device name; a row that cannot be loaded is logged.
TEST_F(LoaderTest, RowsFillTheRecordAndBadRowsAreSkipped)
{
  std::string id = service(
      "fw01", "device_ip_addr", "3232235777", "-H $IP -m 'a b'", "{\"host\":\"fw01.example\",\"during_alert\":\"15\"}");
  db.exec("UPDATE quelm_services SET service_previous_state=2, service_last_stdout='disk full' WHERE service_id=" + id);
  db.exec("INSERT INTO quelm_program (program_id, program_path) VALUES (1, '/opt/alert')");
  db.exec("INSERT INTO quelm_service_response_program VALUES (" + id + ", 1, true, false, true, false, '--id $ERROR')");
  std::string bad = service("bad", "", "", "x", "[1,2]");
  std::string plain = service("plain", "", "", "");
  LogCapture capture;
  load();
  std::shared_ptr<SyslogService> loaded = registry.getService("fw01.example");
  ASSERT_TRUE(loaded);
  EXPECT_EQ(loaded->stored().state, ServiceState::critical);
  EXPECT_EQ(loaded->serviceIdText + " " + loaded->stored().lastStdout + " " + loaded->programPath,
      id + " disk full /opt/alert");
  EXPECT_TRUE(loaded->responseOk && loaded->responseCritical && !loaded->responseWarning);
  EXPECT_EQ(loaded->alertingArguments, (std::vector<std::string> { "--id", "$ERROR" }));
  EXPECT_EQ(loaded->arguments, (std::vector<std::string> { "-H", "192.168.1.1", "-m", "a b" }));
  const AutoAcknowledgement& entry = acknowledgements.at(static_cast<int>(loaded->deviceId));
  EXPECT_EQ(entry.interval + " " + entry.host, "15 minute fw01.example");
  EXPECT_EQ(acknowledgements.at(static_cast<int>(registry.getService("plain")->deviceId)).interval, "5 minute");
  EXPECT_EQ(registry.size(), 2);
  EXPECT_NE(capture.text().find("#ERR#Failed to initial load service: " + bad), std::string::npos) << capture.text();
}

} // namespace
