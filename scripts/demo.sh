#!/usr/bin/env bash
# Shows the Receiver at work: builds it, starts a throwaway PostgreSQL with a
# small product database, starts quelm-receiver -D, sends a scripted story of
# notifications with quelm-notify and prints what the database holds after
# each step. Ends by stopping the Receiver (SIGTERM) and the database.
#
#   ./scripts/demo.sh          the whole story, then clean up
#   ./scripts/demo.sh --keep   leave the Receiver and the database running
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
keep=""
[ "${1:-}" = "--keep" ] && keep=yes

"$root/scripts/install-deps.sh"
echo "== building (output in $build/demo-build.log)"
mkdir -p "$build"
BUILD_DIR=$build "$root/scripts/build.sh" >"$build/demo-build.log" 2>&1 \
  || { tail -n 40 "$build/demo-build.log"; exit 1; }

work=$(mktemp -d /tmp/quelm-demo.XXXXXX)
chmod 755 "$work"
envfile=$work/db.env
daemon_pid=""
cleanup() {
  if [ -n "$daemon_pid" ]; then
    kill -TERM "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  "$root/scripts/pg-cluster.sh" stop "$envfile" >/dev/null 2>&1 || true
  rm -rf "$work"
}
[ -z "$keep" ] && trap cleanup EXIT
trap 'cleanup; exit 1' INT TERM

echo "== starting a throwaway PostgreSQL with the demo product database"
"$root/scripts/pg-cluster.sh" start "$envfile"
set -a
# shellcheck disable=SC1090
. "$envfile"
set +a
psql_demo() { psql -X -q -h "$PGHOST" -p "$PGPORT" -U "$PGUSER" -d "$PGDATABASE" "$@"; }
psql_demo -v ON_ERROR_STOP=1 -v plugin="$build/tools/quelm-check-syslog" -v alerter="$root/scripts/demo-alert.sh" \
  -f "$root/schema/demo-data.sql" >/dev/null

echo "== making a small certificate authority and the listener's certificate, signed by it"
# quelm-notify verifies the Receiver: the certificate names the address the
# demo connects to (127.0.0.1) and localhost, and ca.pem is what it trusts.
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
  -subj "/CN=quelm demo authority" -keyout "$work/ca.key" -out "$work/ca.pem" >/dev/null 2>&1
openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "/CN=localhost" \
  -keyout "$work/key.pem" -out "$work/receiver.csr" >/dev/null 2>&1
printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$work/receiver.ext"
openssl x509 -req -in "$work/receiver.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial \
  -days 2 -extfile "$work/receiver.ext" -out "$work/cert.pem" >/dev/null 2>&1
cat "$work/cert.pem" "$work/key.pem" >"$work/receiver.pem"

port=$((20000 + RANDOM % 20000))
cat >"$work/receiver.conf" <<CONF
[LOG]
log_file=$work/receiver.log

[POSTGRESQL]
connection_number=2
PGSQL_host=$PGHOST
PGSQL_port=$PGPORT
PGSQL_db=$PGDATABASE
PGSQL_username=$PGUSER
PGSQL_pwd=$PGPASSWORD

[SYSLOG]
port=$port
certificate=$work/receiver.pem
thread=4
CONF

export QUELM_DEMO_ALERTS=$work/alerts.txt
: >"$QUELM_DEMO_ALERTS"
echo "== starting quelm-receiver -D on port $port (log: $work/receiver.log)"
"$build/quelm-receiver" -f "$work/receiver.conf" -D &
daemon_pid=$!
for _ in $(seq 1 60); do
  grep -q "SYSLOG was starting" "$work/receiver.log" 2>/dev/null && break
  kill -0 "$daemon_pid" 2>/dev/null || { cat "$work/receiver.log"; exit 1; }
  sleep 0.5
done
grep -q "SYSLOG was starting" "$work/receiver.log" || { echo "the Receiver did not start"; exit 1; }

url="wss://127.0.0.1:$port/"
send() { "$build/tools/quelm-notify" "$url" --cacert "$work/ca.pem" --json "$1"; }

