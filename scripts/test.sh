#!/usr/bin/env bash
# Installs what is missing, builds KX, starts a throwaway PostgreSQL server (as a non-root user, on
# a private port and folder) and runs the whole test suite against SQLite and PostgreSQL.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

PG_BIN=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
PG_PORT=${KX_TEST_PG_PORT:-55432}
# The server refuses to run as root: as root it runs as the postgres user.
if [ "$(id -u)" -eq 0 ]; then
  PG_USER=postgres
  id -u "$PG_USER" >/dev/null 2>&1 || useradd --system --no-create-home "$PG_USER"
else
  PG_USER=$(id -un)
fi
PG_DIR=$(mktemp -d /tmp/kx-pg.XXXXXX)
chown "$PG_USER" "$PG_DIR"
as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u "$PG_USER" -- "$@"; else "$@"; fi; }

stop_pg() {
  as_pg "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$PG_DIR"
}
trap stop_pg EXIT

as_pg "$PG_BIN/initdb" -D "$PG_DIR/data" -U kx --auth=trust -E UTF8 >/dev/null
as_pg "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w \
  -o "-p $PG_PORT -k $PG_DIR -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null
as_pg "$PG_BIN/createdb" -h 127.0.0.1 -p "$PG_PORT" -U kx kxtest

export KX_TEST_PG_SERVER="127.0.0.1,$PG_PORT"
export KX_TEST_PG_DATABASE=kxtest
export KX_TEST_PG_USER=kx
# The pool tests restart the server between two calls of one process.
pg_ctl_restart="$PG_BIN/pg_ctl -D $PG_DIR/data -l $PG_DIR/server.log -w -m fast restart"
if [ "$(id -u)" -eq 0 ]; then pg_ctl_restart="runuser -u $PG_USER -- $pg_ctl_restart"; fi
export KX_TEST_PG_CTL="$pg_ctl_restart"
# The session tests read the statements the server logs.
export KX_TEST_PG_LOG="$PG_DIR/server.log"
cd build
ctest --output-on-failure "$@"
