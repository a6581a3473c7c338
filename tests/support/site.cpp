#include "tests/support/site.h"

#include "tests/support/command.h"
#include "tests/support/daemon_config.h"
#include "tests/support/free_port.h"

#include <unistd.h>

#include <cstdio>

Site::Site(const TempDir& dir, const std::string& name, int hosts, int stale, const std::string& envFile)
    : db(envFile)
    , alerts(dir.path() + "/" + name + "-alerts.txt")
    , plugin(dir.write(name + "-plugin", readFile(QUELM_DUAL_PLUGIN), true))
{
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

int Site::delivered() { return std::stoi(db.scalar("SELECT count(DISTINCT seq) FROM delivered")); }

std::string Site::missing(int count)
{
  return db.scalar("SELECT string_agg(s::text, ',') FROM generate_series(1, " + std::to_string(count)
      + ") s WHERE s NOT IN (SELECT seq FROM delivered)");
}

std::unique_ptr<TestProcess> Site::startReceiver(const TempDir& dir, const std::string& name, int port,
    const std::string& pem, std::map<std::string, std::string> extra, const std::vector<std::string>& options)
{
  extra.insert({ { "LOG.log_file", dir.path() + "/" + name + ".log" }, { "SYSLOG.port", std::to_string(port) },
      { "SYSLOG.certificate", pem }, { "SYSLOG.thread", "4" }, { "SYSLOG.cleaning_cycle", "2" },
      { "SYSLOG.max_message_size", "2000" } });
  std::string named = dir.path() + "/" + name + ".conf";
  std::rename(writeReceiverConfig(dir, db, extra).c_str(), named.c_str());
  std::vector<std::string> argv { std::string(QUELM_BINARY_DIR) + "/quelm-receiver", "-f", named };
  argv.insert(argv.end(), options.begin(), options.end());
  return std::make_unique<TestProcess>(argv);
}

bool started(const std::string& log)
{
  return waitFor(30, [&] { return readFile(log).find("SYSLOG was starting....") != std::string::npos; });
}

bool sendTcp(int port, const std::string& lines)
{
  return waitFor(20, [&] {
    return runCommand("exec bash -c 'cat >/dev/tcp/127.0.0.1/" + std::to_string(port) + "'", lines).status == 0;
  });
}

std::string adapted(
    const std::string& path, const std::vector<std::pair<std::string, std::string>>& replacements, std::string& missing)
{
  std::string conf = readFile(path);
  for (const auto& [from, to] : replacements) {
    const std::size_t at = conf.find(from);
    if (at == std::string::npos)
      return missing = from, std::string();
    conf.replace(at, from.size(), to);
  }
  return conf;
}

std::string haproxyConfig(int port, const std::vector<int>& receiverPorts, std::string& missing)
{
  std::vector<std::pair<std::string, std::string>> replacements
      = { { "bind :6514", "bind 127.0.0.1:" + std::to_string(port) } };
  for (std::size_t r = 0; r < receiverPorts.size(); ++r)
    replacements.emplace_back(
        "192.0.2.1" + std::to_string(r + 1) + ":6514", "127.0.0.1:" + std::to_string(receiverPorts[r]));
  return adapted(std::string(QUELM_SOURCE_DIR) + "/packaging/haproxy-quelm.cfg", replacements, missing);
}

SyslogNg::SyslogNg(const TempDir& dir, int receiverPort, const std::string& pem, const std::string& clientPem)
    : root(std::string(QUELM_BINARY_DIR) + "/syslog-ng")
    , input(freeLoopbackPort())
{
  if (::access((root + "/usr/sbin/syslog-ng").c_str(), X_OK) != 0) {
    missing = "the syslog-ng copy: run scripts/fetch-syslog-ng.sh " + root;
    return;
  }
  std::vector<std::pair<std::string, std::string>> replacements
      = { { "https://receiver.example:6514/", "https://localhost:" + std::to_string(receiverPort) + "/" },
          { "/etc/quelm/ca.pem", pem }, { "/var/lib/syslog-ng/quelm", dir.path() + "/buffer" },
          { "time-reopen(5)", "time-reopen(1)" } };
  if (!clientPem.empty()) {
    replacements.emplace_back("# cert-file(\"/etc/quelm/client.pem\")", "cert-file(\"" + clientPem + "\")");
    replacements.emplace_back("# key-file(\"/etc/quelm/client.key\")", "key-file(\"" + clientPem + "\")");
  }
  const std::string conf
      = adapted(std::string(QUELM_SOURCE_DIR) + "/packaging/syslog-ng-quelm.conf", replacements, missing);
  if (!missing.empty())
    return;
  const std::string confPath = dir.write("syslog-ng.conf",
      "@version: 3.38\noptions { stats-freq(0); use-dns(no); dns-cache(no); };\nsource s_src { "
      "network(ip(\"127.0.0.1\") port("
          + std::to_string(input) + ") transport(\"tcp\") keep-hostname(yes)); };\n" + conf);
  process = std::make_unique<TestProcess>(std::vector<std::string> { "/usr/bin/env",
      "LD_LIBRARY_PATH=" + root + "/usr/lib/syslog-ng", root + "/usr/sbin/syslog-ng", "-F", "-e", "--no-caps", "-f",
      confPath, "-R", dir.path() + "/sng.persist", "-p", dir.path() + "/sng.pid", "-c", dir.path() + "/sng.ctl",
      "--module-path=" + root + "/usr/lib/syslog-ng/3.38" });
}
