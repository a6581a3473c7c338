#pragma once

#include "tests/support/daemon_config.h"
#include "tests/support/test_process.h"

#include <memory>
#include <string>
#include <vector>

// A product database whose hosts host00, host01... each have a syslog service checked by a plugin that answers
// CRITICAL, WARNING or OK after the word it is sent (CRIT, WARN, anything else) followed by what it was sent, and an
// alerting program for every state that appends its argument (the occurrence id) to a file; plus stale0, stale1...
// whose CRITICAL occurrence has been open for ten minutes. Triggers record every stored "seq=N" in `delivered` and
// every service found with two open occurrences in `doubled`.
struct Site {
  Site(const TempDir& dir, const std::string& name, int hosts, int stale = 0, const std::string& envFile = "")
      : db(envFile)
      , alerts(dir.path() + "/" + name + "-alerts.txt")
  {
    std::string plugin = dir.write(name + "-plugin.sh",
        "#!/bin/sh\nread line\ncase \"$line\" in\n  *CRIT*) echo \"CRITICAL $line\"; exit 2;;\n"
        "  *WARN*) echo \"WARNING $line\"; exit 1;;\n  *) echo \"OK $line\"; exit 0;;\nesac\n",
        true);
    std::string alerter = dir.write(name + "-alert.sh", "#!/bin/sh\necho \"$1\" >> " + alerts + "\n", true);
    db.exec("INSERT INTO quelm_plugins (plugin_id, plugin_path) VALUES (1, '" + plugin
        + "'); INSERT INTO quelm_program (program_id, program_path) VALUES (1, '" + alerter
        + "'); INSERT INTO quelm_device (device_id, device_name) SELECT h + 1, 'host' || lpad(h::text, 2, '0') FROM "
          "generate_series(0, "
        + std::to_string(hosts - 1) + ") h UNION ALL SELECT 1000 + s, 'stale' || s FROM generate_series(0, "
        + std::to_string(stale - 1)
        + ") s;"
          "INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id, "
          "service_previous_state, service_last_stdout) SELECT device_id, device_name || '-syslog', 1, device_id, "
          "CASE WHEN device_id >= 1000 THEN 2 ELSE 0 END, '' FROM quelm_device;"
          "INSERT INTO quelm_service_response_program SELECT service_id, 1, true, true, true, true, '$ERROR' FROM "
          "quelm_services;"
          "INSERT INTO quelm_error_happen (happen_error_id, happen_device_id, happen_service_id, happen_timestamp) "
          "SELECT 2, device_id, device_id, now() - interval '10 minute' FROM quelm_device WHERE device_id >= 1000;"
          "CREATE TABLE delivered (seq int); CREATE TABLE doubled (service int);"
          "CREATE FUNCTION record_seq() RETURNS trigger AS $$ BEGIN INSERT INTO delivered SELECT "
          "substring(NEW.service_last_stdout from 'seq=([0-9]+)')::int WHERE NEW.service_last_stdout ~ "
          "'seq=[0-9]'; RETURN NEW; END $$ LANGUAGE plpgsql;"
          "CREATE TRIGGER record_seq AFTER UPDATE ON quelm_services FOR EACH ROW EXECUTE FUNCTION record_seq();"
          "CREATE FUNCTION one_open() RETURNS trigger AS $$ BEGIN INSERT INTO doubled SELECT NEW.happen_service_id "
          "WHERE (SELECT count(*) FROM quelm_error_happen WHERE happen_service_id = NEW.happen_service_id AND "
          "happen_acquitte = 0) > 1; RETURN NEW; END $$ LANGUAGE plpgsql;"
          "CREATE TRIGGER one_open AFTER INSERT ON quelm_error_happen FOR EACH ROW EXECUTE FUNCTION one_open()");
  }

  // Distinct sequence numbers stored, and those of 1..count that are not.
  int delivered() { return std::stoi(db.scalar("SELECT count(DISTINCT seq) FROM delivered")); }
  std::string missing(int count)
  {
    return db.scalar("SELECT string_agg(s::text, ',') FROM generate_series(1, " + std::to_string(count)
        + ") s WHERE s NOT IN (SELECT seq FROM delivered)");
  }

  // A Receiver of the site with its own port, configuration and log (dir/name.log); extra entries as for
  // writeReceiverConfig.
  std::unique_ptr<TestProcess> startReceiver(const TempDir& dir, const std::string& name, int port,
      const std::string& pem, std::map<std::string, std::string> extra = {})
  {
    extra.insert({ { "LOG.log_file", dir.path() + "/" + name + ".log" }, { "SYSLOG.port", std::to_string(port) },
        { "SYSLOG.certificate", pem }, { "SYSLOG.thread", "4" }, { "SYSLOG.cleaning_cycle", "2" } });
    std::string named = dir.path() + "/" + name + ".conf";
    std::rename(writeReceiverConfig(dir, db, extra).c_str(), named.c_str());
    return std::make_unique<TestProcess>(
        std::vector<std::string> { std::string(QUELM_BINARY_DIR) + "/quelm-receiver", "-f", named });
  }

  TestDatabase db;
  std::string alerts;
};

// Whether the Receiver logging to this file has started its workers.
inline bool started(const std::string& log)
{
  return waitFor(30, [&] { return readFile(log).find("SYSLOG was starting....") != std::string::npos; });
}

// Numbered syslog lines, line N from host N % hosts with "WORD seq=N"; the words change every round of the hosts so
// that states change and occurrences open and close.
inline std::string syslogLines(int count, int hosts)
{
  const char* words[] = { "CRIT", "WARN", "fine", "CRIT", "fine" };
  std::string lines;
  for (int seq = 1; seq <= count; ++seq) {
    std::string host = std::to_string(seq % hosts);
    lines += "<14>Dec  7 05:00:00 host" + std::string(host.size() < 2 ? "0" : "") + host
        + " probe: " + words[seq / hosts % 5] + " seq=" + std::to_string(seq) + "\n";
  }
  return lines;
}
