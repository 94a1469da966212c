#!/usr/bin/env bash
# Builds the Debian package of KX (build-deb/, installed prefix /usr), installs it, runs `kx demo`
# as an unprivileged user in an empty folder, checks what the package put where, and removes it.
# Installing needs root: run as another user, it says so and does nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
  echo "deb check skipped: installing the package needs root"
  exit 0
fi
if dpkg-query -W -f='${Status}' kx 2>/dev/null | grep -q "install ok installed"; then
  echo "deb check: a kx package is installed already; remove it first (dpkg -r kx)" >&2
  exit 1
fi
scripts/setup.sh
cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKX_BUILD_TESTS=OFF >/dev/null
# The build folder is not part of the sources.
[ -f build-deb/.gitignore ] || echo '*' > build-deb/.gitignore
cmake --build build-deb -j2
rm -f build-deb/kx_*.deb
(cd build-deb && cpack -G DEB >/dev/null)
deb=$(ls build-deb/kx_*.deb)
echo "deb check: built $deb"
dpkg-deb --field "$deb" Package Version Depends

work=$(mktemp -d /tmp/kx-deb.XXXXXX)
cleanup() {
  dpkg -r kx >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "./$deb" >/dev/null

fail() { echo "deb check failed: $*" >&2; exit 1; }
# libxml2 is opened at run time, not linked, so the package must name it itself.
dpkg-deb --field "$deb" Depends | grep -q 'libxml2' || fail "the package does not depend on libxml2"
libdir=$(dirname "$(dpkg -L kx | grep '/libkx\.so\.1$')")
for file in /usr/bin/kx "$libdir/libkx.so.1" "$libdir/kx/libkx_postgres.so" "$libdir/kx/libkx_cli.so" "$libdir/kx/Config.ini" \
            "$libdir/cmake/KX/KXConfig.cmake" /usr/include/kx/registry.h \
            /usr/share/kx/schemas/KX_XMLSCHEMA /usr/share/kx/database/sqlite/tables.sql \
            /usr/lib/systemd/system/kx.service /usr/lib/sysusers.d/kx.conf; do
  [ -e "$file" ] || fail "the package does not install $file"
done
grep -q '^XMLSCHEMAPATH=/usr/share/kx/schemas/$' "$libdir/kx/Config.ini" || fail "Config.ini names the wrong schema folder"
grep -q "ExecStart=/usr/bin/kx --home /var/lib/kx serve" /usr/lib/systemd/system/kx.service ||
  fail "kx.service does not start /usr/bin/kx"
# The whole list is read: `grep -q` would stop reading it, and the writer would die of SIGPIPE under
# pipefail once the cache is long (as on a machine with a browser installed).
ldconfig -p | grep "libkx.so.1 " >/dev/null || fail "the loader does not know libkx.so.1"
[ "$(pkg-config --modversion kx)" = "$(dpkg-deb --field "$deb" Version)" ] || fail "pkg-config kx does not find the package"
if command -v systemd-analyze >/dev/null 2>&1; then
  systemd-analyze verify /usr/lib/systemd/system/kx.service || fail "systemd finds fault with kx.service"
fi
id kx >/dev/null 2>&1 || fail "the package did not create the user kx of kx.service"
systemctl is-enabled kx.service >/dev/null 2>&1 && fail "kx.service is enabled by the package"

# `kx demo` as an unprivileged user, in an empty folder, with no component folder given.
chmod 0777 "$work"
runuser -u nobody -- env -u KX_HOME sh -c "cd '$work' && kx demo" >"$work/demo.log" 2>&1 ||
  { cat "$work/demo.log"; fail "kx demo failed"; }
[ -f "$work/KX.db" ] || fail "kx demo wrote no database into the working folder"
echo "deb check: kx demo ran as nobody in $work ($(wc -l <"$work/demo.log") lines)"

# The Python module from Debian's own module folder, with its stubs, for an unprivileged user.
[ -e /usr/lib/python3/dist-packages/kx-stubs/__init__.pyi ] || fail "the package does not install the kx stubs"
runuser -u nobody -- env -u KX_HOME -u PYTHONPATH sh -c \
  "cd '$work' && /usr/bin/python3 -c 'import kx; kx.home(\".\"); kx.init(); assert \"C_JBOrder\" in kx.classes()'" ||
  fail "the package's Python module cannot be imported and used"
echo "deb check: import kx ran as nobody"

dpkg -r kx >/dev/null
[ ! -e /usr/bin/kx ] || fail "dpkg -r kx left /usr/bin/kx behind"
echo "deb check: passed"
