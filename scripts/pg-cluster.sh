#!/usr/bin/env bash
# A throwaway PostgreSQL cluster on 127.0.0.1 for tests and the demo.
#
#   pg-cluster.sh start ENVFILE [SQL...]   initdb, start on a free port, create
#                                          role "quelm" (password auth) and
#                                          database "quelm" loaded with
#                                          schema/product.sql and the SQL files
#                                          given; write the connection settings
#                                          to ENVFILE (KEY=VALUE lines)
#   pg-cluster.sh stop ENVFILE             stop the cluster and remove it
#   pg-cluster.sh restart ENVFILE          restart the server (same port/data)
#   pg-cluster.sh halt ENVFILE             stop the server, keep its data
#   pg-cluster.sh resume ENVFILE           start a halted server again
#   pg-cluster.sh crash ENVFILE            stop the server at once, as a crash
#                                          would (immediate mode: no checkpoint)
#   pg-cluster.sh standby ENVFILE PRIMARY [sync]
#                                          make a streaming standby of the
#                                          running cluster whose settings are
#                                          in the file PRIMARY: a base backup
#                                          (pg_basebackup -R, over 127.0.0.1 as
#                                          "quelm", given the REPLICATION
#                                          attribute) started on a free port of
#                                          its own; write its settings to
#                                          ENVFILE, for the actions above. With
#                                          sync, the primary's commits wait for
#                                          it (synchronous replication)
#   pg-cluster.sh promote ENVFILE          promote a standby to a primary
#
# PostgreSQL refuses to run as root: as root the server runs as "postgres"
# in a directory that user owns.
set -euo pipefail
# QUELM_PG_DURABLE=1: commits reach the disk (fsync on), as in production;
# otherwise fsync is off, for speed.
fsync=off
[ "${QUELM_PG_DURABLE:-0}" = 1 ] && fsync=on

root=$(cd "$(dirname "$0")/.." && pwd)
action=${1:-}
envfile=${2:-}
usage="usage: $0 start|stop|restart|halt|resume|crash|standby|promote ENVFILE [SQL...|PRIMARY [sync]]"
[ -n "$action" ] && [ -n "$envfile" ] || { echo "$usage" >&2; exit 2; }
shift 2

pgbin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$pgbin/initdb" ] || { echo "pg-cluster: PostgreSQL server binaries not found" >&2; exit 1; }

as_owner() {
  if [ "$(id -u)" -eq 0 ]; then
    runuser -u postgres -- "$@"
  else
    "$@"
  fi
}

port_is_free() {
  ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

stop_cluster() {
  [ -f "$envfile" ] || return 0
  dir=$(sed -n 's/^QUELM_PG_DIR=//p' "$envfile")
  if [ -n "$dir" ] && [ -d "$dir/data" ]; then
    as_owner "$pgbin/pg_ctl" -D "$dir/data" -m fast -w -t 30 stop >/dev/null 2>&1 \
      || as_owner "$pgbin/pg_ctl" -D "$dir/data" -m immediate -w -t 10 stop >/dev/null 2>&1 || true
  fi
  [ -n "$dir" ] && rm -rf "$dir"
  rm -f "$envfile"
}

server_ctl() {
  dir=$(sed -n 's/^QUELM_PG_DIR=//p' "$envfile")
  port=$(sed -n 's/^PGPORT=//p' "$envfile")
  [ -n "$dir" ] || { echo "pg-cluster: no cluster in $envfile" >&2; exit 1; }
  as_owner "$pgbin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 -m fast \
    -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir -c max_connections=200 -c fsync=$fsync" \
    "$1" >/dev/null
}

# A new directory for a cluster, owned by the user the server runs as.
make_dir() {
  dir=$(mktemp -d /tmp/quelm-pg.XXXXXX)
  chmod 755 "$dir"
  [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$dir"
  return 0
}

# Starts the server of $dir/data on a free port, set in $port.
start_on_free_port() {
  for _ in $(seq 1 20); do
    port=$((20000 + RANDOM % 30000))
    port_is_free "$port" || continue
    if as_owner "$pgbin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir -c max_connections=200 -c fsync=$fsync" \
      start >/dev/null 2>&1; then
      return 0
    fi
  done
  echo "pg-cluster: the server did not start" >&2
  cat "$dir/server.log" >&2
  exit 1
}

write_envfile() {
  cat >"$envfile" <<ENV
PGHOST=127.0.0.1
PGPORT=$port
PGUSER=quelm
PGPASSWORD=$password
PGDATABASE=quelm
QUELM_PG_DIR=$dir
ENV
}

case "$action" in
stop)
  stop_cluster
  ;;
restart)
  server_ctl restart
  ;;
