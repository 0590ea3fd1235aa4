#!/usr/bin/env bash
# Side-by-side benchmark of tarveld and the servers people use (nginx,
# lighttpd, mini_httpd, busybox httpd) on 127.0.0.1, with the load
# generators on the same machine; tarveld also on ::1 for the 1 KiB case. One command installs the tools and peers,
# builds tarveld in release mode, lays out one document root, runs every
# case twice against every server in turn and prints one table, also
# written to bench/results/latest.md, and draws it as a bar chart,
# bench/results/latest.svg (bench/chart.sh).
#
#   bench/run.sh
#
# Settings from the environment (all optional):
#   BENCH_SECONDS=5        length of each measurement
#   BENCH_SERVERS="..."    subset of: tarveld tarveld-log3 tarveld-access tarveld-ipv6
#                          nginx lighttpd mini_httpd busybox
#   BENCH_CASES="..."      subset of the cases (static1k head notfound ...); memory
#                          is measured only with every case
#   BENCH_SKIP_INSTALL=1   do not run apt-get (the tools are already there)
#   BENCH_IDLE=1000        idle connections of the memory figure
#   BENCH_SYSCALLS=1       instead of the run: the system calls, context
#                          switches and CPU time per request of each server
#                          in the 1 KiB case (perf stat), written to
#                          bench/results/syscalls.md
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh
REPO=$PWD
SECS=${BENCH_SECONDS:-5}
SERVERS=${BENCH_SERVERS:-"tarveld tarveld-log3 tarveld-access tarveld-ipv6 nginx lighttpd mini_httpd busybox"}
IDLE=${BENCH_IDLE:-1000}
ROUNDS=2
BUILD=$REPO/build-release
OUT=$REPO/bench/results/latest.md

# ------------------------------------------------------------ clean-up
WORK=""
PIDS=()
forget_pid() {
  local keep=() p
  for p in "${PIDS[@]}"; do [ "$p" = "$1" ] || keep+=("$p"); done
  PIDS=("${keep[@]}")
}
cleanup() {
  local pid
  for pid in "${PIDS[@]}"; do stop_pid "$pid"; done
  PIDS=()
  [ -n "$WORK" ] && rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ------------------------------------------------------------ install
if [ "${BENCH_SKIP_INSTALL:-0}" != 1 ]; then
  if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q g++ cmake ninja-build netbase \
    procps wrk apache2-utils lighttpd nginx mini-httpd busybox gnuplot-nox
  if [ "${BENCH_SYSCALLS:-0}" = 1 ]; then
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q linux-perf
  fi
  # The packages start system services of their own: stop and disable
  # them; the benchmark runs its own instances on its own ports.
  for service in nginx lighttpd mini-httpd; do
    if [ -d /run/systemd/system ]; then
      $SUDO systemctl stop "$service" 2>/dev/null || true
      $SUDO systemctl disable "$service" 2>/dev/null || true
    else
      $SUDO service "$service" stop >/dev/null 2>&1 || true
      $SUDO update-rc.d "$service" disable >/dev/null 2>&1 || true
    fi
  done
fi
for tool in wrk ab gnuplot; do
  command -v "$tool" >/dev/null || { echo "missing tool: $tool"; exit 1; }
done
for server in $SERVERS; do
  case $server in tarveld*) continue ;; esac
  command -v "$server" >/dev/null || { echo "missing server: $server"; exit 1; }
done

# ------------------------------------------------------------ build
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELD_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target tarveld testcgi bench_idle bench_hello_cgi bench_hello_std_cgi \
  bench_big_std_cgi >/dev/null

