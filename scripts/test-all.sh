#!/usr/bin/env bash
# Every test of the project on a fresh Debian 12 machine: installs what is
# missing, builds, runs the unit tests, then builds and runs them again under
# AddressSanitizer and UndefinedBehaviorSanitizer (socat bridges the pty pairs
# of the POSIX backend's tests) and once more under Valgrind memcheck, builds
# the call-sequence fuzzer with clang and runs it for a bounded time
# (VELK_FUZZ_SECONDS, 60 by default) from the corpus kept in the repo. Then
# cross-builds the Windows DLL, checks it and runs the conformance program
# under Wine and natively (the Windows block at the end).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh build-essential cmake googletest libgtest-dev libgmock-dev \
  valgrind clang libclang-rt-14-dev socat

echo "== build and test =="
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

echo "== build and test under ASan+UBSan =="
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

echo "== reliability figures =="
build/release/tests/velk32_tests --gtest_filter='FaultSweepCoverage.*:BadInput.*' \
  | grep -E '^\[ (sweep|bad input)' \
  | awk '{ print } / inputs tried$/ { n += $(NF - 2) } END { print "bad inputs tried: " n }'

echo "== unit tests under Valgrind memcheck =="
# One process for the whole binary: any invalid access, use of undefined
# memory or leaked block fails the run.
valgrind --tool=memcheck --error-exitcode=99 --leak-check=full \
  --errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible \
  build/release/tests/velk32_tests --gtest_brief=1

echo "== call-sequence fuzzer, bounded run =="
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVELK_FUZZ=ON -DVELK_BUILD_TESTS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs" --target velk32_call_fuzzer
fuzz_work=build/fuzz/corpus-work
rm -rf "$fuzz_work" && mkdir -p "$fuzz_work"
# New inputs go to the work folder; the repo's corpus is only read. An input
# that runs for more than 10 s counts as a hang and fails the run.
if ! build/fuzz/tests/reliability/fuzz/velk32_call_fuzzer -max_total_time="${VELK_FUZZ_SECONDS:-60}" \
     -timeout=10 -max_len=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/ \
     "$fuzz_work" tests/reliability/corpus >build/fuzz/fuzz.log 2>&1; then
  tail -n 80 build/fuzz/fuzz.log
  echo "the call-sequence fuzzer failed; the input is saved in build/fuzz/ (crash-*)" >&2
  exit 1
fi
grep -E '^(INFO: seed corpus|Done [0-9]+ runs|stat::number_of_executed_units|stat::average_exec_per_sec)' \
  build/fuzz/fuzz.log

# ---- Windows DLL and conformance runs ------------------------------------
# Cross builds of velk32.dll for 32-bit (i686) and 64-bit (x86_64) Windows
# with MinGW-w64, their module checks (exports, imports, version resource,
# import libraries) and the conformance program under Wine, then the same
# conformance program natively against libvelk32.so. Every run joins COM1
# and COM2 through a socat pty pair. One headless Wine prefix serves both
# DLLs: booted once here, its wineserver ended at the end.
echo "== Windows: cross builds, module checks, conformance under Wine =="
bash scripts/deps.sh g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
  mingw-w64-i686-dev mingw-w64-x86-64-dev binutils-mingw-w64-i686 binutils-mingw-w64-x86-64 \
  llvm-14 wine wine64 wine32:i386 socat
wine_home=$(mktemp -d "${TMPDIR:-/tmp}/velk-wineprefix.XXXXXX")
export VELK_WINEPREFIX=$wine_home/prefix
end_wine() {
  WINEPREFIX=$VELK_WINEPREFIX timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
  rm -rf "$wine_home"
}
trap end_wine EXIT
bash scripts/wine-run.sh --boot
for arch in i686 x86_64; do
  echo "-- $arch"
  cmake -S . -B "build/win-$arch" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_TOOLCHAIN_FILE="cmake/toolchains/mingw-$arch.cmake" >/dev/null
  cmake --build "build/win-$arch" -j"$jobs"
  ctest --test-dir "build/win-$arch" --output-on-failure
done
end_wine
trap - EXIT

echo "== conformance natively (libvelk32.so, and under ASan+UBSan) =="
bash scripts/conformance-posix.sh build/release/tests/conformance/conformance
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  bash scripts/conformance-posix.sh build/sanitize/tests/conformance/conformance
