#!/usr/bin/env bash
# Package, service, manual and scale-out check on a Debian machine, as root
# or as a user with sudo:
# builds the .deb from a release build and checks it with lintian; installs
# it, checks the installed configuration with "tarveld --check", runs the
# installed server as its system user on a loopback port with testcgi
# enabled and fetches a page and a CGI answer; verifies the systemd unit and
# lints the manual pages; removes and purges the package and checks that
# nothing of it is left but the system user and group; goes through the
# package's life cycle with a stand-in service manager (install, enable,
# upgrade to a rebuilt package, log rotation, purge: see
# scripts/package-test/lifecycle.sh); builds and lists the Windows ZIP; runs
# the scale-out check. Everything it installs or starts is removed or
# stopped at its end, the user and group included.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/lib.sh

if [ "$(id -u)" -eq 0 ]; then SUDO=""; else SUDO="sudo"; fi
# scripts/test-all.sh installs the packages of every stage at once.
if [ "${TARVELD_SKIP_PACKAGES:-}" != 1 ]; then
  $SUDO apt-get update
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends g++ cmake ninja-build \
    dpkg-dev lintian mandoc man-db systemd adduser netbase curl iproute2 haproxy unzip \
    logrotate g++-mingw-w64-x86-64-posix
fi

stage() { echo; echo "=== $*"; }
fail() { echo "test-package: FAILED: $*"; exit 1; }

if dpkg -s tarveld >/dev/null 2>&1 || getent passwd tarveld >/dev/null; then
  fail "a tarveld package or user exists already; this check installs and purges its own"
fi

work=$(mktemp -d /tmp/tarveld-package-XXXXXX)
server=""
installed=0
cleanup() {
  if [ -n "$server" ]; then $SUDO kill -TERM "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  # A server that the life cycle's stand-in started and a failure left.
  standin=$(cat "$work/lifecycle/standin/tarveld.pid" 2>/dev/null || true)
  if [ -n "$standin" ]; then $SUDO kill -TERM "$standin" 2>/dev/null || true; fi
  $SUDO rm -f /var/www/tarveld/test.cgi
  if [ "$installed" = 1 ]; then $SUDO dpkg -P tarveld >/dev/null 2>&1 || true; fi
  # What a purge keeps on purpose, made by this check alone.
  $SUDO rm -f /etc/tarveld/local-notes.txt /var/www/tarveld/written-by-cgi.txt
  $SUDO rm -rf /var/log/tarveld
  $SUDO rmdir /etc/tarveld /var/www/tarveld 2>/dev/null || true
  $SUDO rmdir /var/www 2>/dev/null || true
  if getent passwd tarveld >/dev/null; then $SUDO deluser --system --quiet tarveld >/dev/null 2>&1 || true; fi
  if getent group tarveld >/dev/null; then $SUDO delgroup --system --quiet tarveld >/dev/null 2>&1 || true; fi
  $SUDO rm -rf "$work"
}
trap cleanup EXIT

stage "Debian package from a release build"
# With Debian's hardening flags, as a Debian build would compile it.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
cmake -S . -B build-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELD_TESTS=OFF -DTARVELD_DEB_RELEASE= \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake --build build-package
rm -f build-package/tarveld_*.deb
(cd build-package && cpack -G DEB)
version=$(build-package/tarveld --version | awk '{print $2}')
deb=build-package/tarveld_${version}_amd64.deb
[ -f "$deb" ] || fail "no $deb"
dpkg-deb -I "$deb"
dpkg-deb -c "$deb"
# Errors fail the check; warnings and notes are shown.
lintian --display-info "$deb"

stage "install"
installed=1
$SUDO dpkg -i "$deb"
for path in /usr/bin/tarveld /usr/bin/testcgi /etc/tarveld/tarveld.conf /var/www/tarveld/index.html \
    /usr/lib/systemd/system/tarveld.service /usr/share/man/man8/tarveld.8.gz \
    /usr/share/man/man5/tarveld.conf.5.gz /usr/share/man/man1/testcgi.1.gz /etc/logrotate.d/tarveld \
    /usr/share/doc/tarveld/examples/tarveld.conf /usr/share/doc/tarveld/examples/www/index.html; do
  [ -e "$path" ] || fail "$path was not installed"
done
dpkg-query -W -f='${Conffiles}\n' tarveld | grep -q "/etc/tarveld/tarveld.conf" ||
  fail "the configuration is not a conffile"
dpkg-query -W -f='${Conffiles}\n' tarveld | grep -q "/etc/logrotate.d/tarveld" ||
  fail "the logrotate file is not a conffile"
getent passwd tarveld >/dev/null || fail "no system user tarveld"
if ls /etc/systemd/system/*.wants/tarveld.service >/dev/null 2>&1; then
  fail "the package enabled the service by itself"
fi

stage "installed configuration: tarveld --check"
/usr/bin/tarveld --check /etc/tarveld/tarveld.conf > "$work/check.log" || fail "--check: $(cat "$work/check.log")"
tail -1 "$work/check.log"
if grep "\[W\]" "$work/check.log"; then fail "the installed configuration draws warnings"; fi

stage "installed server as user tarveld on a loopback port, testcgi enabled"
pick_services 1 || fail "no free service port"
service=${SERVICE_NAMES[0]}
port=${SERVICE_PORTS[0]}
chmod 755 "$work"
sed -e "s/^bind-host = .*/bind-host = 127.0.0.1/" -e "s/^bind-port = .*/bind-port = $service/" \
    -e "s/^log-level = .*/log-level = 3/" -e "s/^#cgi-type = cgi/cgi-type = cgi/" \
    /etc/tarveld/tarveld.conf > "$work/tarveld.conf"
