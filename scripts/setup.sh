#!/usr/bin/env bash
# Installs what KX needs to build and test, when it is missing (Debian 12, as root). Idempotent.
# With arguments, installs those Debian packages instead, when missing.
set -euo pipefail
# Boost (Beast over Asio) for the service's HTTP front; HAProxy for the test of several `kx serve`
# processes behind one load balancer (deploy/haproxy/); Chromium and a font for the browser tests of
# the operator console (tests/console).
packages=(build-essential cmake pkg-config libsqlite3-dev libpq-dev postgresql-15 libxml2-dev
          libcli11-dev libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
          nlohmann-json3-dev libssl-dev openssl dpkg-dev file python3-yaml python3-jsonschema
          libboost1.81-dev haproxy chromium fonts-dejavu-core
          unixodbc-dev libsqliteodbc odbc-postgresql tdsodbc
          pybind11-dev python3-dev python3-pytest mypy)
if [ $# -gt 0 ]; then packages=("$@"); fi
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser tests of the operator console run Playwright and axe-core at the versions that
# tests/console/package-lock.json pins, installed with `npm ci` into tests/console/node_modules when
# they are missing or older than the lock file. They drive the chromium above: Playwright downloads
# no browser. Node and npm come from Debian's packages when the machine has none.
if [ $# -eq 0 ]; then
  console="$(cd "$(dirname "$0")/.." && pwd)/tests/console"
  if [ ! -f "$console/node_modules/.package-lock.json" ] ||
     [ "$console/package-lock.json" -nt "$console/node_modules/.package-lock.json" ]; then
    missing=()
    command -v node >/dev/null 2>&1 || missing+=(nodejs)
    command -v npm >/dev/null 2>&1 || missing+=(npm)
    if [ ${#missing[@]} -gt 0 ]; then bash "$0" "${missing[@]}"; fi
    echo "installing the console's browser test tools into $console/node_modules"
    (cd "$console" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  fi
  # The T-SQL parser of the check of KX's SQL Server statements and scripts (tests/sqlserver), at
  # the version its package-lock.json pins, installed the same way.
  sqlserver="$(dirname "$console")/sqlserver"
  if [ ! -f "$sqlserver/node_modules/.package-lock.json" ] ||
     [ "$sqlserver/package-lock.json" -nt "$sqlserver/node_modules/.package-lock.json" ]; then
    command -v npm >/dev/null 2>&1 || bash "$0" nodejs npm
    echo "installing the T-SQL parser of the SQL Server check into $sqlserver/node_modules"
    (cd "$sqlserver" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
  fi
fi
