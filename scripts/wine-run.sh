#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, headless, next to a
# copy of velk32.dll; with --ports, first joins COM1 and COM2 through a socat
# pty pair and leaves COM9 mapped to a device that does not exist.
#
# Usage: scripts/wine-run.sh [--ports] DLL_DIR PROGRAM [ARGS...]
#
# The Wine prefix is the one named by VELK_WINEPREFIX (made and booted here if
# it is not yet; the caller ends its wineserver), or else a temporary one that
# is booted, used and removed here. Wine runs with WINEDEBUG=-all, no display,
# standard input from /dev/null and a time limit around every call. COM ports
# are mapped through the registry (HKLM\Software\Wine\Ports), which Wine's
# mount manager reads when wineserver starts: a hand-made dosdevices link
# would be rewritten. socat is started before Wine and stopped only after
# wineserver has gone.
set -euo pipefail
ports=0
if [ "${1:-}" = "--ports" ]; then ports=1; shift; fi
if [ $# -lt 2 ]; then
  echo "usage: $0 [--ports] DLL_DIR PROGRAM [ARGS...]" >&2
  exit 2
fi
dll_dir=$1 program=$2
shift 2

export WINEDEBUG=-all
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d "${TMPDIR:-/tmp}/velk-wine.XXXXXX")
own_prefix=0
if [ -n "${VELK_WINEPREFIX:-}" ]; then
  export WINEPREFIX=$VELK_WINEPREFIX
else
  export WINEPREFIX=$work/prefix
  own_prefix=1
fi
socat_pid=""

cleanup() {
  local rc=$?
  if [ "$own_prefix" = 1 ]; then
    timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
  fi
  if [ -n "$socat_pid" ]; then
    kill "$socat_pid" 2>/dev/null || true
    wait "$socat_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT

# wine CMD...: one Wine call, bounded in time, with nothing on standard input.
wine_call() {
  timeout -k 10 "${WINE_TIMEOUT:-120}" "$@" </dev/null
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  WINE_TIMEOUT=600 wine_call wineboot -i >/dev/null 2>&1
  wine_call wineserver -w
fi

if [ "$ports" = 1 ]; then
  socat pty,raw,echo=0,link="$work/com1" pty,raw,echo=0,link="$work/com2" 2>"$work/socat.log" &
  socat_pid=$!
  for _ in $(seq 100); do
    [ -e "$work/com1" ] && [ -e "$work/com2" ] && break
    kill -0 "$socat_pid" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -e "$work/com1" ] || [ ! -e "$work/com2" ]; then
    echo "socat did not make the pty pair:" >&2
    cat "$work/socat.log" >&2
    exit 1
  fi
  com1=$(readlink -f "$work/com1")
  com2=$(readlink -f "$work/com2")
  echo "COM1 = $com1, COM2 = $com2 (socat pty pair), COM9 = missing device"
  key='HKLM\Software\Wine\Ports'
  wine_call wine reg add "$key" /v COM1 /t REG_SZ /d "$com1" /f >/dev/null
  wine_call wine reg add "$key" /v COM2 /t REG_SZ /d "$com2" /f >/dev/null
  wine_call wine reg add "$key" /v COM9 /t REG_SZ /d "$work/no-such-device" /f >/dev/null
  # The mapping takes effect when wineserver next starts.
  wine_call wineserver -w
fi

mkdir "$work/run"
cp "$dll_dir/velk32.dll" "$program" "$work/run/"
watch_pid=""
if [ "$ports" = 1 ]; then
  # The conformance program asks for the peer to hang up by creating
  # hangup.request in its working folder: stop socat then.
  (
    for _ in $(seq 3000); do
      if [ -e "$work/run/hangup.request" ]; then kill "$socat_pid"; exit 0; fi
      sleep 0.05
    done
  ) &
  watch_pid=$!
fi
rc=0
# Wine's own messages (wineserver's included) go to a file, shown on failure.
(cd "$work/run" && wine_call wine "./$(basename "$program")" "$@" 2>"$work/wine.log") || rc=$?
wine_call wineserver -w 2>>"$work/wine.log" || true
if [ "$rc" != 0 ]; then
  echo "--- Wine's messages (last 40 lines):" >&2
  tail -n 40 "$work/wine.log" >&2
fi
if [ -n "$watch_pid" ]; then kill "$watch_pid" 2>/dev/null || true; wait "$watch_pid" 2>/dev/null || true; fi
if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
  echo "$(basename "$program") timed out under Wine" >&2
fi
exit "$rc"