# Waits until the given service's last output contains the text.
wait_for() {
  for _ in $(seq 1 100); do
    if [ "$(psql_demo -tA -c "SELECT position('$2' in coalesce(service_last_stdout,'')) > 0 FROM quelm_services WHERE service_id=$1")" = "t" ]; then
      return 0
    fi
    sleep 0.1
  done
  echo "(the Receiver did not store '$2' for service $1 in time)"
}

show() {
  echo
  psql_demo -c "SELECT s.service_name AS service,
      CASE s.service_previous_state WHEN 0 THEN 'OK' WHEN 1 THEN 'WARNING' WHEN 2 THEN 'CRITICAL'
        WHEN 3 THEN 'UNKNOWN' WHEN 4 THEN 'NEW' ELSE s.service_previous_state::text END AS state,
      left(replace(s.service_last_stdout, E'\n', ' '), 70) AS last_output
    FROM quelm_services s ORDER BY s.service_id"
  psql_demo -c "SELECT h.happen_id AS occurrence, s.service_name AS service, e.error_name AS error,
      CASE h.happen_acquitte WHEN 0 THEN 'open' ELSE 'closed' END AS status,
      to_char(h.happen_timestamp, 'HH24:MI:SS') AS opened, to_char(h.happen_time_acquitte, 'HH24:MI:SS') AS closed
    FROM quelm_error_happen h JOIN quelm_services s ON s.service_id = h.happen_service_id
    JOIN quelm_errors e ON e.error_id = h.happen_error_id ORDER BY h.happen_id"
  echo "Alerts that ran:"
  if [ -s "$QUELM_DEMO_ALERTS" ]; then sed 's/^/  /' "$QUELM_DEMO_ALERTS"; else echo "  (none)"; fi
  echo
}

echo
echo "== 1. fw01 reports its uplink down (severity 2): CRITICAL, an occurrence opens, the alert runs"
send '{"fromhost":"fw01","severity":2,"message":"eth0: link down"}'
wait_for 1 "link down"
show

echo "== 2. fw01 is still down: the row is updated, nothing else"
send '{"fromhost":"fw01","severity":2,"message":"eth0: link down (still)"}'
wait_for 1 "still"
show

echo "== 3. fw01 recovers (severity 6): OK, the recovery alert names the occurrence, which closes"
send '{"fromhost":"fw01","severity":6,"message":"eth0: link up"}'
wait_for 1 "link up"
show

echo "== 4. sw01 warns (severity 4), the access point speaks under its syslog name"
send '{"fromhost":"sw01","severity":4,"message":"fan 2 speed low"}'
send '{"fromhost":"ap01.example.net","severity":6,"message":"client associated"}'
wait_for 2 "fan 2"
wait_for 3 "client associated"
show

echo "== 5. an unknown host and a malformed payload: logged, ignored, the Receiver goes on"
send '{"fromhost":"printer7","severity":1,"message":"paper jam"}'
send '{this is not json'
sleep 1
grep -E "search (printer7|daemonbadhost)" "$work/receiver.log" | sed 's/^/  log: /'
echo

if [ -n "$keep" ]; then
  cat <<TXT
== The Receiver (pid $daemon_pid) and the database are still running.
Send your own notifications:
  $build/tools/quelm-notify $url --cacert $work/ca.pem --host fw01 --message "disk failure" 
  $build/tools/quelm-notify $url --cacert $work/ca.pem --json '{"fromhost":"sw01","severity":3,"message":"loop detected"}'
Watch the log:      tail -f $work/receiver.log
Look at the rows:   PGPASSWORD=$PGPASSWORD psql -h $PGHOST -p $PGPORT -U $PGUSER $PGDATABASE
Stop everything:    kill -TERM $daemon_pid; $root/scripts/pg-cluster.sh stop $envfile; rm -rf $work
TXT
  exit 0
fi

echo "== stopping the Receiver with SIGTERM (it exits 10 seconds after its workers end)"
kill -TERM "$daemon_pid"
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
echo "exit status $status; the log ends with:"
grep -E "stop Receiver|fin thread|FINISH" "$work/receiver.log" | sed 's/^/  /'
