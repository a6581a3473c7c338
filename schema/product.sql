-- The part of the monitoring product's database that the Receiver reads and
-- writes. Tests and the demo load it into a throwaway cluster; a production
-- database has these tables already (and many more).

CREATE TABLE quelm_plugins (
    plugin_id     serial PRIMARY KEY,
    plugin_name   text NOT NULL DEFAULT '',
    plugin_path   text NOT NULL,
    plugin_type   text NOT NULL DEFAULT 'syslog'
);

CREATE TABLE quelm_device (
    device_id                    serial PRIMARY KEY,
    device_name                  text NOT NULL,
    -- IPv4 address as its integer form, most significant byte first.
    device_ip_addr               bigint NOT NULL DEFAULT 0,
    device_snmp_version          text NOT NULL DEFAULT '2c',
    device_snmp_community        text NOT NULL DEFAULT 'public',
    device_snmp3_user            text NOT NULL DEFAULT '',
    device_snmp3_sec_lvl         text NOT NULL DEFAULT '',
    device_snmp3_auth_protocole  text NOT NULL DEFAULT '',
    device_snmp3_auth_key        text NOT NULL DEFAULT '',
    device_snmp3_priv_protocol   text NOT NULL DEFAULT '',
    device_snmp3_priv_passphrase text NOT NULL DEFAULT '',
    device_snmp_timer            integer NOT NULL DEFAULT 1
);

CREATE TABLE quelm_services (
    service_id             serial PRIMARY KEY,
    service_name           text NOT NULL,
    service_plugin_id      integer NOT NULL REFERENCES quelm_plugins(plugin_id),
    service_device_id      integer NOT NULL REFERENCES quelm_device(device_id),
    service_interval_time  integer NOT NULL DEFAULT 300,
    service_parameter      text NOT NULL DEFAULT '',
    service_previous_state integer NOT NULL DEFAULT 4,
    service_last_stdout    text,
    service_last_exec_time timestamp,
    service_time_added     timestamp NOT NULL DEFAULT now(),
    service_delete         boolean NOT NULL DEFAULT false
);

CREATE TABLE quelm_program (
    program_id   serial PRIMARY KEY,
    program_name text NOT NULL DEFAULT '',
    program_path text NOT NULL
);

CREATE TABLE quelm_service_response_program (
    response_service_id integer NOT NULL REFERENCES quelm_services(service_id) ON DELETE CASCADE,
    response_program_id integer NOT NULL REFERENCES quelm_program(program_id),
    response_ok         boolean NOT NULL DEFAULT false,
    response_warning    boolean NOT NULL DEFAULT false,
    response_critical   boolean NOT NULL DEFAULT false,
    response_unknown    boolean NOT NULL DEFAULT false,
    response_parameter  text NOT NULL DEFAULT ''
);

CREATE TABLE tolv_info (
    tolv_device_id integer PRIMARY KEY,
    tolv_sn        text NOT NULL DEFAULT ''
);

CREATE TABLE tolv_connected (
    connected_device_id integer NOT NULL REFERENCES quelm_device(device_id) ON DELETE CASCADE,
    connected_tolv_id   integer NOT NULL REFERENCES tolv_info(tolv_device_id)
);

CREATE TABLE quelm_device_advance_config_type (
    device_config_type_id   serial PRIMARY KEY,
    device_config_type_name text NOT NULL
);

CREATE TABLE quelm_device_advance_config (
    adv_device_id            integer NOT NULL REFERENCES quelm_device(device_id) ON DELETE CASCADE,
    adv_config_type_id       integer REFERENCES quelm_device_advance_config_type(device_config_type_id),
    adv_plugin_keyword_value text NOT NULL DEFAULT '',
    -- JSON text, for example {"host":"fw01","during_alert":"30"}
    adv_param                text NOT NULL DEFAULT ''
);

CREATE TABLE quelm_errors (
    error_id   integer PRIMARY KEY,
    error_name text NOT NULL
);

CREATE TABLE quelm_error_happen (
    happen_id            serial PRIMARY KEY,
    happen_error_id      integer NOT NULL REFERENCES quelm_errors(error_id),
    happen_device_id     integer NOT NULL,
    happen_service_id    integer NOT NULL,
    happen_timestamp     timestamp NOT NULL DEFAULT now(),
    happen_message       varchar NOT NULL DEFAULT '',
    happen_acquitte      integer NOT NULL DEFAULT 0,
    happen_value         integer NOT NULL DEFAULT 0,
    happen_time_acquitte timestamp
);

CREATE INDEX quelm_error_happen_open ON quelm_error_happen (happen_service_id) WHERE happen_acquitte = 0;

INSERT INTO quelm_errors (error_id, error_name) VALUES
    (1, 'default_warning_error'),
    (2, 'default_critical_error'),
    (3, 'default_unknow_error'),
    (5, 'default_maintenance');
