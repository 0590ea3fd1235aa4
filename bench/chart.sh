#!/usr/bin/env bash
# Draws the summary table of a benchmark run as a bar chart: requests/s of
# every server in each case of static documents and of CGI programs, and
# MiB/s of the 10 MiB file; one bar per server in each case, tarveld first,
# its figure above it. Higher is better everywhere. gnuplot (Debian package
# gnuplot-nox) writes the chart; bench/run.sh calls this at its end.
#
#   bench/chart.sh [TABLE.md [CHART]]
#
# TABLE.md defaults to bench/results/latest.md, CHART to the table's name
# ending in .svg instead of .md. CHART_TERMINAL sets another gnuplot
# terminal, e.g. a PNG to look at without a browser:
#
#   CHART_TERMINAL="pngcairo size 1100,800" bench/chart.sh bench/results/latest.md /tmp/chart.png
#
# Read from the table: the server columns of its header, the rows whose
# figure is requests/s or MiB/s, and the date and core count of the run.
# The rows of tarveld's variants (log-level 3, IPv6) are left out: they set
# one tarveld figure beside the same peers' figures of the 1 KiB case.
set -euo pipefail
repo=$(cd "$(dirname "$0")/.." && pwd)
table=${1:-$repo/bench/results/latest.md}
chart=${2:-${table%.md}.svg}
terminal=${CHART_TERMINAL:-"svg size 1100,800 font 'sans,14' background rgb 'white'"}

[ -f "$table" ] || { echo "chart: no table $table"; exit 1; }
command -v gnuplot >/dev/null || { echo "chart: needs gnuplot (apt-get install gnuplot-nox)"; exit 1; }
# The table as the chart's note names it: from the repository's root.
shown=$(realpath -m --relative-to="$repo" "$table")

