#pragma once

#include "core/process_state.h"
#include "database/pg_connection_pool.h"
#include "database/statements.h"
#include "services/hash_map_service.h"
#include "services/service_loader.h"

#include "tests/support/temp_dir.h"
#include "tests/support/test_database.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// A product database with syslog services whose plugin is a real script
// that answers by the notification text, an alerting program that records
// its arguments, and the daemon's pool and registry set up as at start-up.
class ProcessingFixture : public ::testing::Test {
protected:
  // With ownCluster the database lives on a cluster of the test's own, which
  // the test may stop and start.
  explicit ProcessingFixture(bool ownCluster = false)
      : cluster(ownCluster ? std::make_unique<PrivateCluster>() : nullptr)
      , db(cluster ? cluster->envFile() : std::string())
  {
  }

  void SetUp() override
  {
    // The plugin's answer is chosen by a word in the notification.
    plugin = dir.write("plugin.sh",
        "#!/bin/sh\n"
        "read line\n"
        "case \"$line\" in\n"
        "  *CRIT*) echo \"CRITICAL: $line\"; exit 2;;\n"
        "  *WARN*) echo \"WARNING: $line\"; exit 1;;\n"
        "  *UNKN*) echo \"UNKNOWN: $line\"; exit 3;;\n"
        "  *PENDING*) echo \"pending\"; exit 4;;\n"
        "  *HANG*) /bin/sleep 1000; echo late;;\n"
        "  *SILENT*) exit 0;;\n"
        "  *) echo \"OK: $line\"; exit 0;;\n"
        "esac\n",
        true);
    alerts = dir.path() + "/alerts.txt";
    alerter = dir.write("alert.sh", "#!/bin/sh\necho \"$@\" >> " + alerts + "\n", true);
    db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path, plugin_type) VALUES (1, '" + plugin
        + "', 'syslog'), (2, '/bin/true', 'snmp')");
    db.exec("INSERT INTO quelm_program (program_id, program_path) VALUES (1, '" + alerter + "')");
    pool = std::make_unique<PgPool>(db.connectionString(), 2);
    pgSQL = pool.get();
    prepareStartupStatements(*pool);
    map_error.clear();
    loadErrorNames(*pool, map_error);
    ListTrapService.clear();
    error_during.clear();
  }

  void TearDown() override
  {
    ListTrapService.clear();
    error_during.clear();
    pgSQL = nullptr;
  }

  // Adds a device and its syslog service; returns the service id.
  int addService(const std::string& host, const std::string& flags = "false,false,false,false",
      const std::string& advParam = "", int pluginId = 1)
  {
    std::string device = db.scalar("INSERT INTO quelm_device (device_name, device_ip_addr) VALUES ('" + host
        + "', 167772161) RETURNING device_id");
    std::string id = db.scalar("INSERT INTO quelm_services (service_name, service_plugin_id, service_device_id, service_previous_state, "
                               "service_last_stdout) "
                               "VALUES ('svc-"
        + host + "', " + std::to_string(pluginId) + ", " + device + ", 0, 'loaded') RETURNING service_id");
    // Flags in the order ok, warning, critical, unknown.
    db.exec("INSERT INTO quelm_service_response_program (response_service_id, response_program_id, response_ok, "
            "response_warning, response_critical, response_unknown, response_parameter) VALUES ("
        + id + ", 1, " + flags + ", '--error $ERROR')");
    if (!advParam.empty())
      db.exec("INSERT INTO quelm_device_advance_config (adv_device_id, adv_param) VALUES (" + device + ", '"
          + advParam + "')");
    return std::stoi(id);
  }

  void loadServices() { prepareAndLoadServices(*pool); }

  std::string state(int serviceId)
  {
    return db.scalar("SELECT service_previous_state FROM quelm_services WHERE service_id=" + std::to_string(serviceId));
  }
  std::string output(int serviceId)
  {
    return db.scalar("SELECT service_last_stdout FROM quelm_services WHERE service_id=" + std::to_string(serviceId));
  }
  // "error_id:acquitte" of every occurrence of the service, oldest first.
  std::string occurrences(int serviceId)
  {
    std::string out;
    for (auto& row : db.rows("SELECT happen_error_id, happen_acquitte FROM quelm_error_happen WHERE "
                             "happen_service_id="
             + std::to_string(serviceId) + " ORDER BY happen_id"))
      out += (out.empty() ? "" : " ") + row[0] + ":" + row[1];
    return out;
  }
  std::string openOccurrenceId(int serviceId)
  {
    return db.scalar("SELECT happen_id FROM quelm_error_happen WHERE happen_acquitte=0 AND happen_service_id="
        + std::to_string(serviceId));
  }
  std::string alertLines() { return readFile(alerts); }

  std::unique_ptr<PrivateCluster> cluster;
  TestDatabase db;
  TempDir dir;
  std::string plugin, alerter, alerts;
  std::unique_ptr<PgPool> pool;
};
