#!/usr/bin/env bash
# Runs the demo to its end against the already built tree and checks that its
# tables tell the story they should.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
out=$(BUILD_DIR=$1 timeout 300 "$root/scripts/demo.sh" 2>&1)
status=$?
echo "$out"
fail() { echo "DEMO CHECK FAILED: $1"; exit 1; }
[ $status -eq 0 ] || fail "demo.sh exited with $status"
grep -Eq "fw01 syslog \| CRITICAL +\| CRITICAL: fw01: eth0: link down" <<<"$out" || fail "fw01 never went CRITICAL"
grep -Eq "fw01 syslog \| OK +\| OK: fw01: eth0: link up" <<<"$out" || fail "fw01 never recovered"
grep -Eq "1 \| fw01 syslog \| default_critical_error \| closed" <<<"$out" || fail "the CRITICAL occurrence was not closed"
grep -Eq "2 \| sw01 syslog \| default_warning_error +\| open" <<<"$out" || fail "no WARNING occurrence for sw01"
[ "$(grep -c "alert --occurrence 1 --service fw01" <<<"$(tail -n 30 <<<"$out")")" -ge 2 ] || fail "fw01 alerts missing"
grep -Eq "ap01 syslog \| OK +\| OK: ap01.example.net: client associated" <<<"$out" || fail "ap01 not found by its syslog name"
grep -q "log: search printer7" <<<"$out" || fail "unknown host not logged"
grep -q "exit status 0" <<<"$out" || fail "the Receiver did not stop cleanly"
grep -q "#INFO#FINISH" <<<"$out" || fail "no FINISH line"
echo "demo check passed"
