#!/usr/bin/env bash
# Installs every dependency, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite (unit and
# integration tiers); then runs the tests of the threaded pieces (JSON-RPC
# server and client, event publisher, plug-in write queue, acquisition
# stand-in, data logger) once more under ThreadSanitizer; finally cross-builds
# for armhf and runs the unit tier under qemu. Starts no server itself: each
# test starts the real mosquitto / influxd it needs in a temporary folder and
# stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
JOBS=$(nproc)

BUILD=${PEMRIX_TEST_BUILD:-build-test}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DPEMRIX_SANITIZE=ON -DPEMRIX_TESTS=ON -DPEMRIX_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$JOBS"
(cd "$BUILD" && ctest --output-on-failure -j "$JOBS" "$@")

THREADED="frame_watchdog_test jsonrpc_server_test jsonrpc_client_test event_publisher_test quillet_driver_test daqsvc_test datalogger_unit_test datalogger_service_test"
TSAN_BUILD=${PEMRIX_TSAN_BUILD:-build-tsan}
cmake -S . -B "$TSAN_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPEMRIX_TSAN=ON -DPEMRIX_TESTS=ON -DPEMRIX_BENCH=OFF >/dev/null
# shellcheck disable=SC2086
cmake --build "$TSAN_BUILD" -j "$JOBS" --target $THREADED pemrix-daqsvc quillet pemrix_ipc_test_peer Pemrix.DataLogger
export TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/testing/tsan.supp"
(cd "$TSAN_BUILD" && ctest --output-on-failure -j "$JOBS" -R "^($(echo $THREADED | tr ' ' '|'))\$")

# The same code for the gateway's 32-bit ARM: cross-built, unit tier under qemu, armhf package.
bash scripts/cross-armhf.sh
