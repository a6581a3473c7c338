#!/usr/bin/env bash
# Compiles every translation unit of the daemon, the client and the tools
# with clang's thread-safety analysis, syntax only: data marked guarded that
# is touched without its lock, or a lock left held, fails the check.
#   thread-safety.sh [BUILD_DIR]   BUILD_DIR (default ./build-thread-safety)
#                                  is configured for its compile commands
#                                  only; nothing is built there
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build-thread-safety}
for tool in clang++ jq; do
  command -v "$tool" >/dev/null || { echo "thread-safety: $tool is missing (scripts/install-deps.sh)" >&2; exit 2; }
done

# Configured with clang itself, so that every flag in the commands is one it
# knows; the tests are left out.
cmake -S "$root" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DQUELM_BUILD_TESTS=OFF -DQUELM_BUILD_BENCH=OFF >/dev/null

# One line per unit: its directory, then its command without the output.
folders='core|database|intake|services|execution|processing|app|client|tools'
mapfile -t units < <(jq -r --arg root "$root" --arg folders "$folders" \
  '.[] | select(.file | test("^" + $root + "/(" + $folders + ")/")) | "cd \(.directory) && \(.command)"' \
  "$build/compile_commands.json" | sed -E 's/ -o [^ ]+ / /')
[ ${#units[@]} -gt 0 ] || { echo "thread-safety: no unit found in $build" >&2; exit 2; }

start=$SECONDS
if ! printf '%s\0' "${units[@]}" | xargs -0 -P 2 -I '{}' \
  sh -c '{} -fsyntax-only -Wthread-safety -Wthread-safety-beta -Werror'; then
  echo "thread-safety: clang reported the findings above" >&2
  exit 1
fi
echo "thread-safety: ${#units[@]} units clean in $((SECONDS - start)) s"
