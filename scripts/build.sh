#!/usr/bin/env bash
# Configures and builds the Receiver into ./build (or $BUILD_DIR).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
# Benchmarks are built only when asked for (scripts/bench.sh does).
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} \
  -DQUELM_BUILD_BENCH=${QUELM_BUILD_BENCH:-OFF} >/dev/null
cmake --build "$build" -j"$(nproc)"
