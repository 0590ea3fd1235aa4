#!/usr/bin/env bash
# Installs everything the tests need, builds, and runs every test: the
# release build; an AddressSanitizer + UBSan build (clang) that also holds
# the fuzzers, which replay their seed corpora as tests and then fuzz for a
# bounded time; a ThreadSanitizer build; a bounded soak run against each of
# the three servers; the Windows build under Wine; and the package, service,
# manual page and scale-out check. Any failure or sanitizer report fails the
# run.
#
# The sanitizer builds build no end-to-end test program of their own: the
# release build's drives their server, test CGI program and fault-injecting
# server.
set -euo pipefail
cd "$(dirname "$0")/.."

# One package step for every stage; the scripts called below skip theirs.
if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  g++ clang libclang-rt-14-dev llvm cmake ninja-build libgtest-dev libgmock-dev googletest \
  netbase procps g++-mingw-w64-x86-64-posix wine64 \
  dpkg-dev lintian mandoc man-db systemd adduser curl iproute2 haproxy unzip logrotate \
  python3 libcgi-pm-perl php-cgi goaccess
export TARVELD_SKIP_PACKAGES=1

# The tests mostly wait (time-outs, polls, CGI runs), so three per core
# keep the cores busy; each test picks its own port.
TEST_JOBS=$(($(nproc) * 3))
FUZZ_SECONDS=${FUZZ_SECONDS:-20}
SOAK_REQUESTS=${SOAK_REQUESTS:-20000}
SOAK_SANITIZER_REQUESTS=${SOAK_SANITIZER_REQUESTS:-5000}

stage() { echo; echo "=== $*"; }

# The end-to-end tests of the release build, run against the server, the
# test CGI program and the fault-injecting server of another build.
e2e_tests_against() {
  TARVELD_E2E_BIN="$PWD/$1/tarveld" TESTCGI_E2E_BIN="$PWD/$1/testcgi" \
  FAULTSERVER_E2E_BIN="$PWD/$1/tests/fault_server" \
    ctest --no-tests=error --test-dir build -L e2e -j "$TEST_JOBS" --output-on-failure
}

# The sanitizer's allocator holds freed memory back: resident memory is no
# measure of leaks there, its leak check at the server's exit is.
sanitizer_soak() {
  SOAK_RSS_SLACK_KIB=1048576 bench/soak.sh "$SOAK_SANITIZER_REQUESTS" 48 "$1"
}

stage "release build with debug information: every test"
cmake -S . -B build -G Ninja -DTARVELD_WERROR=ON -DTARVELD_TESTS=ON
cmake --build build
ctest --no-tests=error --test-dir build -j "$TEST_JOBS" --output-on-failure

stage "soak run: release build, $SOAK_REQUESTS requests"
bench/soak.sh "$SOAK_REQUESTS" 48 build

stage "AddressSanitizer + UBSan build with the fuzzers: unit tests, seed corpora"
cmake -S . -B build-asan -G Ninja -DTARVELD_WERROR=ON -DCMAKE_CXX_COMPILER=clang++ \
  -DTARVELD_SANITIZE=address,undefined -DTARVELD_FUZZ=ON -DTARVELD_TESTS=ON -DTARVELD_E2E_TESTS=OFF
cmake --build build-asan
ctest --no-tests=error --test-dir build-asan -j "$TEST_JOBS" --output-on-failure

stage "AddressSanitizer + UBSan: end-to-end tests"
e2e_tests_against build-asan

stage "soak run: AddressSanitizer build, $SOAK_SANITIZER_REQUESTS requests"
sanitizer_soak build-asan

stage "fuzzers, ${FUZZ_SECONDS} s each, side by side"
scripts/run-fuzzers.sh build-asan "$FUZZ_SECONDS"

stage "ThreadSanitizer: unit tests"
cmake -S . -B build-tsan -G Ninja -DTARVELD_WERROR=ON -DTARVELD_SANITIZE=thread \
  -DTARVELD_TESTS=ON -DTARVELD_E2E_TESTS=OFF
cmake --build build-tsan
ctest --no-tests=error --test-dir build-tsan -j "$TEST_JOBS" --output-on-failure

stage "ThreadSanitizer: end-to-end tests"
e2e_tests_against build-tsan

stage "soak run: ThreadSanitizer build, $SOAK_SANITIZER_REQUESTS requests"
sanitizer_soak build-tsan

stage "Windows build under Wine: unit and end-to-end tests"
scripts/test-windows.sh

stage "package, service, manual pages, Windows ZIP and scale-out"
scripts/test-package.sh
