#pragma once

#include "database/pg_connection_pool.h"
#include "database/statements.h"

#include "tests/support/test_database.h"

#include <string>

// Inserts product rows for service tests. Column lists are SQL fragments
// ("device_snmp_version, device_snmp_community") with matching values.
class ProductRows {
public:
  explicit ProductRows(TestDatabase& db)
      : db_(db)
  {
  }

  static std::string quote(const std::string& text)
  {
    std::string out = "'";
    for (char c : text)
      out += (c == '\'') ? std::string("''") : std::string(1, c);
    return out + "'";
  }

  std::string plugin(const std::string& path = "/opt/plugins/check_syslog", const std::string& type = "syslog")
  {
    return db_.scalar("INSERT INTO quelm_plugins (plugin_path, plugin_type) VALUES (" + quote(path) + ", "
        + quote(type) + ") RETURNING plugin_id");
  }

  std::string device(const std::string& name, const std::string& columns = "", const std::string& values = "")
  {
    std::string extra = columns.empty() ? "" : ", " + columns;
    std::string extraValues = values.empty() ? "" : ", " + values;
    return db_.scalar("INSERT INTO quelm_device (device_name" + extra + ") VALUES (" + quote(name) + extraValues
        + ") RETURNING device_id");
  }

  std::string service(const std::string& pluginId, const std::string& deviceId, const std::string& parameter,
      const std::string& name = "svc")
  {
    return db_.scalar("INSERT INTO quelm_services (service_name, service_plugin_id, service_device_id, "
                      "service_parameter) VALUES ("
        + quote(name) + ", " + pluginId + ", " + deviceId + ", " + quote(parameter) + ") RETURNING service_id");
  }

  // An advanced-configuration row; typeName empty means no type row.
  void advanced(const std::string& deviceId, const std::string& advParam, const std::string& typeName = "",
      const std::string& keyword = "")
  {
    std::string typeId = "NULL";
    if (!typeName.empty())
      typeId = db_.scalar("INSERT INTO quelm_device_advance_config_type (device_config_type_name) VALUES ("
          + quote(typeName) + ") RETURNING device_config_type_id");
    db_.exec("INSERT INTO quelm_device_advance_config (adv_device_id, adv_config_type_id, "
             "adv_plugin_keyword_value, adv_param) VALUES ("
        + deviceId + ", " + typeId + ", " + quote(keyword) + ", " + quote(advParam) + ")");
  }

  void tolv(const std::string& deviceId, const std::string& serial)
  {
    std::string tolvId = db_.scalar("SELECT coalesce(max(tolv_device_id), 0) + 1 FROM tolv_info");
    db_.exec("INSERT INTO tolv_info VALUES (" + tolvId + ", " + quote(serial) + ")");
    db_.exec("INSERT INTO tolv_connected VALUES (" + deviceId + ", " + tolvId + ")");
  }

private:
  TestDatabase& db_;
};

// A pool on the test database with the service query prepared as the
// daemon prepares it.
inline void prepareServiceQuery(PgPool& pool)
{
  pool.prepareRequest(statements::reloadServiceName, statements::serviceQuery());
  pool.prepareRequest(statements::addNewServiceName, statements::newServiceQuery());
}
