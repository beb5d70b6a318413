#!/usr/bin/env bash
# A bounded run of the RFC 2217 engine fuzzer: builds it with clang (libFuzzer,
# ASan, UBSan) in build/fuzz and feeds it server byte streams for
# VELK_FUZZ_SECONDS (default 60) from the seeds kept in the repo. New inputs
# go to build/fuzz/rfc2217-work, never into the repo; a crashing input is
# saved as build/fuzz/rfc2217-crash-*. Needs clang and libclang-rt-14-dev.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_FUZZ=ON \
  -DVELK_BUILD_TESTS=OFF -DVELK_WERROR=ON >/dev/null
cmake --build build/fuzz -j"$jobs" --target velk32_rfc2217_fuzzer
work=build/fuzz/rfc2217-work
rm -rf "$work" && mkdir -p "$work"
if ! build/fuzz/tests/reliability/fuzz/velk32_rfc2217_fuzzer -max_total_time="${VELK_FUZZ_SECONDS:-60}" \
     -timeout=10 -max_len=4096 -print_final_stats=1 -artifact_prefix=build/fuzz/rfc2217- \
     "$work" tests/reliability/fuzz/rfc2217_seeds >build/fuzz/rfc2217-fuzz.log 2>&1; then
  tail -n 60 build/fuzz/rfc2217-fuzz.log
  echo "the RFC 2217 engine fuzzer failed; the input is saved in build/fuzz/ (rfc2217-crash-*)" >&2
  exit 1
fi
grep -E '^stat::(number_of_executed_units|new_units_added|peak_rss_mb)' build/fuzz/rfc2217-fuzz.log
