#!/usr/bin/env bash
# The package's life cycle as an administrator lives it, run by
# scripts/test-package.sh as root in a mount namespace of its own:
#   install (nothing starts), enable by hand and start, upgrade to a rebuilt
#   package (the running server is replaced: /proc/PID/exe is the new
#   program), upgrade while stopped (nothing starts), rotate the access log
#   with the package's logrotate file (the server reopens it on SIGUSR2),
#   purge while running (the server is stopped first) and check what is
#   left: the administrator's files, the documents, the logs and the system
#   user and group, but no file of the package, no link to its unit.
# This machine runs no systemd: a tmpfs over /run/systemd, seen in this
# namespace alone, holds the folder by which the maintainer scripts tell a
# running systemd, and scripts/package-test/systemctl stands in for
# systemctl. The real dpkg, deb-systemd-invoke and deb-systemd-helper run.
#
#   lifecycle.sh DEB NEWER-DEB SERVICE-NAME PORT WORK-FOLDER
set -euo pipefail
deb=$1 newer=$2 service=$3 port=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
fail() { echo "life cycle: FAILED: $*"; exit 1; }
step() { echo "--- $*"; }

mount -t tmpfs tmpfs /run/systemd
mkdir /run/systemd/system
# A container's policy (/usr/sbin/policy-rc.d answering 101) forbids the
# maintainer scripts every service action, and deb-systemd-invoke obeys it;
# in this namespace they are allowed, as on a machine that runs systemd.
if [ -e /usr/sbin/policy-rc.d ]; then
  printf '#!/bin/sh\nexit 0\n' > "$work/policy-rc.d"
  chmod 755 "$work/policy-rc.d"
  mount --bind "$work/policy-rc.d" /usr/sbin/policy-rc.d
fi
export PATH="$here:$PATH" TARVELD_STANDIN_STATE=$work/standin
mkdir -p "$TARVELD_STANDIN_STATE"
calls=$TARVELD_STANDIN_STATE/calls.log
: > "$calls"
pid() { cat "$TARVELD_STANDIN_STATE/tarveld.pid" 2>/dev/null || true; }
fetch() { curl -sf --max-time 10 -o /dev/null "http://127.0.0.1:$port$1"; }
wait_served() {
  for _ in $(seq 100); do fetch / && return 0; sleep 0.1; done
  return 1
}
dpkg_quiet() { dpkg --force-confold "$@" > "$work/dpkg.log" 2>&1 || fail "dpkg $*: $(cat "$work/dpkg.log")"; }

step "install: nothing is enabled or started"
dpkg_quiet -i "$deb"
grep -q "try-restart\|systemctl start\|systemctl --quiet --system start" "$calls" && fail "the install started the service"
[ -z "$(pid)" ] || fail "a server runs after the install"

step "the administrator's settings, files of a CGI program, enable and start"
sed -i -e "s/^bind-host = .*/bind-host = 127.0.0.1/" -e "s/^bind-port = .*/bind-port = $service/" \
  -e "s|^#access-log-file = .*|access-log-file = /var/log/tarveld/access.log|" /etc/tarveld/tarveld.conf
echo "notes of the administrator" > /etc/tarveld/local-notes.txt
install -o tarveld -g tarveld -m 0640 /dev/null /var/www/tarveld/written-by-cgi.txt
systemctl enable tarveld.service
systemctl start tarveld.service
wait_served || fail "the started server does not answer: $(cat "$TARVELD_STANDIN_STATE/server.log")"
old=$(pid)
old_inode=$(stat -c %i /usr/bin/tarveld)

