#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz (the libraries instrumented too, under
# ASan + UBSan) and runs each for a bounded time on a scratch copy of its corpus, so the repository
# is never modified. Prints executions per target; exits non-zero if any target crashed.
#
# Usage: scripts/fuzz.sh [seconds per target] [target...]
#   targets: convert stop_line (default: all)
#   FUZZ_JOBS=N runs N targets at a time (default 1).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[[ ${#targets[@]} -gt 0 ]] || targets=(convert stop_line)
jobs=${FUZZ_JOBS:-1}
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_FUZZ=ON -DONDREL_BENCH=OFF \
  -DONDREL_SANITIZE=address,undefined \
  -DCMAKE_C_FLAGS=-fsanitize=fuzzer-no-link -DCMAKE_CXX_FLAGS=-fsanitize=fuzzer-no-link >/dev/null
cmake --build "$build" -j "$(nproc)" --target "${targets[@]/%/_fuzzer}"

scratch=$(mktemp -d "${TMPDIR:-/tmp}/ondrel-fuzz.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
artifacts="$build/fuzz/artifacts"
mkdir -p "$artifacts"
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run() {  # run <target>: one bounded session; its log holds the final statistics
  local target=$1
  local corpus="$scratch/$target/corpus"
  mkdir -p "$corpus"
  cp fuzz/corpus/"$target"/* "$corpus"/
  local options=(-max_total_time="$seconds" -rss_limit_mb=2048 -print_final_stats=1
    -artifact_prefix="$artifacts/$target-")
  [[ -f fuzz/$target.dict ]] && options+=(-dict="fuzz/$target.dict")
  # New inputs go to the scratch corpus; the seeds in fuzz/corpus stay as they are.
  if "$build/fuzz/${target}_fuzzer" "${options[@]}" "$corpus" >"$scratch/$target.log" 2>&1; then
    echo 0 >"$scratch/$target.rc"
  else
    echo $? >"$scratch/$target.rc"
  fi
}

running=0
for target in "${targets[@]}"; do
  echo "== fuzzing $target for ${seconds}s"
  run "$target" &
  running=$((running + 1))
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
done
wait || true

failed=0
printf '\n%-12s %14s %8s  %s\n' target executions rss_mb result
for target in "${targets[@]}"; do
  log="$scratch/$target.log"
  rc=$(cat "$scratch/$target.rc" 2>/dev/null || echo 1)
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$log" | tail -1)
  result=ok
  if [[ $rc != 0 ]]; then
    result="CRASH (exit $rc)"
    failed=1
  fi
  printf '%-12s %14s %8s  %s\n' "$target" "${execs:-?}" "${rss:-?}" "$result"
  if [[ $rc != 0 ]]; then
    # The finding, the sanitizer report and where the reproducer was saved.
    grep -E '_fuzzer: |ERROR: |runtime error|SUMMARY|Test unit written' "$log" | head -20 | sed 's/^/    /'
  fi
done
exit "$failed"
