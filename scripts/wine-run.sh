#!/usr/bin/env bash
# Runs a Windows program of the cross build under Wine, headless, next to a
# copy of velk32.dll; with --ports, first joins COM1 and COM2 through a socat
# pty pair (scripts/pty-pair.sh) and maps COM3 to COM9 to a device that does
# not exist. With --boot, only makes and boots the prefix.
#
# Usage: scripts/wine-run.sh [--ports] DLL_DIR PROGRAM [ARGS...]
#        scripts/wine-run.sh --boot
#
# The Wine prefix is the one named by VELK_WINEPREFIX (booted here if it is
# not yet; whoever set it ends its wineserver with wineserver -k), or else a
# temporary one that is booted, used, ended and removed here. Wine runs with
# WINEDEBUG=-all, no display, standard input from /dev/null and a time limit
# around every call. COM ports are mapped through the registry
# (HKLM\Software\Wine\Ports), which Wine's mount manager reads when
# wineserver starts: a hand-made dosdevices link would be rewritten. socat is
# started before Wine and stopped only after wineserver has gone, except when
# the program asks for the peer to hang up (by creating hangup.request in its
# working folder).
#
# Where Wine cannot run a program, a line says why and the exit status is
# 77, which CTest reports as skipped. Without Wine (VELK_NO_WINE gives the
# reason the test command found, else Wine is looked for), no program runs.
# 32-bit programs need the 32-bit Wine (VELK_NO_WINE32 gives the reason it
# could not be installed, else the 32-bit loader is looked for) and a machine
# that runs 32-bit programs (scripts/can-run-32bit.sh, by trying). Without
# them, Wine runs through the 64-bit loader directly in a win64 prefix and a
# 32-bit program is not run.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
. "$here/pty-pair.sh"

mode=run
case "${1:-}" in
  --ports) mode=ports; shift ;;
  --boot) mode=boot; shift ;;
esac
if [ "$mode" != boot ] && [ $# -lt 2 ]; then
  echo "usage: $0 [--ports] DLL_DIR PROGRAM [ARGS...] | $0 --boot" >&2
  exit 2
fi

no_wine=${VELK_NO_WINE:-}
[ -n "$no_wine" ] || command -v wine >/dev/null || no_wine="Wine is not installed (Debian packages wine, wine64)"
if [ -n "$no_wine" ]; then
  echo "SKIP: ${2:+$(basename "$2"): }no Wine here: $no_wine"
  exit 77
fi
no32=${VELK_NO_WINE32:-}
[ -n "$no32" ] || [ -x /usr/lib/wine/wine ] || no32="the 32-bit Wine is not installed (Debian package wine32:i386)"
[ -n "$no32" ] || no32=$(bash "$here/can-run-32bit.sh") || true
if [ -n "$no32" ]; then
  wine=/usr/lib/wine/wine64
  export WINELOADER=$wine WINEARCH=win64
else
  wine=wine
fi

# The program's machine from its PE header: 14c is i386.
pe_machine() {
  local off
  off=$(od -An -tu4 -j60 -N4 "$1" | tr -d ' ')
  od -An -tx2 -j$((off + 4)) -N2 "$1" | tr -d " " | sed "s/^0*//"
}
if [ "$mode" != boot ] && [ -n "$no32" ] && [ "$(pe_machine "$2")" = 14c ]; then
  echo "SKIP: $(basename "$2") is a 32-bit program: $no32"
  exit 77
fi

export WINEDEBUG=-all
# No Mono or Gecko installer dialogs: the programs need neither.
export WINEDLLOVERRIDES="mscoree=;mshtml="
unset DISPLAY WAYLAND_DISPLAY
work=$(mktemp -d "${TMPDIR:-/tmp}/velk-wine.XXXXXX")
own_prefix=0
if [ -n "${VELK_WINEPREFIX:-}" ]; then
  export WINEPREFIX=$VELK_WINEPREFIX
else
  export WINEPREFIX=$work/prefix
  own_prefix=1
fi

cleanup() {
  local rc=$?
  if [ "$own_prefix" = 1 ]; then
    timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
  fi
  pty_pair_stop
  rm -rf "$work"
  exit "$rc"
}
trap cleanup EXIT

# One Wine call, bounded in time, with nothing on standard input.
wine_call() {
  timeout -k 10 "${WINE_TIMEOUT:-120}" "$@" </dev/null
}

# Makes the prefix. A failed first boot (seen once as "could not load
# kernel32.dll" on a machine busy installing packages) is reported and tried
# once more in an emptied prefix.
boot_prefix() {
  local attempt
  for attempt in 1 2; do
    mkdir -p "$WINEPREFIX"
    if WINE_TIMEOUT=600 wine_call "$wine" wineboot -i >"$work/boot.log" 2>&1 \
        && wine_call wineserver -w && [ -f "$WINEPREFIX/system.reg" ]; then
      return 0
    fi
    echo "wineboot failed (attempt $attempt):" >&2
    tail -n 20 "$work/boot.log" >&2
    timeout 60 wineserver -k </dev/null >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
  done
  return 1
}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  boot_prefix
fi
[ "$mode" = boot ] && exit 0

dll_dir=$1 program=$2
shift 2
mkdir "$work/run"
cp "$dll_dir/velk32.dll" "$program" "$work/run/"

if [ "$mode" = ports ]; then
  pty_pair_start "$work"
  echo "COM1 = $PTY_A, COM2 = $PTY_B (socat pty pair), COM3 to COM9 = missing device"
  map_port() {
    wine_call "$wine" reg add 'HKLM\Software\Wine\Ports' /v "$1" /t REG_SZ /d "$2" /f \
      >"$work/reg.log" 2>&1 || {
      echo "could not map $1 to $2 in the registry:" >&2
      cat "$work/reg.log" >&2
      exit 1
    }
  }
  map_port COM1 "$PTY_A"
  map_port COM2 "$PTY_B"
  # COM3 to COM9 name devices that do not exist: Wine would otherwise give
  # the free COM names to the machine's own /dev/ttyS*, and a program that
  # tries every port (velkcom probe) would open them.
  for n in 3 4 5 6 7 8 9; do
    map_port "COM$n" "$work/no-such-device"
  done
  # The mapping takes effect when wineserver next starts.
  wine_call wineserver -w
  hangup_watch_start "$work/run/hangup.request"
fi

rc=0
# Wine's own messages (wineserver's included) go to a file, shown on failure.
(cd "$work/run" && wine_call "$wine" "./$(basename "$program")" "$@" 2>"$work/wine.log") || rc=$?
wine_call wineserver -w 2>>"$work/wine.log" || true
if [ "$rc" != 0 ]; then
  [ "$rc" = 124 ] || [ "$rc" = 137 ] && echo "$(basename "$program") timed out under Wine" >&2
  echo "--- Wine's messages (last 40 lines):" >&2
  tail -n 40 "$work/wine.log" >&2
fi
exit "$rc"
