#!/usr/bin/env bash
# Scale-out check: two tarveld instances behind HAProxy on 127.0.0.1.
#   examples/scale-out/run.sh [path-to-tarveld]
# Starts both instances (one configuration each, one shared document root)
# and HAProxy with haproxy.cfg beside this script, checks from both
# instances' logs that requests were spread over both and that each logged
# the client's address from HAProxy's PROXY header (the client connects from
# 127.0.0.3, HAProxy from 127.0.0.2), stops one instance with its stop file
# under a steady load and checks that no request was lost, then stops
# everything. Needs haproxy and curl; takes about 10 s and
# gives up after 60 s.
set -euo pipefail
# The whole run is bounded: after 60 s it is ended, and its clean-up stops
# whatever it started.
if [ -z "${SCALE_OUT_BOUNDED:-}" ]; then
  SCALE_OUT_BOUNDED=1 exec timeout --kill-after=10 60 "$0" "$@"
fi
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../bench/lib.sh"
TARVELD=$(realpath "${1:-$here/../../build/tarveld}")
for tool in haproxy curl flock; do
  command -v "$tool" >/dev/null || { echo "needs $tool (apt-get install haproxy curl util-linux)"; exit 1; }
done
[ -x "$TARVELD" ] || { echo "no tarveld at $TARVELD"; exit 1; }

work=$(mktemp -d /tmp/tarveld-scale-out-XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'echo "scale-out: FAILED: stopped after 60 s"; exit 1' TERM INT

fail() { echo "scale-out: FAILED: $*"; exit 1; }

# tarveld listens on a service name's port; the names are held for this run.
pick_services 2 || fail "no two free service ports"
front=""
for port in $(seq 18000 18099); do
  if port_free "$port"; then front=$port; break; fi
done
[ -n "$front" ] || fail "no free port for HAProxy"

mkdir -p "$work/www"
echo "hello from the shared document root" > "$work/www/hello.txt"
echo "<html><body>scale-out</body></html>" > "$work/www/index.html"

# Each instance runs the bundled example configuration, with its own port,
# the shared document root, no CGI program, and HAProxy as its balancer.
start_instance() {  # number, service name
  local dir="$work/web$1"
  mkdir -p "$dir"
  sed -e "s/^bind-port = .*/bind-port = $2/" -e "s|^www-route = .*|www-route = $work/www|" \
      -e "/^cgi-type = /d" -e "s/^log-level = .*/log-level = 3/" \
      -e "s/^#proxy-protocol = .*/proxy-protocol = on/" -e "s/^#proxy-from = .*/proxy-from = 127.0.0.2/" \
      "$here/../tarveld.conf" > "$dir/tarveld.conf"
  (cd "$dir" && exec "$TARVELD" tarveld.conf stop.flag > log.txt 2>&1) &
  pids+=("$!")
  eval "web$1=$!"
}

start_instance 1 "${SERVICE_NAMES[0]}"
start_instance 2 "${SERVICE_NAMES[1]}"
for n in 1 2; do
  wait_for_start "$work/web$n/log.txt" || fail "instance $n did not start: $(cat "$work/web$n/log.txt")"
done

# Each address by the line it stands on: a port picked may be the one the
# other line names.
sed -e "s/bind 127.0.0.1:[0-9]*/bind 127.0.0.1:$front/" \
    -e "s/server web1 127.0.0.1:[0-9]*/server web1 127.0.0.1:${SERVICE_PORTS[0]}/" \
    -e "s/server web2 127.0.0.1:[0-9]*/server web2 127.0.0.1:${SERVICE_PORTS[1]}/" \
    "$here/haproxy.cfg" > "$work/haproxy.cfg"
grep -q "server web2 127.0.0.1:${SERVICE_PORTS[1]} " "$work/haproxy.cfg" || fail "haproxy.cfg has no web2 line to set"
haproxy -f "$work/haproxy.cfg" -db > "$work/haproxy.log" 2>&1 &
pids+=("$!")

url="http://127.0.0.1:$front/hello.txt"
# The clients connect from an address of their own: the instances must log it.
curl() { command curl --interface 127.0.0.3 "$@"; }
served() { grep -c "Request URI: /hello.txt" "$work/web$1/log.txt" || true; }
# Ready when HAProxy has sent a request to each instance.
for _ in $(seq 200); do
  curl -s -o /dev/null --max-time 5 "$url" || true
  [ "$(served 1)" -gt 0 ] && [ "$(served 2)" -gt 0 ] && break
  sleep 0.05
done
before1=$(served 1)
before2=$(served 2)

# Requests are spread over both instances.
requests=100
for _ in $(seq "$requests"); do
  body=$(curl -s --max-time 5 "$url") || fail "a request failed"
  [ "$body" = "hello from the shared document root" ] || fail "wrong answer: $body"
done
served1=$(($(served 1) - before1))
served2=$(($(served 2) - before2))
echo "scale-out: $requests requests, instance 1 served $served1, instance 2 served $served2"
[ "$served1" -ge $((requests / 4)) ] && [ "$served2" -ge $((requests / 4)) ] ||
  fail "the requests were not spread over both instances"
# The client's address arrived through the PROXY header, at both instances;
# none of HAProxy's connections was refused.
for n in 1 2; do
  logged=$(grep -c "Connected from 127.0.0.3 (ID=" "$work/web$n/log.txt" || true)
  [ "$logged" -ge "$(served "$n")" ] ||
    fail "instance $n logged $logged connections of the client for $(served "$n") requests"
  ! grep -q "Refused a connection" "$work/web$n/log.txt" || fail "instance $n refused HAProxy's connections"
done
echo "scale-out: both instances logged the client's address 127.0.0.3"

# A steady bounded load (4 clients, 100 requests each); instance 1 stops by
# its stop file meanwhile. Every request must still be answered.
clients=4
each=100
for c in $(seq "$clients"); do
  (
    for _ in $(seq "$each"); do
      curl -s -o /dev/null --max-time 5 -w '%{http_code}\n' "$url" || echo "000"
    done > "$work/codes$c.txt"
  ) &
  pids+=("$!")
  eval "client$c=$!"
done
while [ "$(cat "$work"/codes*.txt 2>/dev/null | wc -l)" -lt 60 ]; do sleep 0.05; done
touch "$work/web1/stop.flag"
status=0
wait "$web1" || status=$?
[ "$status" -eq 0 ] || fail "instance 1 ended with status $status"
grep -q "Received the terminating signal. (0)" "$work/web1/log.txt" || fail "instance 1 did not shut down by its stop file"
for c in $(seq "$clients"); do wait "$(eval echo "\$client$c")"; done
total=$(cat "$work"/codes*.txt | wc -l)
good=$(grep -c "^200$" "$work"/codes*.txt | awk -F: '{s += $2} END {print s}')
echo "scale-out: $total requests under load while instance 1 stopped, $good answered 200"
[ "$total" -eq $((clients * each)) ] && [ "$good" -eq "$total" ] || fail "requests were lost"
[ "$(served 2)" -gt $((before2 + served2)) ] || fail "instance 2 took no requests"

touch "$work/web2/stop.flag"
wait "$web2" || fail "instance 2 did not stop cleanly"
echo "scale-out: passed"
