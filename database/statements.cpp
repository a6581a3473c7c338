#include "database/statements.h"

#include "database/pg_pool.h"

namespace statements {

const char* const getPreviousStateName = "GetPreviousState";
const char* const updateStateName = "UpdateState";
const char* const insertErrorHappenName = "InsertErrorHappen";
const char* const acquitteErrorHappenName = "AcquitteErrorHappen";
const char* const checkErrorHappenName = "CheckErrorHappen";
const char* const reloadServiceName = "reloadService";
const char* const addNewServiceName = "AddnewService";
const char* const deleteServiceName = "delete_service";
const char* const newAutoacquitteName = "new_autoacquitte";
const char* const checkAutoacquitteName = "check_autoacquitte";
const char* const transitionLockName = "TransitionLock";
const char* const transitionStateName = "TransitionState";
const char* const receiverAppliedName = "ReceiverApplied";
const char* const receiverAppliedBatchName = "ReceiverAppliedBatch";
const char* const receiverAlertAddName = "ReceiverAlertAdd";
const char* const receiverAlertDoneName = "ReceiverAlertDone";
const char* const receiverAlertsOfName = "ReceiverAlertsOf";

const char* const getPreviousState
    = "SELECT service_previous_state,service_last_stdout FROM quelm_services WHERE service_id=$1::int ;";
const char* const updateState = "UPDATE quelm_services SET service_previous_state=$1::int, "
                                "service_last_exec_time=now(),service_last_stdout=$2 WHERE service_id=$3::int;";
const char* const insertErrorHappen
    = "INSERT INTO quelm_error_happen(happen_id,happen_error_id, happen_device_id,happen_service_id, "
      "happen_timestamp,happen_message, happen_acquitte, happen_value)VALUES (DEFAULT,$1::int, $2::int, "
      "$3::int,now(),$4::varchar, 0,0);";
const char* const acquitteErrorHappen = "UPDATE quelm_error_happen SET happen_acquitte=1, "
                                        "happen_time_acquitte=now() WHERE happen_service_id=$1::int AND "
                                        "happen_acquitte=0";
const char* const checkErrorHappen = "SELECT happen_id,happen_error_id FROM quelm_error_happen WHERE "
                                     "happen_device_id=$1::int AND happen_service_id=$2::int AND happen_acquitte=0";
const char* const deleteService = "DELETE FROM quelm_services WHERE service_delete=true AND service_plugin_id IN "
                                  "(SELECT plugin_id FROM quelm_plugins WHERE plugin_type='syslog');";
const char* const newAutoacquitte
    = "UPDATE quelm_services SET service_previous_state=0, service_last_exec_time= "
      "NOW(),service_last_stdout='New service added' WHERE service_last_stdout IS NULL AND "
      "service_previous_state=4 AND service_plugin_id IN (SELECT plugin_id FROM quelm_plugins WHERE "
      "plugin_type='syslog');";
const char* const checkAutoacquitte = "SELECT count(*) FROM quelm_error_happen WHERE happen_service_id=$1::int  "
                                      "AND happen_acquitte=0 AND happen_timestamp < (NOW() - $2::interval);";

// The service's transaction-scoped advisory lock and its row read for
// update: the fence of a transition in cluster mode.
const char* const transitionLock = "SELECT pg_advisory_xact_lock($1::bigint)";
const char* const transitionState
    = "SELECT service_previous_state FROM quelm_services WHERE service_id=$1::int FOR UPDATE";

// A notification's id, or the Receiver's token, recorded by the transaction
// that writes its state: nothing when it is there already (a copy, or a
// commit whose answer was lost), once the transaction that wrote it has
// ended.
const char* const receiverApplied = "INSERT INTO quelm_receiver_applied (service_id, notification_id) VALUES "
                                    "($1::int, $2) ON CONFLICT DO NOTHING RETURNING 1";
// The same for a batch of writes: $1 the service ids, $2 the ids; one that
// is there already refuses the batch.
const char* const receiverAppliedBatch = "INSERT INTO quelm_receiver_applied (service_id, notification_id) SELECT * "
                                         "FROM unnest($1::int[], $2::text[])";
const char* const receiverAlertAdd = "INSERT INTO quelm_receiver_alerts (service_id, occurrence_id) VALUES ($1::int, "
                                     "$2::bigint) RETURNING alert_id";
const char* const receiverAlertDone = "DELETE FROM quelm_receiver_alerts WHERE alert_id = $1::bigint";
const char* const receiverAlertsOf
    = "SELECT alert_id, occurrence_id FROM quelm_receiver_alerts WHERE service_id = $1::int ORDER BY alert_id";
// At most 10,000 ids applied longer ago than $1 seconds.
const char* const receiverAppliedExpiry
    = "DELETE FROM quelm_receiver_applied WHERE (service_id, notification_id) IN (SELECT service_id, "
      "notification_id FROM quelm_receiver_applied WHERE applied_at < now() - $1::int * interval '1 second' LIMIT "
      "10000)";
// The services with an alert still to run.
const char* const receiverAlertServices = "SELECT DISTINCT service_id FROM quelm_receiver_alerts";

std::string errorNameQuery()
{
  std::string sql = "SELECT error_id,error_name";
  sql += " FROM quelm_errors";
  sql += " WHERE error_name='default_critical_error' OR error_name='default_warning_error' OR "
         "error_name='default_unknow_error' OR error_name='default_maintenance';";
  return sql;
}

std::string serviceQuery()
{
  std::string sql = "SELECT plugin_id,service_name, "
                    "plugin_path,service_interval_time,service_parameter,device_id,device_ip_addr,device_snmp_"
                    "version,device_snmp_community,service_id,";
  sql += "program_path,response_unknown,response_warning,response_critical,response_parameter,device_name,tolv_"
         "sn,";
  sql += "device_snmp3_user, device_snmp3_sec_lvl,device_snmp3_auth_protocole, "
         "device_snmp3_auth_key,device_snmp3_priv_protocol, device_snmp3_priv_passphrase,";
  sql += "device_snmp_timer,response_ok,adv_plugin_keyword_value,device_config_type_name,service_previous_state,"
         "service_last_stdout,adv_param ";
  sql += " FROM quelm_plugins JOIN quelm_services ON plugin_id = service_plugin_id";
  sql += " JOIN quelm_device ON device_id = service_device_id ";
  sql += " LEFT JOIN quelm_service_response_program ON service_id = response_service_id ";
  sql += " LEFT JOIN quelm_program ON response_program_id = program_id";
  sql += " LEFT JOIN tolv_connected ON device_id = connected_device_id";
  sql += " LEFT JOIN tolv_info ON connected_tolv_id = tolv_device_id";
  sql += " LEFT JOIN quelm_device_advance_config ON device_id = adv_device_id";
  sql += " LEFT JOIN quelm_device_advance_config_type ON adv_config_type_id = device_config_type_id";
  sql += " WHERE plugin_type='syslog'";
  return sql;
}

std::string newServiceQuery() { return serviceQuery() + " AND service_time_added > (NOW()- interval '5 minute');"; }

} // namespace statements

