#!/usr/bin/env bash
# What cannot be installed reaches the closing summary as not run, with the
# reason, and its stage is not counted as passed: a package named in
# VELK_UNINSTALLABLE is unavailable to scripts/deps.sh (a needed one fails
# it, a wanted one is reported with the reason), and scripts/summary.sh
# counts a stage with a part not run apart from the stages that passed.
set -euo pipefail
scripts=$(cd "$(dirname "$0")/../scripts" && pwd)
command -v dpkg-query >/dev/null || { echo "skipped: no dpkg-query (not Debian)"; exit 77; }
dir=$(mktemp -d "${TMPDIR:-/tmp}/velk-summary.XXXXXX")
trap 'rm -rf "$dir"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
export VELK_UNINSTALLABLE="bash velk-none:i386"

# Needed: deps.sh fails, naming the package and why (bash is installed).
if bash "$scripts/deps.sh" bash 2>"$dir/err"; then fail "deps.sh passed with a needed package unavailable"; fi
grep -qx "cannot install bash: apt cannot get it (named in VELK_UNINSTALLABLE)" "$dir/err" ||
  fail "deps.sh gave: $(cat "$dir/err")"

# Wanted: the stage learns which package is missing and why, and says so.
# shellcheck source=scripts/optional-deps.sh
. "$scripts/optional-deps.sh"
want bash velk-none:i386 >/dev/null
lacking dpkg-query-not-named >/dev/null && fail "lacking names a package that was not wanted"
why=$(lacking velk-none:i386) || fail "velk-none:i386 is not reported unavailable"
[ "$why" = "velk-none:i386 cannot be installed: apt cannot get it (named in VELK_UNINSTALLABLE)" ] ||
  fail "lacking gave: $why"
echo "windows: the i686 Wine runs: $why" >"$dir/not-run.txt"
echo "unit: Net.Ser2net: ser2net is not installed" >"$dir/skips.txt"

got=$(bash "$scripts/summary.sh" "$dir" "" unit windows)
want_out="skipped tests (1), with the reason:
  unit: Net.Ser2net: ser2net is not installed
not run (1), with the reason:
  windows: the i686 Wine runs: $why
stages: 1 passed, 1 passed with parts not run (windows), 0 failed"
[ "$got" = "$want_out" ] || fail "summary:"$'\n'"$got"$'\n'"wanted:"$'\n'"$want_out"
got=$(bash "$scripts/summary.sh" "$dir" cross unit windows | tail -n 1)
[ "$got" = "stages: 1 passed, 1 passed with parts not run (windows), 1 failed (cross)" ] || fail "summary: $got"
echo "the missing package is reported with its reason; its stage is not counted as passed"
