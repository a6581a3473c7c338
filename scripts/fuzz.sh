#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang++ into ./build-fuzz (or
# $FUZZ_BUILD_DIR) and runs each one for SECONDS (default 600), one after
# the other. Each target grows its own corpus under build-fuzz/corpus/,
# seeded from fuzz/corpus/; a crashing input is written to
# build-fuzz/findings/ and stops the script with a failure.
#   scripts/fuzz.sh [SECONDS] [TARGET...]     TARGET e.g. tokenizer
#   FUZZ_JOBS=2 scripts/fuzz.sh 600           two targets at a time
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD_DIR:-$root/build-fuzz}
seconds=${1:-600}
shift || true
jobs=${FUZZ_JOBS:-1}

# The fuzzing toolchain: clang and compiler-rt's libFuzzer and sanitizer
# runtimes, on top of what the Receiver itself needs to build.
install_fuzz_deps() {
  "$root/scripts/install-deps.sh"
  local packages=(clang libclang-rt-dev) missing=() p status
  for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo_cmd=()
  [ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

install_fuzz_deps
cmake -S "$root/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j"$(nproc)"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(tokenizer payload_host)
fi

run_one() {
  local target=$1 corpus="$build/corpus/$1" findings="$build/findings/$1" dict=()
  mkdir -p "$corpus" "$findings"
  # Tokens the mutations splice in, for code whose libraries are not
  # instrumented (JSON parsing) or whose syntax is hard to guess.
  [ -f "$root/fuzz/$target.dict" ] && dict=(-dict="$root/fuzz/$target.dict")
  # New inputs go to the first directory, $corpus; the seeds are read too.
  echo "$target: fuzzing for ${seconds}s"
  "$build/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
    -print_final_stats=1 -artifact_prefix="$findings/" "${dict[@]}" "$corpus" "$root/fuzz/corpus/$target" \
    >"$build/$target.log" 2>&1 && status=0 || status=$?
  tail -n 12 "$build/$target.log" | grep -E "^(stat::|Done|==|SUMMARY)" | sed "s/^/$target: /" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz_$target FAILED (status $status): see $build/$target.log and $findings/" >&2
    return 1
  fi
}

failed=0
running=0
for target in "${targets[@]}"; do
  run_one "$target" &
  running=$((running + 1))
  if [ "$running" -ge "$jobs" ]; then
    wait -n || failed=1
    running=$((running - 1))
  fi
done
while [ "$running" -gt 0 ]; do
  wait -n || failed=1
  running=$((running - 1))
done
exit "$failed"
