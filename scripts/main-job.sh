#!/usr/bin/env bash
# The main job: builds the library and runs its loopback self-test.
# (Until the velkcom tool exists this builds and runs the end-to-end session
# over a simulated null-modem pair and the C interface check.)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh build-essential cmake googletest libgtest-dev libgmock-dev
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc 2>/dev/null || echo 2)"
ctest --test-dir build/release -R "EndToEnd|c_api" --output-on-failure --no-tests=error
