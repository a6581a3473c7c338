#!/usr/bin/env bash
# Installs the built tree into a staging directory and checks that the staged
# files run and point at each other: the stock plugin answers, the programs
# are executable, the sample configuration gives every key its own line for
# the daemon's substring lookup, the unit passes systemd's check, and the unit
# and the rsyslog configuration name the installed paths.
#   install_check.sh CMAKE BUILD_DIR BINDIR SYSCONFDIR DATADIR UNITDIR
set -uo pipefail
cmake=$1 build=$2 bindir=$3 sysconfdir=$4 datadir=$5 unitdir=$6
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
failed=0
fail() { echo "INSTALL CHECK FAILED: $1"; failed=1; }

DESTDIR=$stage "$cmake" --install "$build" >/dev/null || { echo "INSTALL CHECK FAILED: cmake --install"; exit 1; }
answer=$(echo '{"fromhost":"fw01","message":"link down"}' | env -i "$stage$bindir/quelm-check-syslog" -c down)
[ "$answer" = "CRITICAL: fw01: link down" ] || fail "quelm-check-syslog answered '$answer'"
for program in quelm-receiver quelm-notify; do
  [ -x "$stage$bindir/$program" ] || fail "$program not installed"
done

# The first line of the section that contains the key, comment lines skipped
# as the daemon skips them, must be that key's own "key=value" line.
sample=$stage$sysconfdir/quelm/receiver.conf.sample
for entry in LOG.log_file POSTGRESQL.connection_number POSTGRESQL.PGSQL_host POSTGRESQL.PGSQL_port \
  POSTGRESQL.PGSQL_db POSTGRESQL.PGSQL_username POSTGRESQL.PGSQL_pwd SYSLOG.port SYSLOG.certificate SYSLOG.cafile \
  SYSLOG.thread SYSLOG.plugin_timeout SYSLOG.alert_timeout SYSLOG.verify_client SYSLOG.queue_limit SYSLOG.max_connections SYSLOG.idle_timeout; do
  section=${entry%%.*} key=${entry#*.}
  line=$(awk -v s="[$section]" -v k="$key" '
    /^\[/ { inside = ($0 == s); next }
    inside && !/^[ \t]*#/ && index($0, k) { print; exit }' "$sample")
  [[ "$line" == "$key="?* ]] || fail "$entry is found as '$line' in the sample configuration"
done

grep -qxF "ExecStart=$bindir/quelm-receiver -f $sysconfdir/quelm/receiver.conf" \
  "$stage$unitdir/quelm-receiver.service" || fail "the unit does not start the installed daemon"
# systemd's own check of the unit, its ExecStart pointed at the staged daemon;
# any complaint fails.
mkdir -p "$stage/verify"
sed "s|$bindir/|$stage$bindir/|g" "$stage$unitdir/quelm-receiver.service" >"$stage/verify/quelm-receiver.service"
verify=$(systemd-analyze verify --man=no "$stage/verify/quelm-receiver.service" 2>&1) ||
  fail "systemd-analyze verify failed: $verify"
[ -z "$verify" ] || fail "systemd-analyze verify complained: $verify"
grep -qx "Type=notify" "$stage$unitdir/quelm-receiver.service" || fail "the unit is not Type=notify"
grep -qF "binary=\"$bindir/quelm-notify " "$stage$datadir/quelm/rsyslog-quelm.conf" ||
  fail "the rsyslog configuration does not run the installed quelm-notify"
for shared in grafana-dashboard.json haproxy-quelm.cfg; do
  [ -s "$stage$datadir/quelm/$shared" ] || fail "$shared not installed"
done
haproxy -c -q -f "$stage$datadir/quelm/haproxy-quelm.cfg" >/dev/null 2>&1 || fail "HAProxy refuses the shipped configuration"
# Every program has its manual page, and man renders each without a warning.
for page in man8/quelm-receiver.8 man1/quelm-notify.1 man1/quelm-check-syslog.1 man5/receiver.conf.5; do
  file=$stage$datadir/man/$page.gz
  [ -s "$file" ] || { fail "$page not installed"; continue; }
  rendered=$(MANWIDTH=80 man -l "$file" 2>&1 >/dev/null)
  [ -z "$rendered" ] || fail "man complains about $page: $rendered"
  MANWIDTH=80 man -l "$file" 2>/dev/null | grep -q '^NAME' || fail "$page does not render"
done
[ $failed -eq 0 ] && echo "install check passed"
exit $failed
