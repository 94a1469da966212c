#!/usr/bin/env bash
# Installs what KX needs to build and test, when it is missing (Debian 12, as root). Idempotent.
# With arguments, installs those Debian packages instead, when missing.
set -euo pipefail
# Boost (Beast over Asio) for the service's HTTP front; HAProxy for the test of several `kx serve`
# processes behind one load balancer (deploy/haproxy/).
packages=(build-essential cmake pkg-config libsqlite3-dev libpq-dev postgresql-15 libxml2-dev
          libcli11-dev libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
          nlohmann-json3-dev libssl-dev openssl dpkg-dev file python3-yaml python3-jsonschema
          libboost1.81-dev haproxy)
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
