#!/usr/bin/env bash
# Where the cross stage's time goes, for one target: each step of
# scripts/cross-build.sh done alone in a fresh folder (build/cross-cost-ARCH,
# removed at the end), with its wall time and the CPU time of everything it
# ran (user + system, children included). CPU time shows the cost even on a
# machine busy with other work, where wall time mostly shows the load.
# Usage: scripts/cross-cost.sh ARCH   (the compiler and qemu-user-static
# installed; i686 runs under qemu here too)
# VELK_CROSS_FLAGS as for cross-build.sh (-O1 by default); VELK_GTEST_FLAGS
# sets GoogleTest's own flags (the same by default).
set -euo pipefail
cd "$(dirname "$0")/.."
arch=${1:?usage: scripts/cross-cost.sh ARCH}
toolchain=$PWD/cmake/toolchains/linux-$arch.cmake
[ -f "$toolchain" ] || { echo "no toolchain file for '$arch'" >&2; exit 2; }
flags=${VELK_CROSS_FLAGS:--O1}
gflags=${VELK_GTEST_FLAGS:-$flags}
jobs=$(nproc 2>/dev/null || echo 2)
build=$PWD/build/cross-cost-$arch
rm -rf "$build" && mkdir -p "$build"
trap 'rm -rf "$build"' EXIT

# step NAME COMMAND...: runs it, quiet, and prints its wall and CPU seconds.
step() {
  local name=$1; shift
  local t0=$SECONDS c0
  cpu; c0=$cpu_s
  "$@" >"$build/step.log" 2>&1 || { tail -n 30 "$build/step.log" >&2; exit 1; }
  cpu
  printf '%-38s %5d s wall %7.1f s CPU\n' "$name" $((SECONDS - t0)) "$(echo "$cpu_s - $c0" | bc)"
}
# cpu_s: the CPU seconds this shell's finished children have used so far
# (the builtin times, run in this shell itself).
cpu() {
  times >"$build/times"
  cpu_s=$(awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); print u[1] * 60 + u[2] + s[1] * 60 + s[2] }' \
    "$build/times")
}

echo "$arch, $flags (GoogleTest $gflags), -j$jobs:"
step "GoogleTest: configure, build, install" bash -c '
  cmake -S /usr/src/googletest -B "$1/gtest-build" -DCMAKE_TOOLCHAIN_FILE="$2" -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_CXX_FLAGS="$3" -DCMAKE_INSTALL_PREFIX="$1/gtest" -DVELK_CROSS_EMULATOR=ON &&
  cmake --build "$1/gtest-build" -j"$4" && cmake --install "$1/gtest-build"' _ "$build" "$toolchain" "$gflags" "$jobs"
step "velk32: configure" cmake -S . -B "$build/velk" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DVELK_GTEST_ROOT="$build/gtest" -DVELK_CROSS_EMULATOR=ON -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DVELK_WERROR=ON -DVELK_BUILD_BENCH=OFF
step "library and velkcom" cmake --build "$build/velk" -j"$jobs" --target velk32 velkcom
step "the tests and the rest" cmake --build "$build/velk" -j"$jobs"
step "ctest under qemu-user" ctest --test-dir "$build/velk" -j"$jobs"
