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
# Another install in progress (a parallel job's) is waited for, not failed on.
apt-get -o DPkg::Lock::Timeout=900 update -q
apt-get -o DPkg::Lock::Timeout=900 install -y -q "${missing[@]}"
