#!/usr/bin/env bash
# Installs what ondrel needs, builds it, and runs every test: the unit tests and the end-to-end
# scenarios' real-time figures in a release build (warnings are errors); the Debian package,
# checked by lintian, installed and recorded through; the unit tests and every end-to-end scenario
# under AddressSanitizer + UndefinedBehaviorSanitizer; the unit tests and the host-contract
# scenarios under ThreadSanitizer; then each fuzzer for a minute. Any failure or sanitizer report
# fails it.
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

# End-to-end scenarios against the binary and the probe of one build; each starts its own private
# PulseAudio or PipeWire server, so they run one at a time. E2E_LAUNCH prefixes the command.
e2e() {  # e2e <build dir> <pytest arguments...>
  local dir=$1
  shift
  ONDREL_TEST_BINARY=$PWD/$dir/ondrel ONDREL_TEST_PROBE=$PWD/$dir/ondrel_stall_probe \
    ${E2E_LAUNCH:-} /usr/bin/python3 -m pytest -p no:cacheprovider -q -rs "$@"
}

stage "release build: unit tests, and the scenarios that measure real-time figures"
build build
(cd build && ctest --output-on-failure --no-tests=error -L unit -j "$jobs")
e2e build tests/e2e -m figures

stage "the Debian package: lintian, then recording through the installed /usr/bin/ondrel"
bash scripts/package-test.sh build

# Every scenario once, here: the sanitizer checks the behaviour, while the real-time figures it
# would distort are reported, not asserted (the release run asserts them).
stage "AddressSanitizer + UndefinedBehaviorSanitizer: unit tests and every scenario"
build build-asan "${sanitized[@]}" -DONDREL_SANITIZE=address,undefined
(
  export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
  (cd build-asan && ctest --output-on-failure --no-tests=error -L unit -j "$jobs")
  ONDREL_SANITIZED=1 e2e build-asan tests/e2e
)

stage "ThreadSanitizer: unit tests and the host-contract scenarios"
build build-tsan "${sanitized[@]}" -DONDREL_SANITIZE=thread
# TSan's runtime cannot map its shadow memory under the kernel's widest address randomisation.
(
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tests/tsan.supp"
  (cd build-tsan && setarch "$(uname -m)" -R ctest --output-on-failure --no-tests=error -L unit \
    -j "$jobs")
  ONDREL_SANITIZED=1 E2E_LAUNCH="setarch $(uname -m) -R" e2e build-tsan tests/e2e/test_host.py
)

stage "fuzzing: each target for a minute, one per core"
FUZZ_JOBS=$jobs bash scripts/fuzz.sh 60
echo "all tests passed in ${SECONDS}s"
