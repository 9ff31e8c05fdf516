#!/usr/bin/env bash
# Installs every Debian package the build, the tests, the benchmarks and the
# demo need. Idempotent: packages already present are skipped by apt-get.
set -euo pipefail

PKGS=(
  build-essential cmake pkg-config
  nlohmann-json3-dev libeasyloggingpp-dev libnanomsg-dev
  libmosquitto-dev mosquitto mosquitto-clients
  uuid-dev libssl-dev openssl libarchive-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  influxdb influxdb-client
  libsqlite3-dev
  curl jq tar gzip procps
  nodejs
  libsystemd-dev systemd dpkg-dev mandoc
)

missing=()
for p in "${PKGS[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  # --no-install-recommends keeps the image small; the service packages
  # (mosquitto, influxdb) are only used as binaries started by the tests.
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# npm comes with some Node.js builds and is a package of its own in Debian's.
if ! command -v npm >/dev/null; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends npm
fi

# The real OPC UA server the channel tests and the benchmark start
# (node-opcua, pinned by its lock file); reinstalled when the lock changes.
UA_SERVER="$(dirname "$0")/../testing/opcua-server"
if [ ! -f "$UA_SERVER/node_modules/.package-lock.json" ] ||
  [ "$UA_SERVER/package-lock.json" -nt "$UA_SERVER/node_modules/.package-lock.json" ]; then
  (cd "$UA_SERVER" && npm ci --no-audit --no-fund --loglevel=error)
fi
