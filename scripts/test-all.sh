#!/usr/bin/env bash
# Installs everything the tests need, builds, and runs every test: the
# release build, AddressSanitizer + UBSan and ThreadSanitizer builds (each
# with a bounded soak run against its server), and the fuzzers for a
# bounded time each. Any failure or sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y g++ clang libclang-rt-14-dev cmake ninja-build \
  libgtest-dev libgmock-dev netbase procps

JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
SOAK_REQUESTS=${SOAK_REQUESTS:-20000}
SOAK_SANITIZER_REQUESTS=${SOAK_SANITIZER_REQUESTS:-5000}

stage() { echo; echo "=== $*"; }

stage "release build with debug information: every test"
cmake -S . -B build -G Ninja -DTARVELD_WERROR=ON -DTARVELD_TESTS=ON
cmake --build build
ctest --no-tests=error --test-dir build -j "$JOBS" --output-on-failure

stage "soak run: release build, $SOAK_REQUESTS requests"
bench/soak.sh "$SOAK_REQUESTS" 48 build

stage "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake -S . -B build-asan -G Ninja -DTARVELD_WERROR=ON -DTARVELD_SANITIZE=address,undefined -DTARVELD_TESTS=ON
cmake --build build-asan
ctest --no-tests=error --test-dir build-asan -j "$JOBS" --output-on-failure

# The sanitizer's allocator holds freed memory back: resident memory is no
# measure of leaks there, its leak check at the server's exit is.
stage "soak run: AddressSanitizer build, $SOAK_SANITIZER_REQUESTS requests"
SOAK_RSS_SLACK_KIB=1048576 bench/soak.sh "$SOAK_SANITIZER_REQUESTS" 48 build-asan

stage "ThreadSanitizer: every test"
cmake -S . -B build-tsan -G Ninja -DTARVELD_WERROR=ON -DTARVELD_SANITIZE=thread -DTARVELD_TESTS=ON
cmake --build build-tsan
ctest --no-tests=error --test-dir build-tsan -j "$JOBS" --output-on-failure

stage "soak run: ThreadSanitizer build, $SOAK_SANITIZER_REQUESTS requests"
SOAK_RSS_SLACK_KIB=1048576 bench/soak.sh "$SOAK_SANITIZER_REQUESTS" 48 build-tsan

stage "fuzzers, ${FUZZ_SECONDS} s each"
cmake -S . -B build-fuzz -G Ninja -DTARVELD_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ -DTARVELD_FUZZ=ON \
  -DTARVELD_TESTS=OFF
cmake --build build-fuzz
scripts/run-fuzzers.sh build-fuzz "$FUZZ_SECONDS"

stage "Windows build under Wine: unit and end-to-end tests"
scripts/test-windows.sh

stage "package, service, manual pages, Windows ZIP and scale-out"
scripts/test-package.sh