# ------------------------------------------------------------ document root
ulimit -n 20000 2>/dev/null || ulimit -n "$(ulimit -Hn)"
WORK=$(mktemp -d /tmp/tarveld-bench-XXXXXX)
chmod 755 "$WORK"  # forking peers serve as an unprivileged user
WWW=$WORK/www
mkdir -p "$WWW/cgi-bin"
head -c 1024 /dev/urandom | base64 -w 64 | head -c 1024 > "$WWW/1k.html"
head -c 102400 /dev/urandom > "$WWW/100k.bin"
head -c 10485760 /dev/urandom > "$WWW/10m.bin"
cp "$BUILD/bench_hello_cgi" "$WWW/cgi-bin/hello.cgi"
cp "$BUILD/testcgi" "$WWW/cgi-bin/testcgi.tcgi"
# The standard CGI programs, run as the documents themselves by every server.
cp "$BUILD/bench_hello_std_cgi" "$WWW/cgi-bin/hello.std"
cp "$BUILD/bench_big_std_cgi" "$WWW/cgi-bin/big.std"
chmod -R a+rX "$WWW"
: > "$WORK/busybox-httpd.conf"
BACKLOG=1024

# Ports: tarveld takes a service name, never a number. Four free service
# names: tarveld at log-level 2, at level 3, with the access log, and on ::1.
pick_services 4
FREE_SERVICES=("${SERVICE_NAMES[@]}")
FREE_PORTS=("${SERVICE_PORTS[@]}")
# The IPv6 case needs the loopback address ::1.
if [[ " $SERVERS " == *" tarveld-ipv6 "* ]] && ! grep -q '^0\{31\}1 ' /proc/net/if_inet6 2>/dev/null; then
  echo "no IPv6 loopback address ::1: the case over ::1 is left out"
  SERVERS=$(echo " $SERVERS " | sed 's/ tarveld-ipv6 / /' | xargs)
fi
PEER_PORT_BASE=18700

# ------------------------------------------------------------ servers
# Each start function writes its configuration and runs the server in the
# foreground (as a background job of this script); SERVER_PID and PORT are set.
# Tuning: a cycle of the accept loop below one millisecond makes the pause
# of a full connection list 0 ms (the list fills with finished entries under
# a steady load, is reaped and accepting goes on at once); max-connect leaves
# room for the 1000 idle connections; buffer-size is also the transfer unit
# of documents (32 KiB: an eighth of the system calls of 8 KiB for a large
# file, still below what makes the allocator hand memory back each time).
start_tarveld() {  # log-level, index of the service, bind-host, socket-domain [, more lines]; standard output to a file at level 3
  local conf=$WORK/tarveld-$2.conf log=/dev/null
  write_tarveld_conf "$conf" "${FREE_SERVICES[$2]}" "$WWW" "bind-host = $3
socket-domain = $4
socket-backlog = $BACKLOG
max-connect = 2048
buffer-size = 32768
loop-cycle-usec = 999
session-timeout = 60
default-html = 1k.html
cgi-type = cgi | $WWW/cgi-bin/hello.cgi |
cgi-type = tcgi | $WWW/cgi-bin/testcgi.tcgi |
cgi-standard-type = std | |
log-level = $1
time-flag = on
${5:-}"
  PORT=${FREE_PORTS[$2]}
  [ "$1" -ge 3 ] && log=$WORK/tarveld-stdout.log
  (cd "$WORK" && exec "$BUILD/tarveld" "$conf" > "$log" 2>/dev/null) &
  SERVER_PID=$!
}

start_nginx() {
  PORT=$((PEER_PORT_BASE + 1))
  mkdir -p "$WORK/nginx"
  cat > "$WORK/nginx/nginx.conf" <<CONF
worker_processes 2;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log crit;
events { worker_connections 4096; }
http {
  access_log off;
  include /etc/nginx/mime.types;
  default_type application/octet-stream;
  sendfile on;
  tcp_nopush on;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server {
    listen 127.0.0.1:$PORT backlog=$BACKLOG;
    root $WWW;
    index 1k.html;
  }
}
CONF
  nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -g 'daemon off;' 2>/dev/null &
  SERVER_PID=$!
}

