#!/usr/bin/env bash
# Builds the Receiver, starts a throwaway PostgreSQL with the product schema,
# runs the Receiver against it and shows its log.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
BUILD_DIR=$build "$root/scripts/build.sh"

work=$(mktemp -d /tmp/quelm-demo.XXXXXX)
envfile=$work/db.env
daemon_pid=""
cleanup() {
  [ -n "$daemon_pid" ] && kill -TERM "$daemon_pid" 2>/dev/null && wait "$daemon_pid" 2>/dev/null || true
  "$root/scripts/pg-cluster.sh" stop "$envfile" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "== starting a throwaway PostgreSQL"
"$root/scripts/pg-cluster.sh" start "$envfile"
# shellcheck disable=SC1090
. "$envfile"

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
port=0
thread=2
CONF

echo "== starting quelm-receiver -D"
"$build/quelm-receiver" -f "$work/receiver.conf" -D &
daemon_pid=$!
for _ in $(seq 1 40); do
  grep -q "SYSLOG was starting" "$work/receiver.log" 2>/dev/null && break
  sleep 0.5
done
echo "== stopping it with SIGTERM"
kill -TERM "$daemon_pid"
wait "$daemon_pid" && status=0 || status=$?
daemon_pid=""
echo "== the Receiver's log (exit status $status)"
cat "$work/receiver.log"
