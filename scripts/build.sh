#!/usr/bin/env bash
# Configures and builds KX into build/ (library, the kx command, tests).
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j2
