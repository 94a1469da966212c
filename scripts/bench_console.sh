#!/usr/bin/env bash
# The operator console's browser benchmark: how long opening an order, or a page of the job order
# search, takes to show its data in Chromium over a table of many orders.
#
#     scripts/bench_console.sh [--engine sqlite|pg] [--orders N] [--rounds R] [--json FILE]
#                              [--dir DIR] [--pg-port PORT]
#
# Defaults: sqlite, 1000000 orders, 20 rounds. It builds nothing: it runs build/kx of the source tree
# or $KX_BINARY. It makes a component folder DIR/ENGINE-N (DIR: --dir, else $KX_CONSOLE_BENCH_DIR,
# else /tmp/kx-console-bench), runs `kx init` there and loads N job orders with two container lines
# each, diary entries and door appointments on some, straight in SQL (bench/console/load_rows.sql,
# through load_sqlite.sql or load_postgresql.sql): with the sqlite3 shell on the database file, or
# with psql on a PostgreSQL server of the folder's own, started like the test servers (as a non-root
# user, fsync off, 127.0.0.1:PORT, PORT from --pg-port, else $KX_CONSOLE_BENCH_PG_PORT, else 55441)
# and stopped at the end. The folder is kept: a later run with the same N (and the same load
# scripts) uses its data again. A million orders take about 15 s to load into SQLite and 30 s into
# PostgreSQL on two cores, and 0.7 GB and 2 GB of disk. Then it starts `kx serve --listen
# 127.0.0.1:0` on the folder (no token file: loopback only) with the source tree's console, and runs
# bench/console/console_bench.mjs, which prints the figures (and writes them to FILE with --json).
# The service's access log stays in the folder as serve.log.
#
# Needs node, /usr/bin/chromium (Debian's package) and Playwright in tests/console/node_modules (run
# scripts/setup.sh); no browser is downloaded.
set -euo pipefail
caller=$PWD  # --json and --dir are taken relative to where the script was started
cd "$(dirname "$0")/.."
root=$PWD

