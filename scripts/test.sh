#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The tests start
# their own throwaway PostgreSQL on 127.0.0.1 and stop it at the end.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
BUILD_DIR=$build "$root/scripts/build.sh"

# Never leave a server behind, even when ctest is interrupted.
trap '"$root/scripts/pg-cluster.sh" stop "$build/testdb.env" >/dev/null 2>&1 || true' EXIT
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
