# Cross-compiles for the gateway's 32-bit ARM (Debian armhf) with Debian's
# cross toolchain (crossbuild-essential-armhf) against the :armhf multiarch
# libraries. Executables built here (the tests) run under qemu-user.
#
# PEMRIX_ARMHF_EXTRA_ROOT names a folder holding unpacked :armhf packages
# that cannot be installed beside their amd64 twins (see scripts/cross-armhf.sh).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
# GCC notes at every standard container use that ARM argument passing changed
# in GCC 7.1; that matters only beside code built by older compilers.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The variable must reach the compiler checks, which re-read this file.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES PEMRIX_ARMHF_EXTRA_ROOT)
if(NOT PEMRIX_ARMHF_EXTRA_ROOT)
  set(PEMRIX_ARMHF_EXTRA_ROOT $ENV{PEMRIX_ARMHF_EXTRA_ROOT})
endif()

# Only armhf libraries may be linked: pkg-config sees the armhf .pc files
# (and arch-independent ones), find_library looks under the roots only.
set(ENV{PKG_CONFIG_LIBDIR}
    "${PEMRIX_ARMHF_EXTRA_ROOT}/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig")
set(CMAKE_FIND_ROOT_PATH / ${PEMRIX_ARMHF_EXTRA_ROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

find_program(PEMRIX_QEMU_ARM NAMES qemu-arm-static qemu-arm)
if(PEMRIX_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PEMRIX_QEMU_ARM})
endif()

set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
