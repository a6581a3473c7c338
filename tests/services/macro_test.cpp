#include "services/service_loader.h"

#include "tests/services/product_rows.h"

#include <gtest/gtest.h>

#include <map>

namespace {

struct MacroCase {
  const char* label;
  std::string deviceName;
  std::string deviceColumns; // SQL column list for the device row
  std::string deviceValues;
  std::string advParam; // empty: no advanced-configuration row
  std::string configType;
  std::string keyword;
  std::string tolvSerial; // empty: no appliance
  std::string parameter;
  std::string expected; // {DEVICE} and {SERVICE} stand for the new ids
};

std::string withIds(std::string text, const std::string& deviceId, const std::string& serviceId)
{
  for (auto [mark, value] : { std::pair<std::string, std::string> { "{DEVICE}", deviceId }, { "{SERVICE}", serviceId } }) {
    for (std::size_t at = text.find(mark); at != std::string::npos; at = text.find(mark))
      text.replace(at, mark.size(), value);
  }
  return text;
}

// Every case gets its own device and service; the whole table then goes
// through the real service query once.
TEST(MacroExpansionTest, ExpandsEveryMacroFromTheServiceQueryRow)
{
  const std::string snmp3Columns = "device_snmp3_user, device_snmp3_sec_lvl, device_snmp3_auth_protocole, "
                                   "device_snmp3_auth_key, device_snmp3_priv_protocol, device_snmp3_priv_passphrase";
  const std::string snmp3Values = "'monitor', 'authPriv', 'SHA', 'authsecret', 'AES', 'privsecret'";
  const std::vector<MacroCase> cases = {
    { "ip, version 2 and community", "d1", "device_ip_addr, device_snmp_version, device_snmp_community",
        "167772161, '2', 'X'", "", "", "", "", "-H $IP -v $SNMP_VERSION -C $SNMP_COM -t 5",
        "-H 10.0.0.1 -v v2c -C X -t 5" },
    { "ip keeps the low 32 bits", "d2", "device_ip_addr", "4462739457", "", "", "", "", "-H $IP", "-H 10.0.0.1" },
    { "version 3", "d3", "device_snmp_version", "'3'", "", "", "", "", "-v $SNMP_VERSION -x", "-v v3 -x" },
    { "version 1 and unknown versions", "d4", "device_snmp_version", "'abc'", "", "", "", "", "-v $SNMP_VERSION",
        "-v v1 " },
    { "version text read as a number", "d5", "device_snmp_version", "'2c'", "", "", "", "", "$SNMP_VERSION",
        "v2c " },
    { "version swallows the next character", "d6", "device_snmp_version", "'3'", "", "", "", "",
        "$SNMP_VERSION-x", "v3 x" },
    { "community at the end gets a space", "d7", "device_snmp_community", "'private'", "", "", "", "",
        "-C $SNMP_COM", "-C private " },
    { "first occurrence only", "fw01", "", "", "", "", "", "", "$NODENAME $NODENAME", "fw01 $NODENAME" },
    { "node id, service id, timer", "d9", "device_snmp_timer", "7", "", "", "", "",
        "-n $NODEID -s $SERID -t $SNMP_TIMER", "-n {DEVICE} -s {SERVICE} -t 7" },
    { "ip before ip version", "d10", "device_ip_addr", "167772161", "{\"v\":6}", "", "", "", "$IP_VERSION",
        "10.0.0.1_VERSION" },
    { "ip version after an ip", "d11", "device_ip_addr", "167772161", "{\"v\":6}", "", "", "",
        "$IP -V $IP_VERSION", "10.0.0.1 -V {\"v\":6}" },
    { "every snmp3 macro", "d12", snmp3Columns, snmp3Values, "", "", "", "",
        "-u $SNMP3_USER -l $SNMP3_SECLVL -a $SNMP3_AUTH_PROT -A $SNMP3_AUTH_KEY -x $SNMP3_PRIV_PROT -X "
        "$SNMP3_PRIV_KEY",
        "-u monitor -l authPriv -a SHA -A authsecret -x AES -X privsecret" },
    { "snmp3 user alone", "d13", snmp3Columns, snmp3Values, "", "", "", "", "$SNMP3_USER", "monitor" },
    { "an earlier value can bring an snmp3 macro", "$SNMP3_USER", snmp3Columns, snmp3Values, "", "", "", "",
        "-u $NODENAME", "-u monitor" },
    { "a later value is not expanded again", "d15", "device_snmp3_user", "'$NODENAME'", "", "", "", "",
        "$SNMP3_USER", "$NODENAME" },
    { "auth file of the device's type", "d16", "", "", "{}", "radius", "/etc/radius.key", "",
        "-f $AUTH_FILE_radius -x", "-f /etc/radius.key -x" },
    { "auth file of another type", "d17", "", "", "{}", "radius", "/etc/radius.key", "", "-f $AUTH_FILE_tacacs",
        "-f $AUTH_FILE_tacacs" },
    { "auth file without advanced configuration", "d18", "", "", "", "", "", "", "-f $AUTH_FILE_x", "-f x" },
    { "appliance serial", "d19", "", "", "", "", "", "SN-42", "--sn $TOLVSN", "--sn SN-42" },
    { "appliance serial without appliance", "d20", "", "", "", "", "", "", "--sn $TOLVSN", "--sn " },
    { "unknown macros and plain text", "d21", "", "", "", "", "", "", "$UNKNOWN -x 'a b'", "$UNKNOWN -x 'a b'" },
  };

  TestDatabase db;
  ProductRows rows(db);
  std::string plugin = rows.plugin();
  std::map<std::string, std::pair<const MacroCase*, std::string>> byService;
  for (const MacroCase& c : cases) {
    std::string device = rows.device(c.deviceName, c.deviceColumns, c.deviceValues);
    if (!c.advParam.empty() || !c.configType.empty())
      rows.advanced(device, c.advParam, c.configType, c.keyword);
    if (!c.tolvSerial.empty())
      rows.tolv(device, c.tolvSerial);
    std::string serviceId = rows.service(plugin, device, c.parameter);
    byService[serviceId] = { &c, withIds(c.expected, device, serviceId) };
  }

  PgPool pool(db.connectionString(), 1);
  prepareServiceQuery(pool);
  PgResult result = pool.executePrepared("reloadService");
  ASSERT_EQ(PQntuples(result.get()), static_cast<int>(cases.size()));
  for (int row = 0; row < PQntuples(result.get()); ++row) {
    const auto& [c, expected] = byService.at(pgValue(result, row, 9));
    EXPECT_EQ(replaceServiceParameter(pgValue(result, row, 4), result, row), expected) << c->label;
  }
}

} // namespace
