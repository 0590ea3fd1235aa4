#!/usr/bin/env bash
# Bounded soak run: thousands of mixed requests (static, HEAD, 404, 501, CGI)
# with faults injected among them (resets during a body or a CGI run, also
# one that then sleeps, CGI programs that leave an orphan, hang-ups,
# garbage) at a concurrency above max-connect against
# build/tarveld, every answer checked; then resident memory, descriptors,
# threads and child processes must be back at their level from before the
# run, and the server must have written no sanitizer report by its exit.
#
#   bench/soak.sh [REQUESTS] [CONCURRENCY] [BUILD-DIR]
#
# SOAK_RSS_SLACK_KIB (default 16384) is the growth of resident memory that
# still counts as no leak; a sanitizer build's allocator keeps far more.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
requests=${1:-20000}
concurrency=${2:-48}
build=${3:-build}
max_connect=$((concurrency / 2))
seconds=300

work=$(mktemp -d /tmp/tarveld-soak-XXXXXX)
server_pid=""
cleanup() {
  stop_pid "$server_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# Document root: a 1 KiB page, a 256 KiB binary file, the test CGI program,
# and two shell programs that write their process ids first: one sleeps
# between two parts, one leaves an orphan; both then sleep long.
mkdir -p "$work/www"
head -c 1024 /dev/urandom | base64 -w 64 | head -c 1024 > "$work/www/small.html"
head -c 262144 /dev/urandom > "$work/www/big.bin"
echo "runs the test CGI program" > "$work/www/test.cgi"
printf 'echo $$\nhead -c 2000 /dev/zero\nsleep 0.2\nhead -c 2000 /dev/zero\nexec sleep 30\n' \
  > "$work/www/pause.sh"
printf "echo \$\$\nsh -c 'sleep 30 & echo \$!'\nsleep 0.2\necho more\nexec sleep 30\n" \
  > "$work/www/doublefork.sh"

pick_services 1
port=${SERVICE_PORTS[0]}
write_tarveld_conf "$work/tarveld.conf" "${SERVICE_NAMES[0]}" "$work/www" "max-connect = $max_connect
default-html = small.html
cgi-type = cgi | $PWD/$build/testcgi |
cgi-type = sh | /bin/sh |
last-modified = on
access-log-file = $work/access.log"

"$build/tarveld" "$work/tarveld.conf" > "$work/stdout.log" 2> "$work/stderr.log" &
server_pid=$!
wait_for_port 127.0.0.1 "$port" "$server_pid" ||
  { cat "$work/stdout.log"; echo "FAILED: the server did not start"; exit 1; }

figures() {
  local rss fds threads children
  rss=$(awk '/^VmRSS/ {print $2}' "/proc/$server_pid/status")
  fds=$(ls "/proc/$server_pid/fd" | wc -l)
  threads=$(awk '/^Threads/ {print $2}' "/proc/$server_pid/status")
  children=$(ps -o pid= --ppid "$server_pid" | wc -l)
  echo "$rss $fds $threads $children"
}

# Settles once every transaction and CGI run has ended: no child process and
# the same thread count for one second (bounded to 30 s).
settle() {
  local last="" same=0
  for _ in $(seq 300); do
    read -r _ _ threads children <<< "$(figures)"
    if [ "$children" -eq 0 ] && [ "$threads" = "$last" ]; then
      same=$((same + 1))
      [ "$same" -ge 10 ] && return
    else
      same=0
    fi
    last=$threads
    sleep 0.1
  done
}

# Warm up so that the base level includes the allocator's first arenas.
"$build/soak" "$port" "$work/www" 200 "$concurrency" 60 > "$work/warm-up.txt" ||
  { cat "$work/warm-up.txt"; echo "FAILED: warm-up run"; exit 1; }
settle
read -r base_rss base_fds base_threads base_children <<< "$(figures)"

echo "soak: $requests requests, concurrency $concurrency, max-connect $max_connect"
status=0
"$build/soak" "$port" "$work/www" "$requests" "$concurrency" "$seconds" || status=1
settle
read -r rss fds threads children <<< "$(figures)"

printf '%-22s %10s %10s\n' "" "before" "after"
printf '%-22s %10s %10s\n' "resident memory (KiB)" "$base_rss" "$rss"
printf '%-22s %10s %10s\n' "open descriptors" "$base_fds" "$fds"
printf '%-22s %10s %10s\n' "threads" "$base_threads" "$threads"
printf '%-22s %10s %10s\n' "child processes" "$base_children" "$children"

[ "$fds" -eq "$base_fds" ] || { echo "FAILED: descriptors leaked"; status=1; }
[ "$threads" -eq "$base_threads" ] || { echo "FAILED: threads left over"; status=1; }
[ "$children" -eq 0 ] || { echo "FAILED: child processes left over"; status=1; }
# Freed memory may stay with the allocator; growth beyond the slack is a leak.
slack=${SOAK_RSS_SLACK_KIB:-16384}
[ "$rss" -le $((base_rss + slack)) ] || { echo "FAILED: resident memory grew"; status=1; }

kill -INT "$server_pid"
wait "$server_pid" || { echo "FAILED: server exit status $?"; status=1; }
server_pid=""
# The access log holds only whole lines of its format, whatever the faults.
lines=$(wc -l < "$work/access.log")
bad=$(grep -cvE '^[0-9.]+ - - \[[0-9]{2}/[A-Z][a-z]{2}/[0-9]{4}:[0-9:]{8} [+-][0-9]{4}\] "[^"]*" [0-9]{3} [0-9]+ "[^"]*" "[^"]*"$' \
  "$work/access.log" || true)
echo "access log: $lines lines, $bad not of its format"
[ "$lines" -gt 0 ] && [ "$bad" -eq 0 ] || { echo "FAILED: access log"; status=1; }
# A sanitizer build reports leaks at the exit.
if grep -q "Sanitizer\|runtime error:" "$work/stderr.log"; then
  cat "$work/stderr.log"; echo "FAILED: sanitizer report"; status=1
fi
[ "$status" -eq 0 ] && echo "soak: passed"
exit "$status"
