#!/usr/bin/env bash
# Builds the Receiver and its benchmarks, starts a throwaway PostgreSQL
# cluster loaded with bench/bench.sql, runs the benchmarks against a real
# daemon on 127.0.0.1 and stops everything again, whatever happens.
#
#   bench.sh [--bench throughput|soak|runner|intake|all] [--count N] [--skip-build]
#            [--throughput-args "ARGS"] [--soak-args "ARGS"] [--durable]
#
#   --bench            which benchmark to run (default: all)
#   --count N          notifications of the soak run (default 1000000)
#   --skip-build       use the binaries already in the build directory
#   --throughput-args  extra options for quelm-bench-throughput (see --help)
#   --soak-args        extra options for quelm-bench-soak (see --help)
#   --durable          the cluster commits to disk: fsync, synchronous_commit
#                      and full_page_writes on (default: fsync off)
#
# The build goes to ./build-bench (or $BUILD_DIR), in Release mode.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
which=all
count=1000000
skip_build=""
throughput_args=""
soak_args=""

usage() {
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
  exit 2
}

while [ $# -gt 0 ]; do
  case "$1" in
  --bench) which=${2:-}; shift 2 ;;
  --count) count=${2:-}; shift 2 ;;
  --skip-build) skip_build=yes; shift ;;
  --throughput-args) throughput_args=${2:-}; shift 2 ;;
  --soak-args) soak_args=${2:-}; shift 2 ;;
  --durable) export QUELM_PG_DURABLE=1; shift ;;
  -h|--help) usage ;;
  *) echo "bench.sh: unknown option $1" >&2; usage ;;
  esac
done
case "$which" in throughput|soak|runner|intake|all) ;; *) echo "bench.sh: --bench takes throughput, soak, runner, intake or all" >&2; exit 2 ;; esac
case "$count" in ''|*[!0-9]*) echo "bench.sh: --count takes a number" >&2; exit 2 ;; esac

if [ -z "$skip_build" ]; then
  "$root/scripts/install-deps.sh"
  BUILD_DIR=$build BUILD_TYPE=Release QUELM_BUILD_BENCH=ON "$root/scripts/build.sh"
fi
for binary in quelm-receiver bench/quelm-bench-plugin bench/quelm-bench-throughput bench/quelm-bench-soak; do
  [ -x "$build/$binary" ] || { echo "bench.sh: $build/$binary is missing; build first" >&2; exit 1; }
done

envfile=$(mktemp /tmp/quelm-bench-env.XXXXXX)
cleanup() {
  "$root/scripts/pg-cluster.sh" stop "$envfile" || true
  rm -f "$envfile"
}
trap cleanup EXIT
# An interrupted run also stops the running benchmark (and with it its
# daemon, which dies with the benchmark).
child=""
trap 'if [ -n "$child" ]; then kill -TERM "$child" 2>/dev/null || true; fi; exit 130' INT TERM

# Runs a benchmark under a time limit, in the background so that the traps
# above fire at once. A safety net only: every bench bounds itself.
run_bounded() {
  local limit=$1
  shift
  timeout --kill-after=30 "$limit" "$@" &
  child=$!
  local result=0
  wait "$child" || result=$?
  child=""
  return "$result"
}

# The runner and intake benches need no database and no daemon: they run
# before the cluster starts, and alone they do not start it.
local_status=0
for local_bench in runner intake; do
  if [ "$which" = "$local_bench" ] || [ "$which" = all ]; then
    [ -x "$build/bench/quelm-bench-$local_bench" ] || { echo "bench.sh: $build/bench/quelm-bench-$local_bench is missing; build first" >&2; exit 1; }
    echo "== $local_bench bench"
    timeout --kill-after=30 900 "$build/bench/quelm-bench-$local_bench" || local_status=$?
  fi
done
if [ "$which" = runner ] || [ "$which" = intake ]; then
  exit $local_status
fi

echo "== starting a throwaway PostgreSQL cluster"
"$root/scripts/pg-cluster.sh" start "$envfile" "$root/bench/bench.sql"

status=0
if [ "$which" = throughput ] || [ "$which" = all ]; then
  echo "== throughput bench"
  # shellcheck disable=SC2086
  run_bounded 1800 "$build/bench/quelm-bench-throughput" --env "$envfile" $throughput_args || status=$?
fi
if [ "$which" = soak ] || [ "$which" = all ]; then
  echo "== soak bench ($count notifications)"
  # shellcheck disable=SC2086
  run_bounded 10800 "$build/bench/quelm-bench-soak" --env "$envfile" --count "$count" $soak_args || status=$?
fi
if [ "$status" -eq 0 ]; then status=$local_status; fi
exit $status
