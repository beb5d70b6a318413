#!/usr/bin/env bash
# One Linux cross target end to end: GoogleTest built for it from Debian's
# /usr/src/googletest, the library, velkcom and the tests built with the
# toolchain file cmake/toolchains/linux-ARCH.cmake into build/cross-ARCH, and
# ctest run there (the programs under qemu-user, or natively with --native).
# The compilers and qemu-user-static must be installed (scripts/test-all.sh
# cross does that). Usage: scripts/cross-build.sh [--native] ARCH
#   ARCH: aarch64 armhf i686 ppc64le s390x riscv64
# VELK_CROSS_FLAGS sets the compile flags (-O1 by default: the quickest to
# build and run of those tried).
set -euo pipefail
cd "$(dirname "$0")/.."
native=OFF
if [ "${1:-}" = --native ]; then native=ON; shift; fi
arch=${1:?usage: scripts/cross-build.sh [--native] ARCH}
toolchain=$PWD/cmake/toolchains/linux-$arch.cmake
[ -f "$toolchain" ] || { echo "no toolchain file for '$arch'" >&2; exit 2; }
jobs=$(nproc 2>/dev/null || echo 2)
build=$PWD/build/cross-$arch
flags=${VELK_CROSS_FLAGS:--O1}
emulator=ON
[ "$native" = ON ] && emulator=OFF

# GoogleTest for the target, built once per build folder.
if [ ! -f "$build/gtest/.done" ]; then
  rm -rf "$build/gtest-build" "$build/gtest"
  cmake -S /usr/src/googletest -B "$build/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_INSTALL_PREFIX="$build/gtest" \
    -DVELK_CROSS_EMULATOR=$emulator >/dev/null
  cmake --build "$build/gtest-build" -j"$jobs" >/dev/null
  cmake --install "$build/gtest-build" >/dev/null
  touch "$build/gtest/.done"
fi

cmake -S . -B "$build/velk" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DVELK_GTEST_ROOT="$build/gtest" \
  -DVELK_CROSS_EMULATOR=$emulator -DCMAKE_BUILD_TYPE=None -DCMAKE_C_FLAGS="$flags" \
  -DCMAKE_CXX_FLAGS="$flags" -DVELK_WERROR=ON -DVELK_BUILD_BENCH=OFF >/dev/null
cmake --build "$build/velk" -j"$jobs"
ctest --test-dir "$build/velk" --output-on-failure -j"$jobs"
