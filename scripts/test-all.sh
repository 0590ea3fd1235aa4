#!/usr/bin/env bash
# Installs everything the tests need, builds, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y g++ cmake ninja-build libgtest-dev libgmock-dev netbase

JOBS=$(nproc)

echo "=== build and test: release with debug information"
cmake -S . -B build -G Ninja -DTARVELD_WERROR=ON
cmake --build build
ctest --test-dir build -j "$JOBS" --output-on-failure
