#!/usr/bin/env bash
# Installs the build folder BUILD into a temporary prefix, builds the example program there once
# through find_package(KX) and once through pkg-config, runs both, and runs `kx demo` of the
# installed tree in an empty folder with no component folder given. Any failure fails the test.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kx-install.XXXXXX)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
unset KX_HOME

cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libkx.so.1' | head -n 1)")
[ -n "$libdir" ] && [ -d "$libdir" ] || { echo "libkx.so.1 is not installed"; exit 1; }
for file in "$prefix/bin/kx" "$libdir/kx/libkx_postgres.so" "$libdir/kx/libkx_service.so" "$libdir/kx/libkx_cli.so" "$libdir/kx/Config.ini" \
            "$prefix/include/kx/registry.h" "$prefix/include/kx/transaction.h" "$prefix/share/kx/schemas/KX_XMLSCHEMA" \
            "$prefix/share/kx/database/sqlite/tables.sql" "$prefix/lib/systemd/system/kx.service"; do
  [ -e "$file" ] || { echo "not installed: $file"; exit 1; }
done
# Only the public headers are installed: nothing of the library's own folders.
private=$(find "$prefix/include/kx" -mindepth 1 \( -type d -o -not -name '*.h' \) | head -n 3)
[ -z "$private" ] || { echo "headers of the library's own are installed: $private"; exit 1; }
soname=$(objdump -p "$libdir/libkx.so.1" | awk '$1 == "SONAME" {print $2}')
[ "$soname" = libkx.so.1 ] || { echo "SONAME is '$soname', not libkx.so.1"; exit 1; }
# The library binds its own symbols when it is linked (-Bsymbolic): that is sound only while it
# exports no writable data, of which a program would hold a copy of its own.
writable=$(objdump -T "$libdir/libkx.so.1" | grep -E "[[:space:]](\.data|\.bss|\.tdata|\.tbss)[[:space:]]" || true)
[ -z "$writable" ] || { echo "libkx.so.1 exports writable data:"; echo "$writable"; exit 1; }

# Runs an example program and checks that it used the installed library.
check_example() {
  local out
  out=$("$1")
  echo "$1: $out"
  case "$out" in *"library in $libdir") ;; *) echo "$1 did not load the installed library"; exit 1 ;; esac
}

cmake -S "$here/example" -B "$work/example" -DCMAKE_PREFIX_PATH="$prefix" >"$work/example.log"
cmake --build "$work/example" >>"$work/example.log"
check_example "$work/example/kx_example"

export PKG_CONFIG_PATH=$libdir/pkgconfig
# shellcheck disable=SC2046
${CXX:-c++} -std=c++20 -o "$work/kx_example_pc" "$here/example/main.cpp" $(pkg-config --cflags --libs kx) \
  -Wl,-rpath,"$(pkg-config --variable=libdir kx)"
check_example "$work/kx_example_pc"

# The installed command, in an empty folder: the installed Config.ini puts the database there.
mkdir "$work/empty"
(cd "$work/empty" && "$prefix/bin/kx" demo >"$work/demo.log") || { cat "$work/demo.log"; exit 1; }
[ -f "$work/empty/KX.db" ] || { echo "kx demo wrote no database into the working folder"; exit 1; }
echo "kx demo of the installed tree: $(wc -l <"$work/demo.log") lines"
# The installed command finds its service module: a call to a service that is not there fails
# because nothing answers, not because the module is missing.
set +e
remote=$("$prefix/bin/kx" --quiet call --url http://127.0.0.1:9 C_JBTypeProfile containsKey X 2>&1)
set -e
case "$remote" in
  *"cannot be reached"*) echo "kx call --url of the installed tree loads the service module" ;;
  *) echo "kx call --url of the installed tree: $remote"; exit 1 ;;
esac
# The installed `kx serve` serves the installed operator console.
[ -f "$prefix/share/kx/console/index.html" ] || { echo "the console is not installed"; exit 1; }
mkdir -p "$work/serve"
(cd "$work/serve" && exec "$prefix/bin/kx" serve --listen 127.0.0.1:0 >"$work/serve.out" 2>"$work/serve.err") &
serve=$!
for _ in $(seq 1 50); do grep -q listening "$work/serve.out" 2>/dev/null && break; sleep 0.1; done
url=$(sed -n 's/^listening on //p' "$work/serve.out")
page=$(curl -s "$url/" || true)
kill "$serve"; wait "$serve" || true
grep -q "console at .* from $prefix/share/kx/console" "$work/serve.err" ||
  { echo "the installed kx serve does not serve the installed console:"; cat "$work/serve.err"; exit 1; }
cmp -s <(printf '%s\n' "$page") "$prefix/share/kx/console/index.html" ||
  { echo "kx serve of the installed tree answers / with something else than its index.html"; exit 1; }
echo "kx serve of the installed tree serves its console"
