#!/usr/bin/env bash
# One Linux cross target end to end: GoogleTest built for it from Debian's
# /usr/src/googletest, the library, velkcom and the tests built with the
# toolchain file cmake/toolchains/linux-ARCH.cmake into build/cross-ARCH/velk,
# and ctest run there (the programs under qemu-user, or natively with
# --native). The compilers and qemu-user-static must be installed
# (scripts/test-all.sh cross does that).
# Usage: scripts/cross-build.sh [--native] [--build-only] ARCH
#   ARCH: aarch64 armhf i686 ppc64le s390x riscv64
#   --build-only: stop before ctest (the test command's cross stage runs it)
# First a small C++ program that starts a thread is built and run the way the
# tests will be: when it does not finish with its answer within 20 s, the
# script says why and exits 3 (nothing else is built). qemu-i386-static 7.2
# hangs in thread creation on this kind of machine, for one.
# VELK_CROSS_FLAGS sets the compile flags (-O1 by default: the quickest to
# build and run of those tried).
set -euo pipefail
cd "$(dirname "$0")/.."
native=OFF
build_only=0
while [ $# -gt 1 ]; do
  case "$1" in
    --native) native=ON ;;
    --build-only) build_only=1 ;;
    *) break ;;
  esac
  shift
done
arch=${1:?usage: scripts/cross-build.sh [--native] [--build-only] ARCH}
toolchain=$PWD/cmake/toolchains/linux-$arch.cmake
[ -f "$toolchain" ] || { echo "no toolchain file for '$arch'" >&2; exit 2; }
triple=$(sed -n 's/^set(VELK_LINUX_TRIPLE \([^)]*\))/\1/p' "$toolchain")
qemu_arch=$(sed -n 's/^set(VELK_QEMU_ARCH \([^)]*\))/\1/p' "$toolchain")
jobs=$(nproc 2>/dev/null || echo 2)
build=$PWD/build/cross-$arch
flags=${VELK_CROSS_FLAGS:--O1}
emulator=ON
run=(/usr/bin/qemu-"$qemu_arch"-static -L /usr/"$triple")
if [ "$native" = ON ]; then
  emulator=OFF
  run=()
fi

# Can this machine build and start a program for the target at all?
mkdir -p "$build"
command -v "$triple-g++" >/dev/null || { echo "$arch: $triple-g++ is not installed"; exit 3; }
[ "$native" = ON ] || [ -x "${run[0]}" ] || { echo "$arch: ${run[0]} is not installed"; exit 3; }
printf '%s\n' '#include <thread>' \
  'int main() { int r = 0; std::thread t([&r] { r = 42; }); t.join(); return r; }' >"$build/probe.cpp"
"$triple-g++" -pthread -o "$build/probe" "$build/probe.cpp" 2>"$build/probe.log" ||
  { echo "$arch: $triple-g++ cannot build a program: $(head -n 3 "$build/probe.log" | tr '\n' ' ')"; exit 3; }
probe_rc=0
timeout 20 "${run[@]}" "$build/probe" >"$build/probe.log" 2>&1 || probe_rc=$?
if [ "$probe_rc" = 124 ]; then
  echo "$arch: a program built for it that starts a thread does not finish here within 20 s" \
    "(${run[*]:-natively})"
  exit 3
elif [ "$probe_rc" != 42 ]; then
  echo "$arch: a program built for it does not run here (${run[*]:-natively}: exit $probe_rc:" \
    "$(head -n 2 "$build/probe.log" | tr '\n' ' '))"
  exit 3
fi
how=natively
[ ${#run[@]} -gt 0 ] && how="under ${run[*]}"
echo "$arch: programs run $how"

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
[ "$build_only" = 1 ] && exit 0
ctest --test-dir "$build/velk" --output-on-failure -j"$jobs"
