#!/usr/bin/env bash
# Runs the native conformance program (built against libvelk32.so) over a
# socat pty pair standing in for COM1 and COM2, with COM9 mapped to a device
# that does not exist; the program asks for the peer to hang up by creating
# hangup.request in its working folder.
# Usage: scripts/conformance-posix.sh PROGRAM
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/pty-pair.sh"
program=$(readlink -f "$1")
work=$(mktemp -d "${TMPDIR:-/tmp}/velk-posix.XXXXXX")
cleanup() {
  local rc=$?
  pty_pair_stop
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT

pty_pair_start "$work"
echo "COM1 = $PTY_A, COM2 = $PTY_B (socat pty pair), COM9 = missing device"
mkdir "$work/run"
hangup_watch_start "$work/run/hangup.request"
cd "$work/run"
timeout -k 10 120 "$program" "$PTY_A" "$PTY_B" "$work/no-such-device" </dev/null