grep -q "^cgi-type = cgi | /usr/bin/testcgi |" "$work/tarveld.conf" || fail "no testcgi entry to enable"
echo "stands for testcgi" | $SUDO tee /var/www/tarveld/test.cgi >/dev/null
$SUDO setpriv --reuid=tarveld --regid=tarveld --init-groups /usr/bin/tarveld "$work/tarveld.conf" \
  > "$work/server.log" 2>&1 &
server=$!
wait_for_start "$work/server.log" || fail "the server did not start: $(cat "$work/server.log")"
curl -sf --max-time 10 -o "$work/index.html" "http://127.0.0.1:$port/" || fail "GET / did not answer 200"
grep -q "tarveld is serving" "$work/index.html" || fail "GET / did not give the default page"
curl -sf --max-time 10 -o "$work/cgi.html" "http://127.0.0.1:$port/test.cgi?x=1" ||
  fail "GET /test.cgi did not answer 200"
grep -q 'QUERY_STRING="x=1"' "$work/cgi.html" || fail "testcgi did not answer: $(cat "$work/cgi.html")"
curl -sf --max-time 10 -o "$work/post.html" -H "Content-Type: text/plain" \
  --data-binary $'NAME=tarveld\nTEST=1\n' "http://127.0.0.1:$port/test.cgi" || fail "POST /test.cgi failed"
grep -q "TEST=1" "$work/post.html" || fail "testcgi did not echo the POST: $(cat "$work/post.html")"
# SIGTERM, as systemd stops it: the shutdown, exit status 0.
$SUDO kill -TERM "$server"
status=0
wait "$server" || status=$?
server=""
[ "$status" -eq 0 ] || fail "the server ended with $status on SIGTERM"
grep -q "Received the terminating signal. (6)" "$work/server.log" || fail "no shutdown on SIGTERM"
$SUDO rm -f /var/www/tarveld/test.cgi
echo "served / and testcgi as user tarveld on port $port; SIGTERM gave exit status 0"

stage "systemd unit and manual pages"
systemd-analyze verify /usr/lib/systemd/system/tarveld.service
mandoc -T lint -W warning man/tarveld.8 man/tarveld.conf.5 man/testcgi.1
for page in /usr/share/man/man8/tarveld.8.gz /usr/share/man/man5/tarveld.conf.5.gz \
    /usr/share/man/man1/testcgi.1.gz; do
  zcat "$page" | mandoc -T lint -W warning
done
man -w tarveld tarveld.conf testcgi

stage "remove, then purge"
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||' | grep -v '/$' > "$work/files.txt"
$SUDO dpkg -r tarveld
[ ! -e /usr/bin/tarveld ] || fail "dpkg -r left /usr/bin/tarveld"
[ -f /etc/tarveld/tarveld.conf ] || fail "dpkg -r removed the configuration"
$SUDO dpkg -P tarveld
installed=0
while read -r path; do
  [ ! -e "$path" ] || fail "dpkg -P left $path"
done < "$work/files.txt"
for path in /etc/tarveld /var/www/tarveld /usr/share/doc/tarveld /usr/share/tarveld; do
  [ ! -e "$path" ] || fail "dpkg -P left $path"
done
# Debian's advice: the system user and group stay.
getent passwd tarveld >/dev/null || fail "dpkg -P removed the user tarveld"
getent group tarveld >/dev/null || fail "dpkg -P removed the group tarveld"
! dpkg -s tarveld >/dev/null 2>&1 || fail "dpkg still knows tarveld"
echo "nothing of the package is left but its user and group"

stage "life cycle: enable, upgrade to a rebuilt package, rotate the log, purge"
# The same build packaged once more as the next Debian revision.
cmake -S . -B build-package -DTARVELD_DEB_RELEASE=2 >/dev/null
(cd build-package && cpack -G DEB >/dev/null)
cmake -S . -B build-package -DTARVELD_DEB_RELEASE= >/dev/null
newer=build-package/tarveld_${version}-2_amd64.deb
[ -f "$newer" ] || fail "no $newer"
mkdir -p "$work/lifecycle"
installed=1
$SUDO unshare --mount --propagation private scripts/package-test/lifecycle.sh "$(realpath "$deb")" \
  "$(realpath "$newer")" "$service" "$port" "$work/lifecycle"
installed=0

stage "Windows ZIP (mingw-w64)"
cmake -S . -B build-win32-package -G Ninja -DCMAKE_BUILD_TYPE=Release -DTARVELD_TESTS=OFF \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
cmake --build build-win32-package
rm -f build-win32-package/tarveld-*.zip
(cd build-win32-package && cpack -G ZIP)
zip=build-win32-package/tarveld-${version}-win64.zip
unzip -l "$zip"
for entry in tarveld.exe testcgi.exe tarveld.conf README.md docs/development.md www/index.html www/test.cgi; do
  unzip -l "$zip" "tarveld-${version}-win64/$entry" >/dev/null || fail "the ZIP lacks $entry"
done

stage "scale-out behind HAProxy"
examples/scale-out/run.sh build-package/tarveld
