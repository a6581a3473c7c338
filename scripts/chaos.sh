#!/usr/bin/env bash
# A seeded random fault campaign against three Receivers in cluster mode
# (docs/chaos.md). Installs what is missing and builds first, as test.sh does.
#   chaos.sh [--seconds N] [--seed S] [--keep DIR]
# The seed is printed first; the same seed gives the same fault plan.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
BUILD_DIR=$build "$root/scripts/build.sh"
# The campaign runs the real syslog-ng, unpacked into the build tree.
"$root/scripts/fetch-syslog-ng.sh" "$build/syslog-ng"
exec "$build/tests/chaos/quelm-chaos" "$@"
