-- Demo product data: three devices with a syslog service each, checked by
-- the stock plugin, and the demo alerting program as their response.
-- Load with psql -v plugin=PATH -v alerter=PATH -f demo-data.sql

INSERT INTO quelm_plugins (plugin_id, plugin_name, plugin_path, plugin_type) VALUES
    (1, 'check-syslog', :'plugin', 'syslog'),
    (2, 'check-ping', '/usr/lib/quelm/plugins/check_ping', 'snmp');

INSERT INTO quelm_program (program_id, program_name, program_path) VALUES
    (1, 'demo-alert', :'alerter');

INSERT INTO quelm_device (device_id, device_name, device_ip_addr) VALUES
    (1, 'fw01', 3232235777),   -- 192.168.1.1
    (2, 'sw01', 3232235778),   -- 192.168.1.2
    (3, 'ap01', 3232235779);   -- 192.168.1.3

-- Severities 0-2 are CRITICAL, 3-4 WARNING; "link down" is CRITICAL whatever
-- its severity.
INSERT INTO quelm_services (service_id, service_name, service_plugin_id, service_device_id,
                            service_parameter, service_previous_state, service_last_stdout) VALUES
    (1, 'fw01 syslog', 1, 1, '--severity-critical 2 --severity-warning 4 -c "link down"', 0, 'New service added'),
    (2, 'sw01 syslog', 1, 2, '--severity-critical 2 --severity-warning 4', 0, 'New service added'),
    (3, 'ap01 syslog', 1, 3, '--severity-critical 2 --severity-warning 4', 0, 'New service added');

-- fw01 alerts on CRITICAL and on its return to OK; sw01 on WARNING only.
INSERT INTO quelm_service_response_program (response_service_id, response_program_id, response_ok,
    response_warning, response_critical, response_unknown, response_parameter) VALUES
    (1, 1, true, true, true, true, '--occurrence $ERROR --service fw01'),
    (2, 1, false, true, false, false, '--occurrence $ERROR --service sw01');

-- The access point sends its syslog under another name.
INSERT INTO quelm_device_advance_config_type (device_config_type_id, device_config_type_name) VALUES (1, 'syslog');
INSERT INTO quelm_device_advance_config (adv_device_id, adv_config_type_id, adv_param) VALUES
    (3, 1, '{"host":"ap01.example.net","during_alert":"10"}');

SELECT setval('quelm_services_service_id_seq', 10);
SELECT setval('quelm_device_device_id_seq', 10);
