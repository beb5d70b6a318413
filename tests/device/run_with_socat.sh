#!/usr/bin/env bash
# Runs a program with the paths of two ptys bridged by socat as its last two
# arguments: what is written to one comes out of the other.
# Usage: run_with_socat.sh PROGRAM [ARG...]
set -euo pipefail
command -v socat >/dev/null || { echo "socat is not installed" >&2; exit 1; }
dir=$(mktemp -d /tmp/velk-socat-XXXXXX)
socat pty,rawer,link="$dir/a" pty,rawer,link="$dir/b" 2>/dev/null &
pid=$!
cleanup() { kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; rm -rf "$dir"; }
trap cleanup EXIT
for _ in $(seq 500); do
  [ -e "$dir/a" ] && [ -e "$dir/b" ] && break
  sleep 0.01
done
[ -e "$dir/a" ] && [ -e "$dir/b" ] || { echo "socat did not make its ptys" >&2; exit 1; }
"$@" "$dir/a" "$dir/b"