start_lighttpd() {
  PORT=$((PEER_PORT_BASE + 2))
  cat > "$WORK/lighttpd.conf" <<CONF
server.modules = ("mod_cgi")
server.document-root = "$WWW"
server.bind = "127.0.0.1"
server.port = $PORT
server.listen-backlog = $BACKLOG
server.errorlog = "$WORK/lighttpd-error.log"
server.max-fds = 16384
server.max-connections = 4096
index-file.names = ("1k.html")
mimetype.assign = (".html" => "text/html", "" => "application/octet-stream")
cgi.assign = (".cgi" => "", ".tcgi" => "", ".std" => "")
CONF
  lighttpd -D -f "$WORK/lighttpd.conf" 2>/dev/null &
  SERVER_PID=$!
}

start_mini_httpd() {  # listen backlog fixed by the program
  PORT=$((PEER_PORT_BASE + 3))
  mini_httpd -D -h 127.0.0.1 -p "$PORT" -d "$WWW" -u root -c '**.cgi|**.tcgi|**.std' \
    -l /dev/null -i "$WORK/mini_httpd.pid" 2>/dev/null &
  SERVER_PID=$!
}

start_busybox() {  # listen backlog fixed by the program; CGI under /cgi-bin/
  PORT=$((PEER_PORT_BASE + 4))
  busybox httpd -f -p "127.0.0.1:$PORT" -h "$WWW" -c "$WORK/busybox-httpd.conf" 2>/dev/null &
  SERVER_PID=$!
}

start_server() {
  local port
  HOST=127.0.0.1
  case $1 in
    tarveld) port=${FREE_PORTS[0]} ;;
    tarveld-log3) port=${FREE_PORTS[1]} ;;
    tarveld-ipv6) port=${FREE_PORTS[2]}; HOST=::1 ;;
    tarveld-access) port=${FREE_PORTS[3]} ;;
    nginx) port=$((PEER_PORT_BASE + 1)) ;;
    lighttpd) port=$((PEER_PORT_BASE + 2)) ;;
    mini_httpd) port=$((PEER_PORT_BASE + 3)) ;;
    busybox) port=$((PEER_PORT_BASE + 4)) ;;
  esac
  # A port still served by anything else would measure the wrong server.
  port_free "$port" || { echo "port $port of $1 is in use"; exit 1; }
  case $1 in
    tarveld) start_tarveld 2 0 127.0.0.1 AF_INET ;;
    tarveld-log3) start_tarveld 3 1 127.0.0.1 AF_INET ;;
    tarveld-ipv6) start_tarveld 2 2 ::1 AF_INET6 ;;
    # The access log at level 2, beside the console log at level 3: one
    # line per request in a file either way.
    tarveld-access) start_tarveld 2 3 127.0.0.1 AF_INET "access-log-file = $WORK/access.log" ;;
    nginx) start_nginx ;;
    lighttpd) start_lighttpd ;;
    mini_httpd) start_mini_httpd ;;
    busybox) start_busybox ;;
    *) echo "unknown server $1"; exit 1 ;;
  esac
  PIDS+=("$SERVER_PID")
  wait_for_port "$HOST" "$PORT" "$SERVER_PID" || { echo "$1 did not start"; exit 1; }
}

# Memory of the server in KiB: proportional set size summed over its
# processes (the resident memory, with pages shared by several processes
# divided among them; for a single process its own resident pages).
server_memory() {
  local total=0 p kb
  for p in $(process_tree "$SERVER_PID"); do
    kb=$(awk '/^Pss:/ {print $2}' "/proc/$p/smaps_rollup" 2>/dev/null || echo 0)
    total=$((total + ${kb:-0}))
  done
  echo "$total"
}

# ------------------------------------------------------------ measurements
# The host part of a URL to the current server, with its colon: an IPv6
# address goes in brackets.
url_host() { if [[ $HOST == *:* ]]; then echo "[$HOST]:"; else echo "$HOST:"; fi; }

