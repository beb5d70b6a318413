#!/usr/bin/env bash
# Ends the wineserver of a Wine prefix and removes the prefix with what Wine
# left outside it: the server's folder /tmp/.wine-UID/server-DEV-INODE (named
# after the prefix's device and inode), and /tmp/.wine-UID once empty.
# Usage: scripts/wine-cleanup.sh PREFIX   (a missing prefix is not an error)
set -uo pipefail
prefix=${1:?usage: $0 PREFIX}
[ -d "$prefix" ] || exit 0
WINEPREFIX=$prefix timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
WINEPREFIX=$prefix timeout 60 wineserver -w </dev/null >/dev/null 2>&1 || true
read -r dev ino < <(stat -c '%d %i' "$prefix")
server_root=/tmp/.wine-$(id -u)
rm -rf "$server_root/$(printf 'server-%x-%x' "$dev" "$ino")"
rmdir "$server_root" 2>/dev/null || true
rm -rf "$prefix"
