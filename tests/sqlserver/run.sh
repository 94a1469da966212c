#!/usr/bin/env bash
# Parses the statements KX sends to SQL Server and its SQL Server scripts with a T-SQL parser
# (check.mjs; arguments are passed on to it). The parser comes from node_modules here, installed by
# scripts/setup.sh with `npm ci`; without it, or without node, the check is skipped (exit status 77)
# and says so.
set -euo pipefail
cd "$(dirname "$0")"
SKIPPED=77

if ! command -v node >/dev/null 2>&1; then
  echo "SKIPPED: no node to run the T-SQL parser: run scripts/setup.sh"
  exit $SKIPPED
fi
if [ ! -f node_modules/node-sql-parser/package.json ] ||
   [ package-lock.json -nt node_modules/.package-lock.json ]; then
  echo "SKIPPED: tests/sqlserver/node_modules is missing or older than package-lock.json: run scripts/setup.sh"
  exit $SKIPPED
fi
exec node check.mjs "$@"
