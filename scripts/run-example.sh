#!/usr/bin/env bash
# Installs what the build needs, builds tarveld and testcgi, and runs the
# server on the bundled example configuration (http://127.0.0.1:8080/).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update
$SUDO apt-get install -y g++ cmake ninja-build netbase python3

cmake -S . -B build -G Ninja -DTARVELD_TESTS=OFF
cmake --build build
echo "Serving examples/www on http://127.0.0.1:8080/ - stop with Ctrl+C"
exec build/tarveld examples/tarveld.conf
