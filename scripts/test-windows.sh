#!/usr/bin/env bash
# Builds tarveld.exe and testcgi.exe with the mingw-w64 cross compiler and
# runs the tests against them under Wine: the end-to-end suite (the Linux
# test program driving the Windows binaries) and the unit suite cross-built
# for Windows. Wine runs in a prefix of its own, made for this run and
# removed at its end.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
  g++ cmake ninja-build libgtest-dev libgmock-dev googletest netbase procps \
  g++-mingw-w64-x86-64-posix wine64

WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
JOBS=$(nproc)

stage() { echo; echo "=== $*"; }

stage "Linux build of the end-to-end test program"
cmake -S . -B build -G Ninja -DTARVELD_WERROR=ON -DTARVELD_TESTS=ON
cmake --build build

stage "Windows build (mingw-w64, static)"
cmake -S . -B build-win32 -G Ninja -DTARVELD_WERROR=ON \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
  -DCMAKE_CROSSCOMPILING_EMULATOR="$WINE"
cmake --build build-win32

stage "Wine prefix"
WINEPREFIX=$(mktemp -d /tmp/tarveld-wine-XXXXXX)
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
cleanup() {
  "$WINESERVER" -k 2>/dev/null || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# One wineserver for the whole run, started first: every start is quicker.
"$WINESERVER" -p
"$WINE" wineboot -i >/dev/null 2>&1

stage "unit tests of the Windows build under Wine"
ctest --no-tests=error --test-dir build-win32 --output-on-failure

stage "end-to-end tests of the Windows build under Wine"
TARVELD_E2E_WINE="$WINE" \
TARVELD_E2E_BIN="$PWD/build-win32/tarveld.exe" \
TESTCGI_E2E_BIN="$PWD/build-win32/testcgi.exe" \
CGIPROBE_E2E_BIN="$PWD/build-win32/tests/cgi_probe.exe" \
FAULTSERVER_E2E_BIN="$PWD/build-win32/tests/fault_server.exe" \
  ctest --no-tests=error --test-dir build -L e2e -j "$JOBS" --output-on-failure
