#!/usr/bin/env bash
# Installs what is missing, builds KX, starts a throwaway PostgreSQL server (as a non-root user, on
# a private port and folder) and runs the whole test suite against SQLite and PostgreSQL.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh

PG_PORT=${KX_TEST_PG_PORT:-55432}
source scripts/pg_server.sh
start_pg "$PG_PORT" kx-pg kxtest

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