void prepareStartupStatements(PgPool& pool)
{
  pool.prepareRequest(statements::getPreviousStateName, statements::getPreviousState, 1);
  pool.prepareRequest(statements::updateStateName, statements::updateState, 3);
  pool.prepareRequest(statements::insertErrorHappenName, statements::insertErrorHappen, 4);
  pool.prepareRequest(statements::acquitteErrorHappenName, statements::acquitteErrorHappen, 1);
  pool.prepareRequest(statements::checkErrorHappenName, statements::checkErrorHappen, 2);
  pool.prepareRequest(statements::transitionLockName, statements::transitionLock, 1);
  pool.prepareRequest(statements::transitionStateName, statements::transitionState, 1);
}

void prepareReceiverStatements(PgPool& pool)
{
  pool.prepareRequest(statements::receiverAppliedName, statements::receiverApplied, 2);
  pool.prepareRequest(statements::receiverAppliedBatchName, statements::receiverAppliedBatch, 2);
  pool.prepareRequest(statements::receiverAlertAddName, statements::receiverAlertAdd, 2);
  pool.prepareRequest(statements::receiverAlertDoneName, statements::receiverAlertDone, 1);
  pool.prepareRequest(statements::receiverAlertsOfName, statements::receiverAlertsOf, 1);
}

std::string arrayLiteral(const std::vector<std::string>& values)
{
  std::string literal = "{";
  for (const std::string& value : values) {
    if (literal.size() > 1)
      literal += ',';
    literal += '"';
    for (char c : value) {
      if (c == '"' || c == '\\')
        literal += '\\';
      literal += c;
    }
    literal += '"';
  }
  return literal + "}";
}

ErrorIds loadErrorNames(PgPool& pool)
{
  ErrorIds errors;
  PgResult result = pool.executeRequest(statements::errorNameQuery());
  int rows = PQntuples(result.get());
  for (int row = 0; row < rows; ++row)
    errors[pgValue(result, row, 1)] = pgValue(result, row, 0);
  return errors;
}
