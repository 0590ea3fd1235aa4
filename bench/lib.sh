# shellcheck shell=bash
# Shell functions shared by the bench scripts, the scale-out example and the
# package check: service names with a free port, the server's configuration,
# waiting for a server, and stopping process trees. Sourced, never run.

# Service names with high ports from the services database: the pool the
# end-to-end tests take theirs from, under the same lock files.
TARVELD_SERVICE_POOL="x11-1 x11-2 x11-3 x11-4 x11-5 x11-6 x11-7 http-alt bacula-dir bacula-fd
  bacula-sd xmms2 amqp amqps sge-qmaster sge-execd mysql-proxy gnutella-svc gnutella-rtr ircs-u
  bbs font-service puppet freeciv xmpp-client xmpp-server sip sip-tls cfengine mtn radmin-port
  svn daap distcc nut x11"

# Whether nothing listens on the TCP port, on any address.
port_free() {
  local tables=(/proc/net/tcp)
  [ -r /proc/net/tcp6 ] && tables+=(/proc/net/tcp6)
  ! awk -v port="$(printf ':%04X' "$1")" '$4 == "0A" && $2 ~ port "$" {found = 1} END {exit !found}' \
    "${tables[@]}"
}

# Picks COUNT service names whose ports are free into SERVICE_NAMES and
# SERVICE_PORTS, each held by its lock file until the script ends, so that
# runs side by side (tests included) never share a port. The server takes
# the name, never the number.
pick_services() {  # count
  local name port lock
  SERVICE_NAMES=()
  SERVICE_PORTS=()
  for name in $TARVELD_SERVICE_POOL; do
    [ "${#SERVICE_NAMES[@]}" -lt "$1" ] || break
    port=$(getent services "$name/tcp" | awk '{split($2, p, "/"); print p[1]}')
    [ -n "$port" ] || continue
    exec {lock}>"/tmp/tarveld-e2e-port-$name.lock"
    if flock -n "$lock" && port_free "$port"; then
      SERVICE_NAMES+=("$name")
      SERVICE_PORTS+=("$port")
    else
      exec {lock}>&-
    fi
  done
  [ "${#SERVICE_NAMES[@]}" -eq "$1" ] || { echo "no $1 free service ports"; return 1; }
}

# Writes a configuration with every key set: ROOT served on 127.0.0.1 at the
# service's port for GET, HEAD and POST, html and every other file typed,
# warnings and errors logged. The lines of EXTRA follow: a key given again
# overrides (the later line wins), content-type, cgi-type and support-method
# lines add entries.
write_tarveld_conf() {  # file service root [extra lines]
  cat > "$1" <<CONF
bind-host = 127.0.0.1
bind-port = $2
socket-protocol = tcp
socket-domain = AF_INET
socket-type = SOCK_STREAM
socket-backlog = 1024
max-connect = 64
buffer-size = 8192
loop-cycle-sec = 0
loop-cycle-usec = 10000
retry-seconds = 1
session-timeout = 30
cgi-exe-timeout = 10000
cgi-io-timeout = 5000
www-route = $3
default-html = index.html
content-type = html : text/html
content-type = * : application/octet-stream
support-method = GET
support-method = HEAD
support-method = POST
HTTP-version = 1.0
log-level = 2
time-flag = off
dump-log = off
access-log2 = off
${4:-}
CONF
}

# Waits up to 10 s until the port on the host takes connections; with a PID,
# gives up as soon as that process has ended.
wait_for_port() {  # host port [pid]
  for _ in $(seq 100); do
    (exec 3<>"/dev/tcp/$1/$2") 2>/dev/null && return 0
    [ -z "${3:-}" ] || kill -0 "$3" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Waits up to 10 s for tarveld's start line in its console log (log-level 3
# and above write it).
wait_for_start() {  # log
  for _ in $(seq 100); do
    grep -q "Tarvel server is started." "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# A process and all its descendants (forking servers' per-connection children).
process_tree() {  # pid
  local pids=$1 next=$1 p
  while [ -n "$next" ]; do
    next=$(for p in $next; do cat /proc/"$p"/task/*/children 2>/dev/null || true; done | xargs)
    pids="$pids $next"
  done
  echo "$pids"
}

# The start time of a process: with the pid, it names the process even
# after its number could have been given to another one. Empty once the
# process has gone.
start_time() { { sed 's/.*) //' "/proc/$1/stat" 2>/dev/null || true; } | awk '{print $20}'; }

# Stops a process with its whole tree: TERM, up to 5 s of grace, then KILL
# for what is left of the processes it had, never for a later holder of one
# of their numbers. A process that has ended already is no failure (under
# set -e a failure here would cut the clean-up short).
stop_pid() {  # pid
  local pid=$1 tree p started=()
  [ -n "$pid" ] || return 0
  tree=$(process_tree "$pid")
  for p in $tree; do started+=("$p:$(start_time "$p")"); done
  kill -TERM $tree 2>/dev/null || true
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  for p in "${started[@]}"; do
    [ -n "${p#*:}" ] && [ "$(start_time "${p%%:*}")" = "${p#*:}" ] &&
      kill -KILL "${p%%:*}" 2>/dev/null || true
  done
  wait "$pid" 2>/dev/null || true
}