halt)
  server_ctl stop
  ;;
resume)
  server_ctl start
  ;;
crash)
  dir=$(sed -n 's/^QUELM_PG_DIR=//p' "$envfile")
  [ -n "$dir" ] || { echo "pg-cluster: no cluster in $envfile" >&2; exit 1; }
  as_owner "$pgbin/pg_ctl" -D "$dir/data" -m immediate -w -t 30 stop >/dev/null
  ;;
promote)
  dir=$(sed -n 's/^QUELM_PG_DIR=//p' "$envfile")
  [ -n "$dir" ] || { echo "pg-cluster: no cluster in $envfile" >&2; exit 1; }
  as_owner "$pgbin/pg_ctl" -D "$dir/data" -w -t 30 promote >/dev/null
  ;;
standby)
  primary=${1:-}
  [ -f "$primary" ] || { echo "$usage" >&2; exit 2; }
  primary_dir=$(sed -n 's/^QUELM_PG_DIR=//p' "$primary")
  primary_port=$(sed -n 's/^PGPORT=//p' "$primary")
  password=$(sed -n 's/^PGPASSWORD=//p' "$primary")
  stop_cluster
  # initdb's pg_hba.conf already lets a role with the REPLICATION attribute
  # replicate from 127.0.0.1 with its password ("host replication all
  # 127.0.0.1/32 scram-sha-256"); wal_level=replica is the default.
  as_owner psql -X -q -v ON_ERROR_STOP=1 -h "$primary_dir" -p "$primary_port" -U postgres -d postgres \
    -c "ALTER ROLE quelm REPLICATION;" >/dev/null
  make_dir
  # -R writes standby.signal and primary_conninfo (with the password).
  as_owner env PGPASSWORD="$password" "$pgbin/pg_basebackup" -h 127.0.0.1 -p "$primary_port" -U quelm \
    -D "$dir/data" -R -X stream -c fast >"$dir/basebackup.log" 2>&1 \
    || { cat "$dir/basebackup.log" >&2; rm -rf "$dir"; exit 1; }
  start_on_free_port
  write_envfile
  if [ "${2:-}" = sync ]; then
    as_owner psql -X -q -v ON_ERROR_STOP=1 -h "$primary_dir" -p "$primary_port" -U postgres -d postgres \
      -c "ALTER SYSTEM SET synchronous_standby_names = '*';" -c "SELECT pg_reload_conf();" >/dev/null
    for _ in $(seq 1 100); do
      state=$(as_owner psql -X -A -t -h "$primary_dir" -p "$primary_port" -U postgres -d postgres \
        -c "SELECT string_agg(sync_state, ',') FROM pg_stat_replication")
      [ "$state" = sync ] && break
      sleep 0.1
    done
    [ "$state" = sync ] || { echo "pg-cluster: the standby is not synchronous ($state)" >&2; exit 1; }
  fi
  ;;
start)
  stop_cluster
  make_dir
  password="quelm-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
  printf '%s\n' "$password" >"$dir/pwfile"
  [ "$(id -u)" -eq 0 ] && chown postgres:postgres "$dir/pwfile"
  as_owner "$pgbin/initdb" -D "$dir/data" -U postgres -A trust --auth-host=scram-sha-256 \
    -E UTF8 --locale=C.UTF-8 >"$dir/initdb.log" 2>&1 \
    || { cat "$dir/initdb.log" >&2; exit 1; }
  start_on_free_port
  psql_super=(as_owner psql -X -q -v ON_ERROR_STOP=1 -h "$dir" -p "$port" -U postgres)
  "${psql_super[@]}" -d postgres -c "CREATE ROLE quelm LOGIN CREATEDB CREATEROLE PASSWORD '$password';" >/dev/null
  "${psql_super[@]}" -d postgres -c "CREATE DATABASE quelm OWNER quelm;" >/dev/null
  for sql in "$root/schema/product.sql" "$@"; do
    PGPASSWORD=$password psql -X -q -v ON_ERROR_STOP=1 -h 127.0.0.1 -p "$port" -U quelm -d quelm -f "$sql" >/dev/null
  done
  write_envfile
  ;;
*)
  echo "$usage" >&2
  exit 2
  ;;
esac
