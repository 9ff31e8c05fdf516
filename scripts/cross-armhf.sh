#!/usr/bin/env bash
# Cross-builds the three deliverables and the unit tests for 32-bit ARM
# (Debian armhf), runs the unit tier under qemu-user and packs the armhf
# .deb into the build folder. Installs what it needs: the cross toolchain,
# qemu-user-static and the :armhf libraries (multiarch).
#
#   bash scripts/cross-armhf.sh            build folder build-armhf/
#   PEMRIX_ARMHF_BUILD=dir bash scripts/cross-armhf.sh
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${PEMRIX_ARMHF_BUILD:-build-armhf}
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
say() { printf '[%s] %s\n' "$(date +%T)" "$*"; }
T0=$(date +%s)

# ------------------------------------------------------------ packages --
ARMHF=(libmosquitto-dev uuid-dev libssl-dev libarchive-dev libsqlite3-dev libgtest-dev libgmock-dev libsystemd-dev libstdc++6)
HOST=(crossbuild-essential-armhf qemu-user-static dpkg-dev cmake pkg-config nlohmann-json3-dev libeasyloggingpp-dev)
want=("${HOST[@]}" "${ARMHF[@]/%/:armhf}")
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  say "installing ${missing[*]}"
  dpkg --print-foreign-architectures | grep -qx armhf || $SUDO dpkg --add-architecture armhf
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
# nanomsg's Debian packages cannot be installed for two architectures at once
# (they are not marked multiarch), so the armhf pair is unpacked into the
# build folder and the toolchain file looks there too.
EXTRA=$PWD/$BUILD/armhf-root
if [ ! -e "$EXTRA/usr/lib/arm-linux-gnueabihf/libnanomsg.so" ]; then
  mkdir -p "$EXTRA" "$BUILD/debs"
  (cd "$BUILD/debs" && apt-get download -q libnanomsg5:armhf libnanomsg-dev:armhf)
  for deb in "$BUILD"/debs/libnanomsg*_armhf.deb; do dpkg -x "$deb" "$EXTRA"; done
fi
T1=$(date +%s)

# --------------------------------------------------------------- build --
cmake -S . -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake -DPEMRIX_ARMHF_EXTRA_ROOT="$EXTRA" \
  -DCMAKE_BUILD_TYPE=Release -DPEMRIX_TESTS=ON -DPEMRIX_BENCH=OFF >/dev/null
# The deliverables and the unit tier only (a unit test's target is named as
# the test): the integration tier needs real servers and is not run here.
UNIT_TESTS=$(cd "$BUILD" && ctest -N -L unit | sed -n 's/^ *Test *#[0-9]*: *//p')
# shellcheck disable=SC2086
# Everything the two packages install, then the unit tests.
cmake --build "$BUILD" -j "$(nproc)" --target Pemrix.Daemon Pemrix.DataLogger pemrix-ctl quillet pemrix_docs \
  pemrix-daqsvc pemrix-hostsvc strata plinth $UNIT_TESTS
T2=$(date +%s)

# ------------------------------------------------ unit tier under qemu --
(cd "$BUILD" && ctest --output-on-failure -j "$(nproc)" -L unit)
T3=$(date +%s)
(cd "$BUILD" && cpack -G DEB >/dev/null && ls ./*.deb)
say "armhf: packages $((T1 - T0)) s, build $((T2 - T1)) s, unit tier under qemu $((T3 - T2)) s"