# Every figure is appended to $WORK/raw as: server case metric round value
record() { echo "$1 $2 $3 $4 $5" >> "$WORK/raw"; }

to_ms() {  # wrk latency text (e.g. 812.00us, 1.20ms, 2.01s) in milliseconds
  awk -v t="$1" 'BEGIN {
    v = t + 0
    if (t ~ /us$/) v = v / 1000; else if (t ~ /ms$/) v = v; else if (t ~ /m$/) v = v * 60000;
    else if (t ~ /s$/) v = v * 1000
    printf "%.3f", v }'
}
to_mib() {  # wrk transfer text (e.g. 1.95GB) in MiB
  awk -v t="$1" 'BEGIN {
    v = t + 0
    if (t ~ /GB$/) v = v * 1024; else if (t ~ /KB$/) v = v / 1024; else if (t ~ /MB$/) v = v;
    else v = v / 1048576
    printf "%.1f", v }'
}

# wrk with HTTP/1.0 requests, one per connection. Answers other than the
# expected status, and socket errors, are counted as errors.
run_wrk() {  # server case round connections method path expect-2xx
  local server=$1 name=$2 round=$3 conns=$4 method=$5 path=$6 expect_ok=$7
  local out threads=2
  [ "$conns" -lt 2 ] && threads=1
  out=$(timeout $((SECS + 30)) wrk -t "$threads" -c "$conns" -d "${SECS}s" --timeout 10s --latency \
    -s "$REPO/bench/http10.lua" "http://$(url_host)$PORT$path" -- "$method" 2>&1) || true
  local rps p50 p99 transfer requests sockerr readerr non2xx errors
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<< "$out")
  transfer=$(awk '/^Transfer\/sec:/ {print $2}' <<< "$out")
  p50=$(awk '$1 == "50%" {print $2}' <<< "$out")
  p99=$(awk '$1 == "99%" {print $2}' <<< "$out")
  requests=$(awk '/requests in/ {print $1}' <<< "$out")
  # wrk counts an answer whose body ends with the close (no Content-Length)
  # as a read error although it arrived whole; such answers are counted
  # apart. Connect, write and time-out errors and wrong statuses are errors.
  sockerr=$(awk '/Socket errors/ {gsub(",", ""); print $4 + $8 + $10}' <<< "$out")
  readerr=$(awk '/Socket errors/ {gsub(",", ""); print $6}' <<< "$out")
  non2xx=$(awk '/Non-2xx/ {print $NF}' <<< "$out")
  sockerr=${sockerr:-0}; readerr=${readerr:-0}; non2xx=${non2xx:-0}; requests=${requests:-0}
  if [ "$expect_ok" = 1 ]; then errors=$((sockerr + non2xx)); else errors=$((sockerr + requests - non2xx)); fi
  [ "${requests:-0}" -gt 0 ] || rps=""
  [ -n "$rps" ] || { echo "  $server $name: wrk gave no result"; echo "$out" | tail -5; record "$server" "$name" errors "$round" -1; return; }
  record "$server" "$name" rps "$round" "$rps"
  record "$server" "$name" p50 "$round" "$(to_ms "$p50")"
  record "$server" "$name" p99 "$round" "$(to_ms "$p99")"
  record "$server" "$name" mibs "$round" "$(to_mib "$transfer")"
  record "$server" "$name" errors "$round" "$errors"
  record "$server" "$name" closeended "$round" "$readerr"
  printf '  %-13s %-10s round %d: %10s req/s  p50 %8s  p99 %8s  %10s/s  errors %s  ended by close %s\n' \
    "$server" "$name" "$round" "$rps" "$p50" "$p99" "$transfer" "$errors" "$readerr"
}

