#!/usr/bin/env bash
# Every test of the project on a fresh Debian 12 machine: installs what is
# missing, builds, runs the unit tests, then builds and runs them again under
# AddressSanitizer and UndefinedBehaviorSanitizer. (socat bridges the pty
# pairs of the POSIX backend's tests.)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)

bash scripts/deps.sh build-essential cmake googletest libgtest-dev libgmock-dev socat

echo "== build and test =="
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

echo "== build and test under ASan+UBSan =="
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=Debug -DVELK_SANITIZE=ON >/dev/null
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"
