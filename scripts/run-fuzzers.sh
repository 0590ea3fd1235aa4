#!/usr/bin/env bash
# Runs every fuzzer of a fuzz build for a bounded time on a copy of its seed
# corpus (fuzz/corpus/<name without fuzz_>/), with its dictionary
# (fuzz/<name without fuzz_>.dict) when there is one. The fuzzers run side
# by side: fuzz_request mostly waits for its CGI runs, so the others keep
# both cores busy. Any crash, leak or failed check fails the run. Prints
# executions, executions per second and the coverage reached (cov: edges,
# ft: features) of each.
#
#   scripts/run-fuzzers.sh [BUILD-DIR] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-asan}
seconds=${2:-20}
root=$PWD
work=$(mktemp -d /tmp/tarveld-fuzz-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Paths are absolute: a fuzzer may change its working folder.
names=()
for fuzzer in "$root/$build"/fuzz/fuzz_*; do
  [ -x "$fuzzer" ] || continue
  name=$(basename "$fuzzer")
  short=${name#fuzz_}
  corpus="$work/$name"
  mkdir -p "$corpus"
  [ -d "fuzz/corpus/$short" ] && cp -r "fuzz/corpus/$short"/. "$corpus"/
  options=()
  [ -f "fuzz/$short.dict" ] && options+=("-dict=$root/fuzz/$short.dict")
  echo "--- $name for $seconds s"
  TMPDIR="$work" "$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -rss_limit_mb=2048 \
    "${options[@]}" -artifact_prefix="$work/$name-" -print_final_stats=1 "$corpus" \
    2>"$work/$name.log" &
  pids+=($!)
  names+=("$name")
done
[ "${#names[@]}" -gt 0 ] || { echo "no fuzzer in $build/fuzz"; exit 1; }

status=0
for i in "${!names[@]}"; do
  name=${names[$i]}
  if ! wait "${pids[$i]}"; then
    tail -60 "$work/$name.log"
    # The failing input outlives the work folder.
    mkdir -p "$root/$build/artifacts"
    cp "$work/$name"-* "$root/$build/artifacts/" 2>/dev/null || true
    echo "FAILED: $name (input kept in $build/artifacts/)"
    status=1
    continue
  fi
  done_line=$(grep -E "^#[0-9]+[[:space:]]+DONE" "$work/$name.log" | tail -1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/$name.log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$work/$name.log")
  cov=$(sed -n 's/.* cov: \([0-9]*\) ft: \([0-9]*\) .*/cov: \1 ft: \2/p' <<< "$done_line")
  echo "$name: $runs executions, $rate per second, $cov, corpus $(ls "$work/$name" | wc -l) inputs"
done
pids=()
exit "$status"
