#!/usr/bin/env bash
# Installs what is missing, builds KX and runs `kx demo` on the embedded SQLite database.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
build/kx demo
