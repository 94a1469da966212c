#!/usr/bin/env bash
# Builds the benchmarks (Release, build-bench/), starts a throwaway PostgreSQL server (as a non-root
# user, on a private port and a folder in /tmp) and runs kx_compare with the arguments given, for
# example --quick, --only paging, --engine sqlite, --json FILE. The server is stopped afterwards.
# With --compare BEFORE.json NOW.json it only prints how the figures of two runs differ.
# A server of your own is used instead when KX_BENCH_PG_SERVER ("host,port") is already set.
set -euo pipefail
caller=$PWD  # file arguments (--json, --compare) are taken relative to where the script was started
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_BENCH=ON -DKX_BUILD_TESTS=OFF >/dev/null
# The build folder is not part of the sources.
[ -f build-bench/.gitignore ] || echo '*' > build-bench/.gitignore
cmake --build build-bench -j2

# PostgreSQL is left out only when the arguments ask for SQLite alone.
want_pg=1
args=" $* "
if [[ "$args" == *" --engine sqlite "* && "$args" != *postgresql* ]]; then want_pg=0; fi
if [[ "$args" == *" --compare "* ]]; then want_pg=0; fi

if [ "$want_pg" -eq 1 ] && [ -z "${KX_BENCH_PG_SERVER:-}" ]; then
  PG_BIN=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  PG_PORT=${KX_BENCH_PG_PORT:-55440}
  # The server refuses to run as root: as root it runs as the postgres user.
  if [ "$(id -u)" -eq 0 ]; then
    PG_USER=postgres
    id -u "$PG_USER" >/dev/null 2>&1 || useradd --system --no-create-home "$PG_USER"
  else
    PG_USER=$(id -un)
  fi
  PG_DIR=$(mktemp -d /tmp/kx-bench-pg.XXXXXX)
  chown "$PG_USER" "$PG_DIR"
  as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u "$PG_USER" -- "$@"; else "$@"; fi; }
  stop_pg() {
    as_pg "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1 || true
    rm -rf "$PG_DIR"
  }
  trap stop_pg EXIT
  as_pg "$PG_BIN/initdb" -D "$PG_DIR/data" -U kx --auth=trust -E UTF8 >/dev/null
  # The port can be held for a moment by a client's connection that happened to get it as its own
  # port: try again a few times before giving up.
  for attempt in 1 2 3 4 5; do
    as_pg "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w \
      -o "-p $PG_PORT -k $PG_DIR -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null && break
    if [ "$attempt" -eq 5 ]; then cat "$PG_DIR/server.log" >&2; exit 1; fi
    sleep 3
  done
  as_pg "$PG_BIN/createdb" -h 127.0.0.1 -p "$PG_PORT" -U kx kxbench
  export KX_BENCH_PG_SERVER="127.0.0.1,$PG_PORT" KX_BENCH_PG_DATABASE=kxbench KX_BENCH_PG_USER=kx
fi

label=$(git describe --always --dirty 2>/dev/null || echo unknown)
cd "$caller"
"$root/build-bench/bench/kx_compare" --label "$label" "$@"
