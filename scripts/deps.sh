#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only those missing.
# Usage: scripts/deps.sh [--optional] PACKAGE...   (as root on Debian; a no-op when all are there)
#
# Without --optional every package named is needed: one that cannot be
# installed fails the script (exit 1), after a line per package saying why.
# With --optional, what can be installed is, and each package that cannot
# be had gets one line on standard output, "unavailable: PACKAGE: REASON"
# (apt's own words), and the exit status is 0: the caller skips what needs
# it and says why.
#
# VELK_UNINSTALLABLE="PKG PKG..." names packages to treat as ones apt cannot
# get, installed or not, so that the path of a machine whose mirror lacks
# them can be rehearsed anywhere (the names as given here, e.g. wine32:i386).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
optional=0
if [ "${1:-}" = --optional ]; then optional=1; shift; fi

declare -A why=()
missing=()
for pkg in "$@"; do
  case " ${VELK_UNINSTALLABLE:-} " in
    *" $pkg "*) why[$pkg]="apt cannot get it (named in VELK_UNINSTALLABLE)"; continue ;;
  esac
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done

# Says what could not be had; fails when a needed package is among it.
report() {
  local pkg
  for pkg in "$@"; do
    [ -n "${why[$pkg]:-}" ] || continue
    if [ "$optional" = 1 ]; then
      echo "unavailable: $pkg: ${why[$pkg]}"
    else
      echo "cannot install $pkg: ${why[$pkg]}" >&2
    fi
  done
  [ "$optional" = 1 ] || [ ${#why[@]} -eq 0 ] || exit 1
  exit 0
}
[ ${#missing[@]} -eq 0 ] && report "$@"
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  for pkg in "${missing[@]}"; do why[$pkg]="not installed, and installing needs root"; done
  report "$@"
fi
for pkg in "${missing[@]}"; do
  # Packages of a foreign architecture (name:i386) need it enabled first.
  case "$pkg" in
    *:i386) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive

# Packages that come with a system service the tests must not have running
# (ser2net's) are installed with no service started: a policy-rc.d that
# denies every start, for the install only. scripts/quiet-services.sh then
# disables the service.
quiet=0
for pkg in "${missing[@]}"; do
  case "$pkg" in ser2net) quiet=1 ;; esac
done
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ "$quiet" = 1 ] && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# Written by velk32 scripts/deps.sh for one install: no service starts.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=1
fi
log=$(mktemp "${TMPDIR:-/tmp}/velk-apt.XXXXXX")
trap 'rm -f "$log" "$log.update"; [ "$own_policy" = 0 ] || rm -f "$policy"' EXIT

# Another install in progress (a parallel job's) is waited for, not failed on.
# A mirror caught mid-sync ("File has unexpected size") fails an update for a
# while: it is tried three times, and after that the install goes ahead with
# the package lists there are (the install itself then says what is missing).
# When one list stays missing (seen: the security archive's i386 list), a
# package of a second architecture can find no version matching the first's
# security update; the install is then tried again from the release's own
# lists first (-t CODENAME), where both architectures have the same versions.
apt_opts=(-o DPkg::Lock::Timeout=900 -o Acquire::Retries=3)
updated=0
for attempt in 1 2 3; do
  if apt-get "${apt_opts[@]}" update -q 2>&1 | tee "$log.update"; then updated=1; break; fi
  if [ "$attempt" = 3 ]; then
    echo "apt-get update failed three times; installing from the package lists there are" >&2
  else
    echo "apt-get update failed (attempt $attempt of 3; a mirror may be syncing); again in 30 s" >&2
    sleep 30
  fi
done
codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
# apt_install PACKAGE...: apt's output shown and kept in $log.
apt_install() {
  apt-get "${apt_opts[@]}" install -y -q "$@" 2>&1 | tee "$log" && return 0
  [ "$updated" = 0 ] && [ -n "$codename" ] || return 1
  echo "install failed with a package list missing; again, preferring $codename's own packages (-t $codename)" >&2
  apt-get "${apt_opts[@]}" install -y -q -t "$codename" "$@" 2>&1 | tee "$log"
}
# apt's reason, from its logs: its errors, the first unmet dependency, and
# the update's first error when the update failed (a mirror in mid-sync).
apt_reason() {
  local r unmet n
  r=$(sed -n 's/^E: //p' "$log" | head -n 2 | paste -sd ' ' - || true)
  unmet=$(grep -E '^ [^ ]+ : (Pre)?Depends:' "$log" | sed 's/^ *//; s/  */ /g' || true)
  if [ -n "$unmet" ]; then
    n=$(wc -l <<<"$unmet")
    r+=" (unmet: $(head -n 1 <<<"$unmet")"
    [ "$n" = 1 ] && r+=")" || r+="; $n packages with unmet dependencies)"
  fi
  [ "$updated" = 1 ] || r+="; apt-get update had failed: $(sed -n 's/^E: //p' "$log.update" | head -n 1 | sed 's/ *\[IP: [^]]*\]//' | cut -c1-200)"
  r=${r:-apt-get install failed (no reason given)}
  echo "${r:0:400}"
}
if ! apt_install "${missing[@]}"; then
  # One package that cannot be had must not keep the others out.
  echo "the install failed; each package alone:" >&2
  for pkg in "${missing[@]}"; do
    apt_install "$pkg" >/dev/null || why[$pkg]=$(apt_reason)
  done
fi
[ "$quiet" = 1 ] && bash "$here/quiet-services.sh"
report "$@"
