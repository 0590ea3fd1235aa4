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
# The figure of the better run: the one with more requests/s. Other work on
# the machine can only slow a run down, never speed it up. Memory figures
# are the mean of the runs.
function chosen(s, c, m,   r, best, bestRate, k) {
  if (c == "idle") return mean(s, c, m)
  best = ""
  for (r = 1; r <= rounds; ++r) {
    k = s SUBSEP c SUBSEP "rps" SUBSEP r
    if ((k in val) && (best == "" || val[k] > bestRate)) { best = r; bestRate = val[k] }
  }
  if (best == "") return ""
  k = s SUBSEP c SUBSEP m SUBSEP best
  return (k in val) ? val[k] : ""
}
# One row: the tarveld figure (from column source `own`), then each peer
# with the ratio own/peer.
function row(label, figure, c, m, kind, own,   line, i, t, p) {
  t = chosen(own, c, m)
  line = "| " label " | " figure " | " fmt(t, kind)
  for (i = 1; i <= npeers; ++i) {
    p = chosen(peers[i], c, m)
    line = line " | " fmt(p, kind)
    if (t != "" && p != "" && p > 0) line = line sprintf(" (%.2f)", t / p)
  }
  print line " |"
}
{
  if ($3 == "errors") { if ($5 < 0) bad[$1] = 1; else errs[$1] += $5 }
  if ($3 == "closeended") closeEnded[$1] += $5
  runs[++nruns] = $0
  k = $1 SUBSEP $2 SUBSEP $3
  sum[k] += $5; count[k] += 1
  val[k SUBSEP $4] = $5
  if ($4 > rounds) rounds = $4
}
END {
  ncases = split("static1k head notfound static100k static10m cgi1 cgi10 cgi50 testcgi10 std1 std50 std10m", cases, " ")
  n = split(servers, list, " ")
  npeers = 0; haveT = 0; haveT3 = 0; haveT6 = 0; haveTA = 0
  for (i = 1; i <= n; ++i) {
    if (list[i] == "tarveld") haveT = 1
    else if (list[i] == "tarveld-log3") haveT3 = 1
    else if (list[i] == "tarveld-ipv6") haveT6 = 1
    else if (list[i] == "tarveld-access") haveTA = 1
    else peers[++npeers] = list[i]
  }
  print "# Benchmark: tarveld beside the servers people use"
  print ""
  printf "Run of %s on %s cores, load generator on the same machine; every case\n", when, cpus
  printf "measured twice for %s s; the table shows the better run (more requests/s;\n", secs
  print "the machine is shared, and other work only slows a run down) and the mean of"
  print "the memory figures. In brackets: tarveld/peer"
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
  if (haveTA) {
    row("1 KiB file, tarveld at log-level 2, access log to a file", "requests/s", "static1k", "rps", "rps", "tarveld-access")
    row("1 KiB file, tarveld at log-level 2, access log to a file", "p99 ms", "static1k", "p99", "ms", "tarveld-access")
  }
  if (haveT6) {
    row("1 KiB file, tarveld over IPv6 (::1)", "requests/s", "static1k", "rps", "rps", "tarveld-ipv6")
    row("1 KiB file, tarveld over IPv6 (::1)", "p50 ms", "static1k", "p50", "ms", "tarveld-ipv6")
    row("1 KiB file, tarveld over IPv6 (::1)", "p99 ms", "static1k", "p99", "ms", "tarveld-ipv6")
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
  row("standard CGI hello, 1 conn.", "requests/s", "std1", "rps", "rps", "tarveld")
  row("standard CGI hello, 1 conn.", "p50 ms", "std1", "p50", "ms", "tarveld")
  row("standard CGI hello, 50 conn.", "requests/s", "std50", "rps", "rps", "tarveld")
  row("standard CGI hello, 50 conn.", "p99 ms", "std50", "p99", "ms", "tarveld")
  row("standard CGI, 10 MiB answer, 4 conn.", "MiB/s", "std10m", "mibs", "mibs", "tarveld")
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
  if (haveTA) printf "\ntarveld with the access log: %d errors.\n", errs["tarveld-access"]
  if (haveT6) printf "\ntarveld over IPv6: %d errors.\n", errs["tarveld-ipv6"]
  print ""
  print "Errors: connect, write and time-out errors and answers with a wrong status."
  line = "Answers whose body ended with the close (wrk counts them as read errors; they"
  line = line " are not errors here):"
  for (i = 1; i <= n; ++i) line = line sprintf(" %s %d;", list[i], closeEnded[list[i]])
  print line
  print ""
  print "## Every run"
  print ""
  print "| Server | Case | Round | requests/s | p50 ms | p99 ms | MiB/s | errors |"
  print "|---|---|---:|---:|---:|---:|---:|---:|"
  for (i = 1; i <= n; ++i)
    for (c = 1; c <= ncases; ++c)
      for (r = 1; r <= rounds; ++r) {
        k = list[i] SUBSEP cases[c] SUBSEP "rps" SUBSEP r
        if (!(k in val)) continue
        b = list[i] SUBSEP cases[c]
        printf "| %s | %s | %d | %.0f | %.2f | %.2f | %s | %s |\n", list[i], cases[c], r, val[k],
          val[b SUBSEP "p50" SUBSEP r], val[b SUBSEP "p99" SUBSEP r],
          ((b SUBSEP "mibs" SUBSEP r) in val) ? sprintf("%.0f", val[b SUBSEP "mibs" SUBSEP r]) : "",
          ((b SUBSEP "errors" SUBSEP r) in val) ? val[b SUBSEP "errors" SUBSEP r] : ""
      }
}' "$raw"