step "upgrade to the rebuilt package while the server runs"
: > "$calls"
dpkg_quiet -i "$newer"
grep -q "systemctl try-restart tarveld.service" "$calls" || fail "the upgrade restarted nothing: $(cat "$calls")"
new=$(pid)
[ -n "$new" ] && [ "$new" != "$old" ] || fail "the old server ($old) still serves"
! kill -0 "$old" 2>/dev/null || fail "the old server ($old) still runs"
wait_served || fail "the new server does not answer"
exe=$(readlink "/proc/$new/exe")
[ "$exe" = /usr/bin/tarveld ] || fail "/proc/$new/exe is $exe"
[ "$(stat -L -c %i "/proc/$new/exe")" = "$(stat -c %i /usr/bin/tarveld)" ] ||
  fail "/proc/$new/exe is not the installed program"
[ "$(stat -c %i /usr/bin/tarveld)" != "$old_inode" ] || fail "the upgrade did not replace the program"
grep -q "^bind-port = $service" /etc/tarveld/tarveld.conf || fail "the upgrade lost the administrator's settings"
echo "server $old replaced by $new, running /usr/bin/tarveld of the new package"

step "rotation: logrotate with the package's file, the server reopens its log"
fetch /index.html || fail "GET /index.html"
for _ in $(seq 100); do grep -q '"GET /index.html HTTP/1.1" 200' /var/log/tarveld/access.log 2>/dev/null && break; sleep 0.1; done
grep -q '"GET /index.html HTTP/1.1" 200' /var/log/tarveld/access.log || fail "no access log line"
logrotate -s "$work/logrotate.state" -f /etc/logrotate.d/tarveld || fail "logrotate failed"
grep -q "systemctl kill --kill-whom=main --signal=USR2 tarveld.service" "$calls" ||
  fail "logrotate did not signal the server: $(cat "$calls")"
[ -f /var/log/tarveld/access.log.1 ] || fail "logrotate did not rotate"
for _ in $(seq 100); do grep -q "was reopened" "$TARVELD_STANDIN_STATE/server.log" && break; sleep 0.1; done
fetch /after-rotation.html || true
for _ in $(seq 100); do grep -q "after-rotation" /var/log/tarveld/access.log 2>/dev/null && break; sleep 0.1; done
grep -q '"GET /after-rotation.html HTTP/1.1" 404' /var/log/tarveld/access.log || fail "no line in the new log"
! grep -q "after-rotation" /var/log/tarveld/access.log.1 || fail "a line went to the rotated log"
[ "$(pid)" = "$new" ] || fail "the rotation ended the server"

step "upgrade while stopped: nothing starts"
systemctl stop tarveld.service
! kill -0 "$new" 2>/dev/null || fail "stop left the server running"
dpkg_quiet -i "$newer"
[ -z "$(pid)" ] || fail "an upgrade started a stopped server"
systemctl start tarveld.service
wait_served || fail "the server does not start again"
running=$(pid)

step "purge while running"
: > "$calls"
dpkg_quiet -P tarveld
grep -q "systemctl stop tarveld.service" "$calls" || fail "the purge did not stop the service: $(cat "$calls")"
! kill -0 "$running" 2>/dev/null || fail "the server still runs after the purge"
for path in /usr/bin/tarveld /etc/tarveld/tarveld.conf /etc/logrotate.d/tarveld \
    /usr/lib/systemd/system/tarveld.service /var/www/tarveld/index.html; do
  [ ! -e "$path" ] || fail "the purge left $path"
done
for link in /etc/systemd/system/*/tarveld.service; do
  [ ! -L "$link" ] || fail "the purge left the link $link"
done
[ -f /etc/tarveld/local-notes.txt ] || fail "the purge removed the administrator's file"
[ -f /var/www/tarveld/written-by-cgi.txt ] || fail "the purge removed a document"
[ -f /var/log/tarveld/access.log ] || fail "the purge removed the logs"
getent passwd tarveld >/dev/null || fail "the purge removed the user"
getent group tarveld >/dev/null || fail "the purge removed the group"
[ "$(stat -c %U /var/www/tarveld/written-by-cgi.txt)" = tarveld ] || fail "the CGI program's file lost its owner"
echo "left: /etc/tarveld/local-notes.txt, the documents, /var/log/tarveld, user and group tarveld"
echo "life cycle: passed"
