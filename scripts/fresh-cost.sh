#!/usr/bin/env bash
# What the test command cost a machine: from apt's history, every install
# made since SINCE whose requested packages are all named by the test
# scripts (installs of other work on the machine are left out), with the
# download and disk size of each package it brought, from apt's lists; the
# kernel packages the drivers stage downloaded; the size of the clone's
# build folder; and the times of the run, from its log (`time` output).
# Usage: scripts/fresh-cost.sh SINCE CLONE [LOG]
#   SINCE: "YYYY-MM-DD HH:MM" (apt's local time), when the run started
#   CLONE: the checkout the run was made in; LOG: its output
set -euo pipefail
since=${1:?usage: $0 "YYYY-MM-DD HH:MM" CLONE [LOG]}
clone=${2:?usage: $0 "YYYY-MM-DD HH:MM" CLONE [LOG]}
log=${3:-}
here=$(cd "$(dirname "$0")" && pwd)
# The cross compilers are named through the toolchain files' triples.
named="$(cat "$here/test-all.sh" "$here/consumers.sh" "$here/vm-drivers.sh")
$(sed -n 's/^set(VELK_LINUX_TRIPLE \([^)]*\))/g++-\1/p' "$here"/../cmake/toolchains/linux-*.cmake)"

# One line per install: the requested packages, then what it brought.
awk -v since="$since" '
  /^Start-Date:/ { d = $2 " " $3; keep = (d >= since); cmd = ""; pkgs = "" }
  keep && /^Commandline:/ { cmd = $0; sub(/.* install /, "", cmd); gsub(/-y|-q|-t [a-z]+/, "", cmd) }
  keep && /^(Install|Upgrade):/ { line = $0; sub(/^[A-Za-z]+: /, "", line); pkgs = pkgs ", " line }
  keep && /^End-Date:/ { print cmd "|" pkgs }
' /var/log/apt/history.log >"${TMPDIR:-/tmp}/velk-cost.$$"
trap 'rm -f "${TMPDIR:-/tmp}/velk-cost.$$"' EXIT

total_dl=0 total_disk=0
while IFS='|' read -r requested brought; do
  ours=1
  for p in $requested; do
    grep -qw -- "${p%%:*}" <<<"$named" || ours=0
  done
  [ "$ours" = 1 ] || { echo "left out (not the test command's): $requested"; continue; }
  # "name:arch (version[, automatic])" or, for an upgrade, "(old, new)":
  # asked of apt-cache as name:arch=version, all at once.
  mapfile -t wanted < <(sed 's/^, //; s/), /)\n/g' <<<"$brought" |
    sed -E 's/^([^ ]+) \(([^,)]+)(, automatic)?\)$/\1=\2/; s/^([^ ]+) \([^,]+, ([^,)]+)\)$/\1=\2/')
  read -r n dl disk < <(apt-cache show --no-all-versions "${wanted[@]}" 2>/dev/null |
    awk '/^Package:/ { n++ } /^Size:/ { s += $2 } /^Installed-Size:/ { i += $2 } END { printf "%d %d %d\n", n, s, i * 1024 }')
  printf '%-60.60s %4d of %4d packages found: %5d MB download, %5d MB installed\n' "$requested" "$n" \
    "${#wanted[@]}" $((dl / 1000000)) $((disk / 1000000))
  total_dl=$((total_dl + dl)) total_disk=$((total_disk + disk))
done <"${TMPDIR:-/tmp}/velk-cost.$$"
echo "apt, all: $((total_dl / 1000000)) MB download, $((total_disk / 1000000)) MB installed"
kernels=$(du -cb "$clone"/build/vm/cache/*.deb 2>/dev/null | tail -n 1 | cut -f1)
echo "kernel and guest packages downloaded (build/vm/cache): $(( ${kernels:-0} / 1000000 )) MB"
echo "build folder: $(du -sh "$clone/build" | cut -f1)"
echo "apt architectures added: $(dpkg --print-foreign-architectures | paste -sd ' ' -)"
[ -z "$log" ] || grep -E '^(real|user|sys)[[:space:]]' "$log" | sed 's/^/time: /'
