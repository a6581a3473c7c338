#!/usr/bin/env bash
# Checks the tree against the repository's own settings: clang-format in
# check mode (.clang-format) and clang-tidy (.clang-tidy) over every C++
# source of the daemon, the tools, the benchmarks and the tests, then
# clang's thread-safety analysis (scripts/thread-safety.sh).
#   lint.sh                  check; exit 1 when any of them reports something
#   lint.sh --fix            rewrite the files clang-format would change, then check
#   lint.sh --thread-safety  the thread-safety analysis alone
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

"$root/scripts/install-deps.sh"
if [ "${1:-}" = --thread-safety ]; then
  exec "$root/scripts/thread-safety.sh"
fi
for tool in clang-format clang-tidy; do
  command -v "$tool" >/dev/null || { echo "lint: $tool is missing" >&2; exit 2; }
done

mapfile -t sources < <(git ls-files '*.cpp' '*.h' '*.c')
status=0

if [ "${1:-}" = --fix ]; then
  clang-format -i "${sources[@]}"
fi
if ! clang-format --dry-run --Werror "${sources[@]}"; then
  echo "lint: clang-format would change the files above (scripts/lint.sh --fix)" >&2
  status=1
fi

# clang-tidy reads how each file is compiled from the build's database.
build=${LINT_BUILD_DIR:-$root/build-lint}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Debug -DQUELM_BUILD_BENCH=ON \
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -UQUELM_TEST_FOLDERS >/dev/null
units=()
for file in "${sources[@]}"; do
  case "$file" in
    *.cpp | *.c) units+=("$file") ;;
  esac
done
# Headers are checked through the units that include them.
if ! printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 8 \
  clang-tidy -p "$build" --quiet --warnings-as-errors='*' --header-filter="^$root/(app|client|core|database|execution|intake|processing|services|tools|bench|tests|fuzz)/" 2>/dev/null; then
  echo "lint: clang-tidy reported the findings above" >&2
  status=1
fi
"$root/scripts/thread-safety.sh" || status=1
exit $status
