#!/usr/bin/env bash
# Keeps the system services of packages the tests install disabled: ser2net's
# would serve /dev/ttyS0 (perhaps the console) on localhost:2000, and the
# tests start their own ser2net on a free port of 127.0.0.1.
#
# systemd may not be there when such a package is installed (on a fresh
# machine it comes later, with QEMU), so the links are removed with Debian's
# own tools, which need no systemd: deb-systemd-helper removes the systemd
# links and records the unit as disabled (an upgrade then leaves it so),
# update-rc.d turns the SysV start links into stop links. Where systemd runs,
# the service is stopped too. Run after the install (scripts/deps.sh) and at
# the end of the test command, in case a later install brought systemd.
# Prints one line per installed service: "UNIT: STATE, RUNNING".
set -uo pipefail
for unit in ser2net.service; do
  name=${unit%.service}
  [ -e "/lib/systemd/system/$unit" ] || [ -e "/etc/init.d/$name" ] || continue
  # deb-systemd-helper acts only when run as the package's maintainer script.
  DPKG_MAINTSCRIPT_PACKAGE=$name deb-systemd-helper disable "$unit" >/dev/null 2>&1
  [ -e "/etc/init.d/$name" ] && update-rc.d "$name" disable >/dev/null 2>&1
  if command -v systemctl >/dev/null 2>&1; then
    state=$(systemctl is-enabled "$unit" 2>/dev/null)
  else
    # What systemctl would read: a link in a .wants folder, a SysV start link.
    links=$(ls /etc/systemd/system/*.wants/"$unit" /etc/rc[S2-5].d/S[0-9][0-9]"$name" 2>/dev/null | paste -sd ' ' -)
    state=${links:+enabled ($links)}
    state=${state:-disabled}
  fi
  if [ -d /run/systemd/system ]; then
    systemctl stop "$unit" >/dev/null 2>&1
    running=$(systemctl is-active "$unit" 2>/dev/null)
  else
    running="not running (no systemd)"
  fi
  echo "$unit: ${state:-unknown}, $running (the tests start $name themselves)"
done
