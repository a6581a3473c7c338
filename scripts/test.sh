#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. The tests start
# their own throwaway PostgreSQL on 127.0.0.1 and stop it at the end.
#   test.sh [CTEST ARGS...]              the normal build in ./build
#   test.sh --sanitize [CTEST ARGS...]   every test under AddressSanitizer and
#                                        UndefinedBehaviorSanitizer (./build-asan)
#   test.sh --tsan [CTEST ARGS...]       the concurrency tests under
#                                        ThreadSanitizer (./build-tsan)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitizer=
case "${1:-}" in
  --sanitize | --tsan) sanitizer=$1; shift ;;
esac
build=${BUILD_DIR:-$root/build}

"$root/scripts/install-deps.sh"
if [ -z "$sanitizer" ]; then
  BUILD_DIR=$build "$root/scripts/build.sh"
else
  if [ "$sanitizer" = --sanitize ]; then
    build=${BUILD_DIR:-$root/build-asan}
    flags="-fsanitize=address,undefined -fno-omit-frame-pointer"
    # Any finding fails the process that made it, and so its test; the
    # suppressions cover only objects that are never freed by design.
    export ASAN_OPTIONS="halt_on_error=1:detect_leaks=1:check_initialization_order=1:strict_init_order=1"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
    export LSAN_OPTIONS="suppressions=$root/tests/lsan.supp:print_suppressions=0"
  else
    build=${BUILD_DIR:-$root/build-tsan}
    flags="-fsanitize=thread"
    export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$root/tests/tsan.supp"
    # Only the tests where threads meet, unless the caller picks others.
    [ $# -gt 0 ] || set -- -R 'Log|Pool|Listener|Registry|PluginRunner|Persistent|Workers'
  fi
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo} -DQUELM_BUILD_BENCH=OFF \
    -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" >/dev/null
  cmake --build "$build" -j"$(nproc)"
fi

# Debian's syslog-ng conflicts with rsyslog: the forwarding test runs a copy
# unpacked into the build tree.
"$root/scripts/fetch-syslog-ng.sh" "$build/syslog-ng"

# Never leave a server behind, even when ctest is interrupted.
trap '"$root/scripts/pg-cluster.sh" stop "$build/testdb.env" >/dev/null 2>&1 || true' EXIT
cd "$build"
ctest --output-on-failure -j"$(nproc)" "$@"