script=$(awk -v terminal="$terminal" -v output="$chart" -v output_table="$shown" '
function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
# A gnuplot string; a line break (\001) becomes its \n.
function quote(s) { gsub(/\\/, "\\\\", s); gsub(/"/, "\\\"", s); gsub(/\001/, "\\\\n", s); return "\"" s "\"" }
# Colours: tarveld stands out, the peers in calmer shades.
function colour(name, i) {
  if (name == "tarveld") return "#e6550d"
  if (name == "nginx") return "#2b6ca3"
  if (name == "lighttpd") return "#62a3d9"
  if (name == "mini_httpd") return "#a9cfe9"
  if (name == "busybox") return "#8c8c8c"
  split("#31a354 #756bb1 #636363 #fdae6b", spare, " ")
  return spare[(i - 1) % 4 + 1]
}
# One panel: its cases (x positions 1..n) and one bar per server and case.
function panel(p, label, value,   c, line) {
  if (!(p SUBSEP label in caseIndex)) {
    caseIndex[p, label] = ++caseCount[p]
    caseLabel[p, caseCount[p]] = label
  }
  c = caseIndex[p, label]
  for (i = 1; i <= nservers; ++i) {
    x = c + (i - (nservers + 1) / 2) * width
    if (value[i] == "") { missing[p] = missing[p] sprintf("%.3f 0 n/a\n", x); continue }
    bars[p, i] = bars[p, i] sprintf("%.3f %s\n", x, value[i])
    if (value[i] + 0 > top[p]) top[p] = value[i] + 0
  }
}
/^Run of / {
  when = $0
  sub(/^Run of /, "", when); sub(/, load generator.*/, "", when)
}
/measured [a-z]+ for [0-9]+ s/ {
  match($0, /measured [a-z]+ for [0-9]+ s/)
  measured = substr($0, RSTART, RLENGTH)
}
/^\| Case \| Figure \|/ && !header {
  header = 1; inTable = 1
  n = split($0, f, "|")
  for (i = 4; i < n; ++i) server[++nservers] = trim(f[i])
  width = 0.8 / nservers
  next
}
inTable && /^\|---/ { next }
inTable && !/^\|/ { inTable = 0 }
inTable {
  n = split($0, f, "|")
  label = trim(f[2]); figure = trim(f[3])
  if (label ~ /tarveld/) next
  if (figure == "requests/s") p = (label ~ /CGI|cgi/) ? 2 : 1
  else if (figure == "MiB/s") p = 3
  else next
  for (i = 1; i <= nservers; ++i) {
    v = trim(f[i + 3]); sub(/ .*/, "", v)
    value[i] = (v ~ /^[0-9.]+$/) ? v : ""
  }
  # "hello CGI, 10 conn." becomes two lines under its bars.
  gsub(/, /, "\001", label)
  panel(p, label, value)
}
END {
  if (!nservers || !(caseCount[1] + caseCount[2] + caseCount[3])) {
    print "chart: no summary table found" > "/dev/stderr"; exit 1
  }
  title[1] = "Static documents: requests/s"
  title[2] = "CGI programs: requests/s"
  title[3] = "10 MiB file: MiB/s"
  print "set terminal " terminal
  print "set output " quote(output)
  print "set encoding utf8"
  print "set termoption noenhanced"
  print "set datafile separator whitespace"
  for (p = 1; p <= 3; ++p) {
    for (i = 1; i <= nservers; ++i) {
      print "$bars" p "_" i " << EOD"
      printf "%s", bars[p, i]
      print "EOD"
    }
    print "$missing" p " << EOD"
    printf "%s", missing[p]
    print "EOD"
  }
  print "set multiplot title " quote("tarveld beside other servers, higher is better (run of " when ")") " font \",17\""
  note = "n/a: the server runs no CGI programs."
  if (measured != "") note = note " Every case " measured "; each bar is the better run."
  note = note " The figures: " output_table "."
  print "set label 1 " quote(note) " at screen 0.5,0.012 center font \",12\" tc rgb \"#555555\""
  print "set style fill solid 1.0 noborder"
  print "set boxwidth " width * 0.92
  print "set grid ytics lc rgb \"#dddddd\""
  print "set border 3 lc rgb \"#555555\""
  print "set ytics nomirror"
  print "set xtics nomirror scale 0"
  print "set format y \"%.0f\""
  # Rows of the layout: static cases on top; CGI and the large file below.
  origin[1] = "0,0.49"; size[1] = "1,0.41"
  origin[2] = "0,0.045"; size[2] = "0.74,0.43"
  origin[3] = "0.74,0.045"; size[3] = "0.26,0.43"
  for (p = 1; p <= 3; ++p) {
    if (!caseCount[p]) continue
    print "set origin " origin[p]; print "set size " size[p]
    print "set title " quote(title[p]) " font \",15\""
    line = "set xtics ("
    for (c = 1; c <= caseCount[p]; ++c)
      line = line (c > 1 ? ", " : "") quote(caseLabel[p, c]) " " c
    print line ")"
    print "set xrange [0.45:" caseCount[p] + 0.55 "]"
    # Room above the highest bar for its figure.
    print "set yrange [0:" (top[p] > 0 ? top[p] * 1.22 : 1) "]"
    if (p == 1) print "set key at screen 0.5,0.93 center top horizontal reverse Left samplen 1.5 width 2 font \",14\""
    else print "unset key"
    line = "plot"
    for (i = 1; i <= nservers; ++i)
      if (bars[p, i] != "") line = line sprintf(" $bars%d_%d using 1:2 with boxes lc rgb \"%s\" title %s,", p, i,
                          colour(server[i], i), quote(server[i]))
    for (i = 1; i <= nservers; ++i)
      if (bars[p, i] != "") line = line sprintf(" $bars%d_%d using 1:2:(sprintf(\"%%.0f\", $2)) with labels rotate by 90 left offset 0,0.3 font \",11\" tc rgb \"#333333\" notitle,", p, i)
    if (missing[p] != "")
      line = line sprintf(" $missing%d using 1:2:3 with labels rotate by 90 left offset 0,0.3 font \",11\" tc rgb \"#888888\" notitle,", p)
    sub(/,$/, "", line)
    print line
    print "unset label 1"  # the note once, with the first panel
  }
  print "unset multiplot"
}' "$table")
gnuplot <<< "$script"
# gnuplot titles every SVG "Gnuplot": name what it shows instead.
case $chart in
  *.svg) sed -i 's|<title>Gnuplot</title>|<title>tarveld beside other servers: benchmark requests/s and MiB/s</title>|' "$chart" ;;
esac
echo "chart: $chart"