usage() { sed -n '5,6p' "$0" | sed 's/^# \{0,4\}//' >&2; exit 2; }
die() { echo "bench_console: $*" >&2; exit 1; }
absolute() { case "$1" in /*) echo "$1" ;; *) echo "$caller/$1" ;; esac; }

engine=sqlite
orders=1000000
rounds=20
json=
dir=${KX_CONSOLE_BENCH_DIR:-/tmp/kx-console-bench}
pg_port=${KX_CONSOLE_BENCH_PG_PORT:-55441}
while [ $# -gt 0 ]; do
  case "$1" in
    --engine) [ $# -ge 2 ] || usage; engine=$2; shift 2 ;;
    --orders) [ $# -ge 2 ] || usage; orders=$2; shift 2 ;;
    --rounds) [ $# -ge 2 ] || usage; rounds=$2; shift 2 ;;
    --json) [ $# -ge 2 ] || usage; json=$(absolute "$2"); shift 2 ;;
    --dir) [ $# -ge 2 ] || usage; dir=$(absolute "$2"); shift 2 ;;
    --pg-port) [ $# -ge 2 ] || usage; pg_port=$2; shift 2 ;;
    -h|--help) usage ;;
    *) echo "bench_console: unknown argument '$1'" >&2; usage ;;
  esac
done
case "$engine" in
  sqlite) ;;
  pg|postgresql) engine=pg ;;
  *) die "--engine takes sqlite or pg, not '$engine'" ;;
esac
[[ "$orders" =~ ^[1-9][0-9]{0,6}$ ]] && [ "$orders" -le 5000000 ] || die "--orders takes a number from 1 to 5000000"
[[ "$rounds" =~ ^[1-9][0-9]{0,2}$ ]] || die "--rounds takes a number from 1 to 999"
[[ "$pg_port" =~ ^[1-9][0-9]{2,4}$ ]] || die "--pg-port takes a port number"

kx=$(absolute "${KX_BINARY:-$root/build/kx}")
[ -x "$kx" ] || die "no kx at $kx: build it first (scripts/build.sh) or set KX_BINARY"
command -v node >/dev/null || die "no node: run scripts/setup.sh"
[ -x /usr/bin/chromium ] || die "no /usr/bin/chromium (Debian package chromium): run scripts/setup.sh"
[ -f tests/console/node_modules/playwright-core/index.mjs ] ||
  die "no Playwright in tests/console/node_modules: run scripts/setup.sh"
if [ "$engine" = sqlite ]; then
  command -v sqlite3 >/dev/null || die "no sqlite3 shell (Debian package sqlite3)"
  load_sql=$root/bench/console/load_sqlite.sql
else
  command -v psql >/dev/null || die "no psql (Debian package postgresql)"
  load_sql=$root/bench/console/load_postgresql.sql
fi

# The folder is reused only for the same number of orders loaded by the same scripts.
home=$dir/$engine-$orders
dataset="orders=$orders load=$(cat "$load_sql" bench/console/load_rows.sql | sha256sum | cut -c1-16)"
mkdir -p "$dir"
# The lock is held on descriptor 9 until the script ends; the servers it starts do not inherit it.
exec 9>"$home.lock"
flock -n 9 || die "another run is using $home"

# PostgreSQL: a server of the folder's own, whose data stays in the folder between runs.
PG_BIN=
pg_start() {
  source scripts/pg_server.sh  # pg_identity, as_pg
  pg_identity
  local fresh=0
  if [ ! -d "$home/pg/data" ]; then
    mkdir -p "$home/pg"
    chown "$PG_USER" "$home/pg"
    as_pg "$PG_BIN/initdb" -D "$home/pg/data" -U kx --auth=trust -E UTF8 >/dev/null
    fresh=1
  fi
  as_pg "$PG_BIN/pg_ctl" -D "$home/pg/data" -l "$home/pg/server.log" -w \
    -o "-p $pg_port -k $home/pg -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null 9>&- ||
    { tail -n 20 "$home/pg/server.log" >&2; die "the PostgreSQL server did not start (port $pg_port taken?)"; }
  if [ "$fresh" -eq 1 ]; then as_pg "$PG_BIN/createdb" -h 127.0.0.1 -p "$pg_port" -U kx kxconsole; fi
}
pg_stop() {
  if [ -n "$PG_BIN" ]; then as_pg "$PG_BIN/pg_ctl" -D "$home/pg/data" -m fast stop >/dev/null 2>&1 || true; fi
}

serve_pid=
cleanup() {
  if [ -n "$serve_pid" ]; then
    kill -TERM "$serve_pid" 2>/dev/null || true
    wait "$serve_pid" 2>/dev/null || true
  fi
  pg_stop
}
trap cleanup EXIT

# Config.ini, dated an hour back as a deployed one is (KX reads a file written in the last seconds
# again on every call).
write_config() {
  {
    echo "[DATABASE]"
    if [ "$engine" = sqlite ]; then
      printf 'PROVIDER=SQLite\nDATABASENAME=kxconsole\n'
    else
      printf 'PROVIDER=PostgreSQL\nSERVERNAME=127.0.0.1,%s\nDATABASENAME=kxconsole\nUSERID=kx\nPASSWORD=\nFLAG=0\n' "$pg_port"
    fi
    printf '[XML]\nXMLSCHEMAPATH=%s/schemas/\n' "$root"
  } >"$home/Config.ini"
  touch -d '1 hour ago' "$home/Config.ini"
}

if [ -f "$home/dataset" ] && [ "$(head -n 1 "$home/dataset")" = "$dataset" ]; then
  [ "$engine" = pg ] && pg_start
  write_config
  # kx init brings a kept data set up to today's database objects (an index added since, say).
  "$kx" --quiet --home "$home" init >/dev/null
  echo "using the data set in $home ($(sed -n 2p "$home/dataset"))"
else
  if [ -e "$home" ]; then
    [ -f "$home/.kx-console-bench" ] || die "$home exists and is no folder of this benchmark: remove it or use --dir"
    rm -rf "$home"
  fi
  mkdir -p "$home"
  touch "$home/.kx-console-bench"
  [ "$engine" = pg ] && pg_start
  write_config
  "$kx" --quiet --home "$home" init >/dev/null
  echo "loading $orders job orders into $engine in $home ..."
  started=$(date +%s)
  if [ "$engine" = sqlite ]; then
    (cd bench/console && sqlite3 -bail "$home/kxconsole.db" -cmd ".parameter set :orders $orders" <"$load_sql" >/dev/null)
  else
    "$PG_BIN/psql" -q -X -v ON_ERROR_STOP=1 -v orders="$orders" -h 127.0.0.1 -p "$pg_port" -U kx \
      -d kxconsole -f "$load_sql" >/dev/null
  fi
  seconds=$(($(date +%s) - started))
  printf '%s\nloaded in %d s on %s\n' "$dataset" "$seconds" "$(date -u +%Y-%m-%dT%H:%MZ)" >"$home/dataset"
  echo "loaded in $seconds s"
fi

# The service, on a free loopback port; its first line on stdout says where it listens.
: >"$home/serve.log"
"$kx" --home "$home" serve --listen 127.0.0.1:0 --console "$root/src/console" \
  >"$home/serve.out" 2>"$home/serve.log" 9>&- &
serve_pid=$!
url=
for _ in $(seq 300); do
  url=$(sed -n 's/^listening on //p' "$home/serve.out")
  [ -n "$url" ] && break
  kill -0 "$serve_pid" 2>/dev/null || { cat "$home/serve.log" >&2; die "kx serve stopped"; }
  sleep 0.1
done
[ -n "$url" ] || die "kx serve did not say where it listens"

# The commit, and "-dirty" when the work tree differs from it (read without writing the index).
label=$(git rev-parse --short HEAD 2>/dev/null || echo unknown)
git diff-index --quiet HEAD -- 2>/dev/null || label="$label-dirty"
node bench/console/console_bench.mjs --url "$url" --orders "$orders" --rounds "$rounds" --engine "$engine" \
  --label "$label" --log "$home/serve.log" --console "$root/src/console" ${json:+--json "$json"}
echo "the service's access log: $home/serve.log"
