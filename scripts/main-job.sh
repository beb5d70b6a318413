#!/usr/bin/env bash
# The main job: on a fresh Debian machine, installs what the build needs,
# builds the library and velkcom, and runs `velkcom selftest` on the
# library's built-in loopback plug (loop://). Ends with the self-test's table;
# the exit status is the self-test's (0 only when no check failed).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build-essential cmake
cmake -S . -B build/main-job -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_BUILD_TESTS=OFF >/dev/null
cmake --build build/main-job -j"$(nproc 2>/dev/null || echo 2)" --target velkcom >/dev/null
echo
exec build/main-job/tools/velkcom/velkcom selftest
