#!/usr/bin/env bash
# Installs what ondrel needs, builds it, and runs every test: the unit and integration tests of a
# release build (warnings are errors), then the unit tests under AddressSanitizer +
# UndefinedBehaviorSanitizer and under ThreadSanitizer. Any failure or sanitizer report fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/install-deps.sh

build() {  # build <dir> [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DONDREL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

echo "== release build: every test"
build build
(cd build && ctest --output-on-failure --no-tests=error -j 1)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer: unit tests"
build build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_SANITIZE=address,undefined -DONDREL_BENCH=OFF
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --output-on-failure --no-tests=error -L unit -j "$jobs")

echo "== ThreadSanitizer: unit tests"
build build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DONDREL_SANITIZE=thread -DONDREL_BENCH=OFF
# TSan's runtime cannot map its shadow memory under the kernel's widest address randomisation.
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  setarch "$(uname -m)" -R ctest --output-on-failure --no-tests=error -L unit -j "$jobs")
echo "all tests passed"
