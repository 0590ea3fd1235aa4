#!/usr/bin/env bash
# Installs everything the tests need, builds, and runs every test: the
# release build, AddressSanitizer + UBSan and ThreadSanitizer builds, and
# the fuzzers for a bounded time each.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y g++ clang libclang-rt-14-dev cmake ninja-build \
  libgtest-dev libgmock-dev netbase procps

JOBS=$(nproc)
FUZZ_SECONDS=${FUZZ_SECONDS:-60}

stage() { echo; echo "=== $*"; }

stage "release build with debug information: every test"
cmake -S . -B build -G Ninja -DTARVELD_WERROR=ON
cmake --build build
ctest --test-dir build -j "$JOBS" --output-on-failure

stage "AddressSanitizer + UndefinedBehaviorSanitizer: every test"
cmake -S . -B build-asan -G Ninja -DTARVELD_WERROR=ON -DTARVELD_SANITIZE=address,undefined
cmake --build build-asan
ctest --test-dir build-asan -j "$JOBS" --output-on-failure

stage "ThreadSanitizer: every test"
cmake -S . -B build-tsan -G Ninja -DTARVELD_WERROR=ON -DTARVELD_SANITIZE=thread
cmake --build build-tsan
ctest --test-dir build-tsan -j "$JOBS" --output-on-failure

stage "fuzzers, ${FUZZ_SECONDS} s each"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DTARVELD_FUZZ=ON -DTARVELD_TESTS=OFF
cmake --build build-fuzz
scripts/run-fuzzers.sh build-fuzz "$FUZZ_SECONDS"

stage "Windows build under Wine: unit and end-to-end tests"
scripts/test-windows.sh