# ab (HTTP/1.0, a new connection per request, bodies ended by the close).
# It serves HEAD as well: wrk would wait for the body that a HEAD answer's
# Content-Length announces but never sends.
run_ab() {  # server case round connections path [ab option]
  local server=$1 name=$2 round=$3 conns=$4 path=$5 option=${6:-}
  local out csv=$WORK/ab.csv
  rm -f "$csv"
  out=$(timeout $((SECS + 30)) ab -q $option -t "$SECS" -n 10000000 -c "$conns" -s 10 -e "$csv" \
    "http://$(url_host)$PORT$path" 2>&1) || true
  local rps failed non2xx p50 p99
  rps=$(awk '/^Requests per second:/ {print $4}' <<< "$out")
  failed=$(awk '/^Failed requests:/ {print $3}' <<< "$out")
  non2xx=$(awk '/^Non-2xx responses:/ {print $3}' <<< "$out")
  [ -n "$rps" ] && [ -f "$csv" ] || { echo "  $server $name: ab gave no result"; echo "$out" | tail -3; record "$server" "$name" errors "$round" -1; return; }
  p50=$(awk -F, '$1 == "50" {printf "%.3f", $2}' "$csv")
  p99=$(awk -F, '$1 == "99" {printf "%.3f", $2}' "$csv")
  # ab leaves the 99th percentile of a short series at 0: its text table
  # (whole milliseconds) tells it then.
  if awk -v v="$p99" 'BEGIN {exit !(v + 0 == 0)}'; then
    p99=$(awk '$1 == "99%" {printf "%.3f", $2}' <<< "$out")
  fi
  record "$server" "$name" rps "$round" "$rps"
  record "$server" "$name" p50 "$round" "$p50"
  record "$server" "$name" p99 "$round" "$p99"
  record "$server" "$name" errors "$round" $(( ${failed:-0} + ${non2xx:-0} ))
  printf '  %-13s %-10s round %d: %10s req/s  p50 %8s ms  p99 %8s ms  errors %s\n' \
    "$server" "$name" "$round" "$rps" "$p50" "$p99" $(( ${failed:-0} + ${non2xx:-0} ))
}

# Memory with IDLE idle connections open, and after they are gone.
run_idle() {  # server round
  local server=$1 round=$2 before during after fifo=$WORK/idle.out line=""
  sleep 1
  before=$(server_memory)
  # A small listen backlog makes connecting slow (dropped handshakes are
  # retried after a second and more): up to a minute to open them all.
  timeout 90 "$BUILD/bench_idle" "$PORT" "$IDLE" 6 > "$fifo" 2>&1 &
  local idle_pid=$!
  PIDS+=("$idle_pid")
  for _ in $(seq 600); do
    line=$(head -1 "$fifo" 2>/dev/null || true)
    [ -n "$line" ] && break
    sleep 0.1
  done
  sleep 2
  during=$(server_memory)
  wait "$idle_pid" || true
  forget_pid "$idle_pid"
  sleep 3
  after=$(server_memory)
  record "$server" idle opened "$round" "${line#open }"
  record "$server" idle kib_before "$round" "$before"
  record "$server" idle kib_open "$round" "$during"
  record "$server" idle kib_after "$round" "$after"
  record "$server" idle per_conn "$round" \
    "$(awk -v a="$during" -v b="$before" -v n="$IDLE" 'BEGIN {printf "%.1f", (a - b) / n}')"
  printf '  %-13s %-10s round %d: %s connections, %s KiB before, %s KiB open, %s KiB after\n' \
    "$server" idle "$round" "${line#open }" "$before" "$during" "$after"
}

cgi_path() { echo "/cgi-bin/$1"; }

