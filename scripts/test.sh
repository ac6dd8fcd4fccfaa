#!/usr/bin/env bash
# Installs what ondrel needs, builds it, and runs every test: the unit and integration tests of a
# release build (warnings are errors); the Debian package, checked by lintian, installed and
# recorded through; every test again under AddressSanitizer + UndefinedBehaviorSanitizer; the unit
# tests and the end-to-end tests of the binary under ThreadSanitizer; then each fuzzer for a
# minute. Any failure or sanitizer report fails it.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
stage() { echo "== [${SECONDS}s] $*"; }  # each stage with the time it starts at

bash scripts/install-deps.sh

# Sanitizer builds: -O1 as the sanitizers advise, and line tables for their stack traces only,
# which halves the build.
sanitized=(-DCMAKE_BUILD_TYPE=RelWithDebInfo "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1 -DNDEBUG"
  -DONDREL_BENCH=OFF)

build() {  # build <dir> [cmake options...]
  local dir=$1
  shift
  cmake -S . -B "$dir" -DONDREL_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

stage "release build: every test"
build build
(cd build && ctest --output-on-failure --no-tests=error -L unit -j "$jobs" &&
  ctest --output-on-failure --no-tests=error -L integration -j 1)

stage "the Debian package: lintian, then recording through the installed /usr/bin/ondrel"
bash scripts/package-test.sh build

# Large graph quanta push a sound server's timing to the edge; under the sanitizer's slowdown
# that test measures the slowdown, so it runs in the release build only.
stage "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
build build-asan "${sanitized[@]}" -DONDREL_SANITIZE=address,undefined
(cd build-asan && export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 &&
  ctest --output-on-failure --no-tests=error -L unit -j "$jobs" &&
  ctest --output-on-failure --no-tests=error -L integration -j 1 -E 'LargeGraphQuanta')

# The sound-server tests assert real-time behaviour that ThreadSanitizer's slowdown distorts; the
# binary's end-to-end tests still run every thread of the tool under it.
stage "ThreadSanitizer: unit tests and the end-to-end tests of the binary"
build build-tsan "${sanitized[@]}" -DONDREL_SANITIZE=thread
# TSan's runtime cannot map its shadow memory under the kernel's widest address randomisation.
export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
(cd build-tsan &&
  setarch "$(uname -m)" -R ctest --output-on-failure --no-tests=error -L unit -j "$jobs" &&
  setarch "$(uname -m)" -R ctest --output-on-failure --no-tests=error -R '^OndrelCli\.' -j 1)
unset TSAN_OPTIONS

stage "fuzzing: each target for a minute, one per core"
FUZZ_JOBS=$jobs bash scripts/fuzz.sh 60
echo "all tests passed in ${SECONDS}s"
