#!/usr/bin/env bash
# Installs the Debian packages the build and tests need, only those missing.
# Usage: scripts/deps.sh PACKAGE...   (as root on Debian; a no-op when all are there)
set -euo pipefail
missing=()
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "need root to install: ${missing[*]}" >&2
  exit 1
fi
for pkg in "${missing[@]}"; do
  # Packages of a foreign architecture (name:i386) need it enabled first.
  case "$pkg" in
    *:i386) dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386 ;;
  esac
done
export DEBIAN_FRONTEND=noninteractive

# Packages that come with a system service the tests must not have running:
# ser2net's would serve /dev/ttyS0 (perhaps the console) on localhost:2000.
# The tests start their own. Such a package is installed with no service
# started (a policy-rc.d that denies every start, for the install only), and
# its service is disabled (and stopped, where systemd runs) right after.
quiet_services=()
for pkg in "${missing[@]}"; do
  case "$pkg" in
    ser2net) quiet_services+=(ser2net.service) ;;
  esac
done
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ${#quiet_services[@]} -gt 0 ] && [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# Written by velk32 scripts/deps.sh for one install: no service starts.\nexit 101\n' >"$policy"
  chmod 755 "$policy"
  own_policy=1
  trap 'rm -f "$policy"' EXIT
fi

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
  if apt-get "${apt_opts[@]}" update -q; then updated=1; break; fi
  if [ "$attempt" = 3 ]; then
    echo "apt-get update failed three times; installing from the package lists there are" >&2
  else
    echo "apt-get update failed (attempt $attempt of 3; a mirror may be syncing); again in 30 s" >&2
    sleep 30
  fi
done
if ! apt-get "${apt_opts[@]}" install -y -q "${missing[@]}"; then
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  [ "$updated" = 0 ] && [ -n "$codename" ] || exit 1
  echo "install failed with a package list missing; again, preferring $codename's own packages (-t $codename)" >&2
  apt-get "${apt_opts[@]}" install -y -q -t "$codename" "${missing[@]}"
fi

if [ "$own_policy" = 1 ]; then
  rm -f "$policy"
  trap - EXIT
fi
for unit in "${quiet_services[@]}"; do
  if command -v systemctl >/dev/null 2>&1; then
    if [ -d /run/systemd/system ]; then
      systemctl disable --now "$unit" >/dev/null 2>&1 || true
    else
      systemctl disable "$unit" >/dev/null 2>&1 || true   # offline: the links only
    fi
    state="$(systemctl is-enabled "$unit" 2>/dev/null || true)"
    active="$( [ -d /run/systemd/system ] && systemctl is-active "$unit" 2>/dev/null || echo 'not running: no systemd')"
    echo "$unit: installed but not started by this install and disabled (is-enabled: ${state:-unknown}; ${active}); the tests start their own"
  else
    echo "$unit: installed with no service started (no systemd here); the tests start their own"
  fi
done
