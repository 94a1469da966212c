#!/usr/bin/env bash
# Builds the benchmarks (Release, build-bench/), starts a throwaway PostgreSQL server (as a non-root
# user, on a private port and a folder in /tmp) and runs kx_compare with the arguments given, for
# example --quick, --only paging, --engine sqlite, --json FILE. The server is stopped afterwards.
# With --compare BEFORE.json NOW.json it only prints how the figures of two runs differ.
# With --only copy it runs kx_copy_bench: `kx copy` of job orders from SQLite to PostgreSQL against
# PostgreSQL's own COPY (--quick, --orders N, --json).
# With --only odbc it runs kx_odbc_bench: the type profile calls on SQLite and PostgreSQL through
# ODBC against the same calls through the engines' own drivers (--quick, --engine, --rounds, --json).
# With --only service it runs kx_service_bench instead: the HTTP service (`kx serve`) under 1, 8, 64
# and 512 keep-alive connections, with the other arguments (--quick, --engine, --connections,
# --rounds, --seconds, --serve-workers, --before, --json).
# A server of your own is used instead when KX_BENCH_PG_SERVER ("host,port") is already set;
# KX_BENCH_PG_MAX_CONNECTIONS raises the throwaway server's max_connections (100), for a kx serve
# that holds a database connection per open client connection.
set -euo pipefail
caller=$PWD  # file arguments (--json, --compare) are taken relative to where the script was started
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DKX_BUILD_BENCH=ON -DKX_BUILD_TESTS=OFF >/dev/null
# The build folder is not part of the sources.
[ -f build-bench/.gitignore ] || echo '*' > build-bench/.gitignore
cmake --build build-bench -j2

# `--only service` picks the service benchmark; the other arguments go to it as they are.
program=kx_compare
rest=()
while [ $# -gt 0 ]; do
  if [ "$1" = "--only" ] && [ "${2:-}" = "service" ]; then
    program=kx_service_bench
    shift 2
    continue
  fi
  if [ "$1" = "--only" ] && [ "${2:-}" = "copy" ]; then
    program=kx_copy_bench
    shift 2
    continue
  fi
  if [ "$1" = "--only" ] && [ "${2:-}" = "odbc" ]; then
    program=kx_odbc_bench
    shift 2
    continue
  fi
  rest+=("$1")
  shift
done
set -- "${rest[@]}"

# PostgreSQL is left out only when the arguments ask for SQLite alone.
want_pg=1
args=" $* "
if [[ "$args" == *" --engine sqlite "* && "$args" != *postgresql* ]]; then want_pg=0; fi
if [[ "$args" == *" --compare "* ]]; then want_pg=0; fi

if [ "$want_pg" -eq 1 ] && [ -z "${KX_BENCH_PG_SERVER:-}" ]; then
  PG_PORT=${KX_BENCH_PG_PORT:-55440}
  source scripts/pg_server.sh
  start_pg "$PG_PORT" kx-bench-pg kxbench
  if [ -n "${KX_BENCH_PG_MAX_CONNECTIONS:-}" ]; then
    as_pg "$PG_BIN/psql" -h 127.0.0.1 -p "$PG_PORT" -U kx -d kxbench -qc \
      "ALTER SYSTEM SET max_connections = ${KX_BENCH_PG_MAX_CONNECTIONS//[^0-9]/}"
    # A restart without -o keeps the options the server was started with.
    as_pg "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w restart >/dev/null
  fi
  export KX_BENCH_PG_SERVER="127.0.0.1,$PG_PORT" KX_BENCH_PG_DATABASE=kxbench KX_BENCH_PG_USER=kx
fi

label=$(git describe --always --dirty 2>/dev/null || echo unknown)
cd "$caller"
"$root/build-bench/bench/$program" --label "$label" "$@"
