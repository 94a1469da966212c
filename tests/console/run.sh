#!/usr/bin/env bash
# Runs the browser tests of the operator console on one database engine:
#
#     run.sh sqlite|pg [PLAYWRIGHT TEST ARGUMENTS...]
#
# KX_BINARY names the `kx` to serve (default: build/kx of the source tree) and KX_CONSOLE_OUT the
# folder for what failed tests leave (screenshots; default: tests/console/out). With `pg` the
# database is the test PostgreSQL server (KX_TEST_PG_SERVER, KX_TEST_PG_DATABASE, KX_TEST_PG_USER);
# without it the run is skipped (exit status 77). Playwright and axe-core come from node_modules
# here (scripts/setup.sh installs them), the browser is Debian's chromium.
set -euo pipefail
cd "$(dirname "$0")"
SKIPPED=77

engine=${1:-}
case "$engine" in
  sqlite|pg) shift ;;
  *) echo "usage: $0 sqlite|pg [PLAYWRIGHT TEST ARGUMENTS...]" >&2; exit 2 ;;
esac
if [ "$engine" = pg ]; then
  for name in KX_TEST_PG_SERVER KX_TEST_PG_DATABASE KX_TEST_PG_USER; do
    if [ -z "${!name:-}" ]; then
      echo "SKIPPED: no PostgreSQL server to share ($name not set)"
      exit $SKIPPED
    fi
  done
fi
if [ ! -f node_modules/@playwright/test/cli.js ] ||
   [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "tests/console/node_modules is missing or older than package-lock.json: run scripts/setup.sh" >&2
  exit 1
fi
if [ ! -x /usr/bin/chromium ]; then
  echo "no /usr/bin/chromium (Debian package chromium): run scripts/setup.sh" >&2
  exit 1
fi

export KX_ENGINE=$engine
exec node node_modules/@playwright/test/cli.js test --config playwright.config.mjs "$@"