run_case() {  # server case round
  local s=$1 c=$2 r=$3
  case $c in
    static1k) run_wrk "$s" static1k "$r" 50 GET /1k.html 1 ;;
    head) run_ab "$s" head "$r" 50 /1k.html -i ;;
    notfound) run_wrk "$s" notfound "$r" 50 GET /missing.html 0 ;;
    static100k) run_wrk "$s" static100k "$r" 50 GET /100k.bin 1 ;;
    static10m) run_wrk "$s" static10m "$r" 4 GET /10m.bin 1 ;;
    cgi1) run_ab "$s" cgi1 "$r" 1 "$(cgi_path hello.cgi)" ;;
    cgi10) run_ab "$s" cgi10 "$r" 10 "$(cgi_path hello.cgi)" ;;
    cgi50) run_ab "$s" cgi50 "$r" 50 "$(cgi_path hello.cgi)" ;;
    testcgi10) run_ab "$s" testcgi10 "$r" 10 "$(cgi_path testcgi.tcgi)" ;;
    std1) run_ab "$s" std1 "$r" 1 "$(cgi_path hello.std)" ;;
    std50) run_ab "$s" std50 "$r" 50 "$(cgi_path hello.std)" ;;
    std10m) run_wrk "$s" std10m "$r" 4 GET "$(cgi_path big.std)" 1 ;;
  esac
}

# Which cases a server takes part in.
takes_case() {  # server case
  case $1:$2 in
    tarveld-log3:static1k | tarveld-ipv6:static1k | tarveld-access:static1k) return 0 ;;
    tarveld-log3:* | tarveld-ipv6:* | tarveld-access:*) return 1 ;;
    nginx:cgi* | nginx:testcgi* | nginx:std*) return 1 ;;
  esac
  return 0
}

# Every server runs from the start to the end, on its own port; each case is
# measured on one server after the other, so that a passing burst of other
# work on the machine does not fall on one server's figures alone.
declare -A SERVER_PIDS SERVER_PORTS SERVER_HOSTS
use_server() { SERVER_PID=${SERVER_PIDS[$1]}; PORT=${SERVER_PORTS[$1]}; HOST=${SERVER_HOSTS[$1]}; }

: > "$WORK/raw"
# Other work on the machine shares its cores with the servers and the load
# generators: the load average before and after the run goes into the table.
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)
echo "benchmark: $SECS s per measurement, $ROUNDS rounds, servers: $SERVERS"
for server in $SERVERS; do
  start_server "$server"
  SERVER_PIDS[$server]=$SERVER_PID
  SERVER_PORTS[$server]=$PORT
  SERVER_HOSTS[$server]=$HOST
  echo "$server on $(url_host)$PORT"
  # A short warm-up, not recorded.
  timeout 30 wrk -t 2 -c 50 -d 1s -s "$REPO/bench/http10.lua" "http://$(url_host)$PORT/1k.html" >/dev/null 2>&1 || true
done
# ------------------------------------------------------------ system calls
# Per request of the 1 KiB case: each system call the server's processes
# and threads make, its context switches and its CPU time, counted by the
# kernel's tracepoints while wrk runs (SECS seconds, 50 connections).
CALLS="accept4 ppoll poll epoll_wait epoll_ctl recvfrom read openat newfstatat sendto sendmsg writev
  sendfile64 write close setsockopt ioctl futex sched_yield"
