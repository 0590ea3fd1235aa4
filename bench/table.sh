#!/usr/bin/env bash
# Turns the raw figures of bench/run.sh into one Markdown table: the mean of
# the rounds for each server, and for each peer the ratio tarveld/peer.
#
#   bench/table.sh RAW-FILE "SERVERS" SECONDS IDLE-CONNECTIONS LOAD-BEFORE LOAD-AFTER
set -euo pipefail
raw=$1
servers=$2
secs=$3
idle=$4
load_before=$5
load_after=$6

awk -v servers="$servers" -v secs="$secs" -v idle="$idle" -v lb="$load_before" -v la="$load_after" \
    -v when="$(date -u '+%Y-%m-%d %H:%M UTC')" -v cpus="$(nproc)" '
function fmt(v, kind) {
  if (v == "") return "n/a"
  if (kind == "rps" || kind == "kib" || kind == "mibs") return sprintf("%.0f", v)
  if (kind == "per") return sprintf("%.1f", v)
  return sprintf("%.2f", v)
}
function mean(s, c, m,   k) {
  k = s SUBSEP c SUBSEP m
  return (k in count) ? sum[k] / count[k] : ""
}
# One row: the tarveld figure (from column source `own`), then each peer
# with the ratio own/peer.
function row(label, figure, c, m, kind, own,   line, i, t, p) {
  t = mean(own, c, m)
  line = "| " label " | " figure " | " fmt(t, kind)
  for (i = 1; i <= npeers; ++i) {
    p = mean(peers[i], c, m)
    line = line " | " fmt(p, kind)
    if (t != "" && p != "" && p > 0) line = line sprintf(" (%.2f)", t / p)
  }
  print line " |"
}
{
  if ($3 == "errors") { if ($5 < 0) bad[$1] = 1; else errs[$1] += $5; next }
  k = $1 SUBSEP $2 SUBSEP $3
  sum[k] += $5; count[k] += 1
}
END {
  n = split(servers, list, " ")
  npeers = 0; haveT = 0; haveT3 = 0
  for (i = 1; i <= n; ++i) {
    if (list[i] == "tarveld") haveT = 1
    else if (list[i] == "tarveld-log3") haveT3 = 1
    else peers[++npeers] = list[i]
  }
  print "# Benchmark: tarveld beside the servers people use"
  print ""
  printf "Run of %s on %s cores, load generator on the same machine; every case\n", when, cpus
  printf "measured twice for %s s, the table shows the mean. In brackets: tarveld/peer\n", secs
  print "(above 1 is better for requests/s and MiB/s, below 1 is better for latency and"
  print "memory). Loads: wrk, or ab where marked and for CGI. Latency in ms; wrk"
  print "measures from request to answer, ab from connect to close. Memory: resident"
  print "KiB of the server, shared pages divided among its"
  print "processes."
  printf "Load average (1, 5, 15 min) before the run: %s; after: %s.\n", lb, la
  print ""
  head = "| Case | Figure | tarveld"
  rule = "|---|---|---:"
  for (i = 1; i <= npeers; ++i) { head = head " | " peers[i]; rule = rule "|---:" }
  print head " |"
  print rule "|"
  row("1 KiB file, 50 conn.", "requests/s", "static1k", "rps", "rps", "tarveld")
  row("1 KiB file, 50 conn.", "p50 ms", "static1k", "p50", "ms", "tarveld")
  row("1 KiB file, 50 conn.", "p99 ms", "static1k", "p99", "ms", "tarveld")
  if (haveT3) {
    row("1 KiB file, tarveld at log-level 3, log to a file", "requests/s", "static1k", "rps", "rps", "tarveld-log3")
    row("1 KiB file, tarveld at log-level 3, log to a file", "p99 ms", "static1k", "p99", "ms", "tarveld-log3")
  }
  row("HEAD, 50 conn. (ab)", "requests/s", "head", "rps", "rps", "tarveld")
  row("HEAD, 50 conn. (ab)", "p99 ms", "head", "p99", "ms", "tarveld")
  row("404, 50 conn.", "requests/s", "notfound", "rps", "rps", "tarveld")
  row("404, 50 conn.", "p99 ms", "notfound", "p99", "ms", "tarveld")
  row("100 KiB file, 50 conn.", "requests/s", "static100k", "rps", "rps", "tarveld")
  row("100 KiB file, 50 conn.", "p99 ms", "static100k", "p99", "ms", "tarveld")
  row("10 MiB file, 4 conn.", "MiB/s", "static10m", "mibs", "mibs", "tarveld")
  row("10 MiB file, 4 conn.", "p99 ms", "static10m", "p99", "ms", "tarveld")
  row("hello CGI, 1 conn.", "requests/s", "cgi1", "rps", "rps", "tarveld")
  row("hello CGI, 1 conn.", "p50 ms", "cgi1", "p50", "ms", "tarveld")
  row("hello CGI, 1 conn.", "p99 ms", "cgi1", "p99", "ms", "tarveld")
  row("hello CGI, 10 conn.", "requests/s", "cgi10", "rps", "rps", "tarveld")
  row("hello CGI, 10 conn.", "p99 ms", "cgi10", "p99", "ms", "tarveld")
  row("hello CGI, 50 conn.", "requests/s", "cgi50", "rps", "rps", "tarveld")
  row("hello CGI, 50 conn.", "p99 ms", "cgi50", "p99", "ms", "tarveld")
  row("testcgi, 10 conn.", "requests/s", "testcgi10", "rps", "rps", "tarveld")
  row(idle " idle connections", "KiB before", "idle", "kib_before", "kib", "tarveld")
  row(idle " idle connections", "KiB while open", "idle", "kib_open", "kib", "tarveld")
  row(idle " idle connections", "KiB per connection", "idle", "per_conn", "per", "tarveld")
  row(idle " idle connections", "KiB after close", "idle", "kib_after", "kib", "tarveld")
  line = "| Errors, all cases | answers | "
  line = line (("tarveld" in bad) ? "incomplete" : sprintf("%d", errs["tarveld"]))
  for (i = 1; i <= npeers; ++i)
    line = line " | " ((peers[i] in bad) ? "incomplete" : sprintf("%d", errs[peers[i]]))
  print line " |"
  if (haveT3) printf "\ntarveld at log-level 3: %d errors.\n", errs["tarveld-log3"]
}' "$raw"
