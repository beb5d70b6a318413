#!/usr/bin/env bash
# Runs a program with the paths of two ptys bridged by socat as its last two
# arguments: what is written to one comes out of the other. The pair is made
# by scripts/pty-pair.sh, as for the conformance runs.
# Usage: run_with_socat.sh PROGRAM [ARG...]
set -euo pipefail
command -v socat >/dev/null || { echo "socat is not installed" >&2; exit 1; }
here=$(cd "$(dirname "$0")" && pwd)
. "$here/../../../scripts/pty-pair.sh"
dir=$(mktemp -d "${TMPDIR:-/tmp}/velk-socat-XXXXXX")
cleanup() { pty_pair_stop; rm -rf "$dir"; }
trap cleanup EXIT
pty_pair_start "$dir"
"$@" "$dir/com1" "$dir/com2"
