#!/usr/bin/env bash
# Installs every dependency, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer, and runs the whole test suite (unit and
# integration tiers). Starts no server itself: each test starts the real
# mosquitto / influxd it needs in a temporary folder and stops it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD=${PEMRIX_TEST_BUILD:-build-test}
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Debug -DPEMRIX_SANITIZE=ON -DPEMRIX_TESTS=ON -DPEMRIX_BENCH=OFF >/dev/null
cmake --build "$BUILD" -j "$(nproc)"
cd "$BUILD"
ctest --output-on-failure -j "$(nproc)" "$@"
