# Sourced by the scripts that need a throwaway PostgreSQL server: start_pg PORT PREFIX DATABASE
# initialises a server in a fresh folder /tmp/PREFIX.XXXXXX, starts it on 127.0.0.1:PORT (as the
# postgres user when run as root: the server refuses to run as root) with database DATABASE owned
# by user kx, and stops it and removes the folder when the calling script exits. It sets PG_BIN,
# PG_USER and PG_DIR, and defines as_pg (runs a command as the server's user).
# pg_identity sets PG_BIN (the newest server's programs) and PG_USER (who runs the server).
pg_identity() {
  PG_BIN=$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)
  if [ "$(id -u)" -eq 0 ]; then
    PG_USER=postgres
    id -u "$PG_USER" >/dev/null 2>&1 || useradd --system --no-create-home "$PG_USER"
  else
    PG_USER=$(id -un)
  fi
}
start_pg() {
  local port=$1 prefix=$2 database=$3
  pg_identity
  PG_DIR=$(mktemp -d "/tmp/$prefix.XXXXXX")
  chown "$PG_USER" "$PG_DIR"
  trap stop_pg EXIT
  as_pg "$PG_BIN/initdb" -D "$PG_DIR/data" -U kx --auth=trust -E UTF8 >/dev/null
  # The port can be held for a moment by a client's connection that happened to get it as its own
  # port: try again a few times before giving up.
  local attempt
  for attempt in 1 2 3 4 5; do
    as_pg "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -l "$PG_DIR/server.log" -w \
      -o "-p $port -k $PG_DIR -c listen_addresses=127.0.0.1 -c fsync=off" start >/dev/null && break
    if [ "$attempt" -eq 5 ]; then cat "$PG_DIR/server.log" >&2; exit 1; fi
    sleep 3
  done
  as_pg "$PG_BIN/createdb" -h 127.0.0.1 -p "$port" -U kx "$database"
}

as_pg() { if [ "$(id -u)" -eq 0 ]; then runuser -u "$PG_USER" -- "$@"; else "$@"; fi; }

stop_pg() {
  as_pg "$PG_BIN/pg_ctl" -D "$PG_DIR/data" -m immediate stop >/dev/null 2>&1 || true
  rm -rf "$PG_DIR"
}