count_calls() {  # server: appends "server name per-request" lines to $WORK/calls
  local server=$1 pids events out requests call
  pids=$(process_tree "$SERVER_PID" | xargs | tr ' ' ',')
  events=raw_syscalls:sys_enter,sched:sched_switch,task-clock
  for call in $CALLS; do events=$events,syscalls:sys_enter_$call; done
  perf stat -x, -e "$events" -p "$pids" -o "$WORK/calls.txt" -- \
    timeout $((SECS + 30)) wrk -t 2 -c 50 -d "${SECS}s" -s "$REPO/bench/http10.lua" \
    "http://$(url_host)$PORT/1k.html" > "$WORK/calls.wrk" 2>&1 || true
  requests=$(awk '/requests in/ {print $1}' "$WORK/calls.wrk")
  [ "${requests:-0}" -gt 0 ] || { echo "  $server: wrk gave no result"; return; }
  awk -F, -v s="$server" -v r="$requests" '
    $3 == "task-clock" { printf "%s CPU-us %.1f\n", s, $1 * 1000 / r }
    $3 ~ /:/ { n = $3; sub(/.*sys_enter_/, "", n); sub(/raw_syscalls:sys_enter/, "all", n)
               sub(/sched:sched_switch/, "switches", n); printf "%s %s %.2f\n", s, n, $1 / r }' \
    "$WORK/calls.txt" >> "$WORK/calls"
  echo "  $server: $requests requests counted"
}
calls_table() {  # servers
  awk -v servers="$1" -v when="$(date -u '+%Y-%m-%d %H:%M UTC')" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" '
    { v[$1, $2] = $3 }
    END {
      n = split(servers, list, " ")
      m = split("all accept4 ppoll poll epoll_wait epoll_ctl recvfrom read openat newfstatat sendto " \
                "sendmsg writev sendfile64 write close setsockopt ioctl futex sched_yield switches CPU-us", rows, " ")
      print "# System calls per request, 1 KiB file, 50 connections"
      print ""
      printf "Counted %s (load average %s) with perf stat on the servers'"'"' processes.\n", when, load
      print ""
      line = "| Per request |"; rule = "|---|"
      for (i = 1; i <= n; ++i) { line = line " " list[i] " |"; rule = rule "---:|" }
      print line; print rule
      for (j = 1; j <= m; ++j) {
        shown = 0
        for (i = 1; i <= n; ++i) if (v[list[i], rows[j]] + 0 >= 0.005) shown = 1
        if (!shown) continue
        name = rows[j] == "all" ? "all system calls" : rows[j] == "switches" ? "context switches" : \
               rows[j] == "CPU-us" ? "CPU time, us" : "`" rows[j] "`"
        line = "| " name " |"
        for (i = 1; i <= n; ++i) line = line " " ((list[i], rows[j]) in v ? v[list[i], rows[j]] : "n/a") " |"
        print line
      }
    }' "$WORK/calls"
}
if [ "${BENCH_SYSCALLS:-0}" = 1 ]; then
  command -v perf >/dev/null || { echo "missing tool: perf (Debian package linux-perf)"; exit 1; }
  : > "$WORK/calls"
  for server in $SERVERS; do
    use_server "$server"
    count_calls "$server"
  done
  calls_table "$SERVERS" > "$REPO/bench/results/syscalls.md"
  cat "$REPO/bench/results/syscalls.md"
  exit 0
fi

CASES=${BENCH_CASES:-"static1k head notfound static100k static10m cgi1 cgi10 cgi50 testcgi10 std1 std50 std10m"}
# The first server of a case follows the last case's load (its closed
# connections still fill the system's tables for a while): the second round
# measures the servers in the reverse order.
REVERSED=$(echo "$SERVERS" | tr ' ' '\n' | tac | xargs)
for round in $(seq "$ROUNDS"); do
  echo "round $round"
  ORDER=$SERVERS
  [ $((round % 2)) -eq 0 ] && ORDER=$REVERSED
  for c in $CASES; do
    for server in $ORDER; do
      takes_case "$server" "$c" || continue
      use_server "$server"
      run_case "$server" "$c" "$round"
    done
  done
  # Memory last: forking servers keep a process per idle connection for a while.
  for server in $SERVERS; do
    [ -z "${BENCH_CASES:-}" ] || continue
    case $server in tarveld-log3 | tarveld-access | tarveld-ipv6) continue ;; esac
    use_server "$server"
    run_idle "$server" "$round"
  done
done

# ------------------------------------------------------------ table
LOAD_AFTER=$(cut -d' ' -f1-3 /proc/loadavg)
"$REPO/bench/table.sh" "$WORK/raw" "$SERVERS" "$SECS" "$IDLE" "$LOAD_BEFORE" "$LOAD_AFTER" > "$OUT"
cat "$OUT"
echo
echo "written to ${OUT#"$REPO"/}"
"$REPO/bench/chart.sh" "$OUT" "${OUT%.md}.svg"
