#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for a bounded time on a copy of its seed
# corpus. Any crash, leak or failed check fails the run.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
work=$(mktemp -d /tmp/tarveld-fuzz-XXXXXX)
trap 'rm -rf "$work"' EXIT

for fuzzer in "$build"/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  corpus="$work/$name"
  mkdir -p "$corpus"
  seeds="fuzz/corpus/${name#fuzz_}"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  echo "--- $name for $seconds s"
  "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/$name-" -print_final_stats=1 "$corpus" 2>"$work/$name.log" || {
    tail -50 "$work/$name.log"
    echo "FAILED: $name"
    exit 1
  }
  grep -E "^#[0-9]+ *DONE|stat::number_of_executed_units|stat::average_exec_per_sec|cov:" \
    "$work/$name.log" | tail -4
done
