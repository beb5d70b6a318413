#!/usr/bin/env bash
# The library on the kernel's real serial drivers: boots Debian's kernel
# under QEMU (software emulation, no KVM needed) with an initramfs holding
# busybox and the project's binaries, runs the checks inside and prints one
# "GUEST: N passed, N failed" line per guest (x86-64, arm64, cdc-x86-64,
# cdc-arm64; VELK_VM_GUESTS="x86_64 arm64 cdc-x86_64 cdc-arm64" picks some).
# Nothing is installed from the kernel packages: they are downloaded (cached
# in build/vm/cache) and unpacked.
#
# x86-64 guest: ttyS0 the console, ttyS1 a 16550A with nothing attached (used
# in its internal loopback), ttyS2 a 16550A whose other end is a telnet
# socket on the host (breaks from the host), and an FTDI adapter on
# qemu-xhci whose host side is a pty with an echo behind it.
# arm64 guest (virt board): the console on a virtio console, the PL011
# against an echo on a host TCP port, the FTDI adapter as on x86-64; the
# binaries cross-built into build/aarch64.
# USB CDC-ACM guests (x86-64, arm64): the guest's kernel plays both sides,
# the g_serial gadget on dummy_hcd as the device and cdc_acm as the host.
#
# Usage: scripts/vm-drivers.sh [BUILD_DIR]   (default build/release, built here)
# Exit status 0 when every guest passed; a guest that cannot boot here, or
# whose packages cannot be had (QEMU, busybox, the kernel package; apt's
# reason is given), or whose QEMU crashes in two runs, is reported SKIP with
# the reason and does not fail the stage. VELK_UNINSTALLABLE (scripts/deps.sh) applies to the downloads too.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
work=build/vm
mkdir -p "$work/cache"

. scripts/optional-deps.sh
want qemu-system-x86 busybox-static cpio socat
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_WERROR=ON >/dev/null
cmake --build "$build" -j"$(nproc 2>/dev/null || echo 2)" --target velk32 velkcom velk32_guest_checks velk32_tests >/dev/null

# The kernel package that linux-image-ARCH names, downloaded once. A foreign
# architecture's packages (arm64) need it known to apt first.
kernel_pkg() {
  local q=linux-image-$1
  [ "$1" = "$(dpkg --print-architecture)" ] || q=$q:$1
  apt-cache depends "$q" 2>/dev/null | awk '/Depends: linux-image-/ { print $2; exit }'
}
foreign_arch() {  # ARCH: makes apt know the architecture's packages
  dpkg --print-foreign-architectures | grep -qx "$1" || dpkg --add-architecture "$1" || return 1
  apt-cache show "busybox-static:$1" >/dev/null 2>&1 && return 0
  # The update's own status is not the answer: one list of another
  # architecture failing (a mirror in mid-sync) fails it, while this
  # architecture's lists may have come in whole.
  apt-get -o Acquire::Retries=3 update -q >/dev/null 2>&1 || true
  apt-cache show "busybox-static:$1" >/dev/null 2>&1
}
# Unpacks a package (downloaded once into the cache) into DIR.
fetch_unpack() {  # PACKAGE DIR; on failure, prints apt's reason
  local pkg=$1 dir=$2 deb
  case " ${VELK_UNINSTALLABLE:-} " in
    *" $pkg "*) echo "$pkg cannot be downloaded: apt cannot get it (named in VELK_UNINSTALLABLE)"; return 1 ;;
  esac
  [ -d "$dir" ] && return 0
  deb=$(ls "$work/cache/${pkg%%:*}_"*"${pkg#*:}".deb 2>/dev/null | head -n1 || true)
  [ "$pkg" = "${pkg%%:*}" ] && deb=$(ls "$work/cache/${pkg}_"*.deb 2>/dev/null | head -n1 || true)
  if [ -z "$deb" ]; then
    (cd "$work/cache" && apt-get download "$pkg" >"$pkg.log" 2>&1) || {
      echo "$pkg cannot be downloaded: $(grep '^E: ' "$work/cache/$pkg.log" | head -n 2 | sed 's/^E: //' | paste -sd ' ' -)"
      return 1
    }
    deb=$(ls -t "$work/cache/${pkg%%:*}_"*.deb | head -n1)
  fi
  rm -rf "$dir.tmp" && dpkg -x "$deb" "$dir.tmp" && mv "$dir.tmp" "$dir"
}
unpack_kernel() {  # ARCH -> prints the folder it is unpacked in, or why not
  local arch=$1 pkg deb dir
  case " ${VELK_UNINSTALLABLE:-} " in
    *" linux-image-$arch "*) echo "linux-image-$arch: apt cannot get it (named in VELK_UNINSTALLABLE)"; return 1 ;;
  esac
  pkg=$(kernel_pkg "$arch")
  [ -n "$pkg" ] || { echo "apt knows no package linux-image-$arch depends on"; return 1; }
  dir=$work/kernel-${pkg%%:*}
  fetch_unpack "$pkg" "$dir" || return 1
  echo "$dir"
}

# Copies a program and the shared libraries it loads into the image root.
add_program() {  # ROOT FILE
  local root=$1 file=$2 lib
  install -D -m755 "$file" "$root/velk/$(basename "$file")"
  for lib in $(ldd "$file" | awk '/=> \// { print $3 } /^\t\/.*ld-linux/ { print $1 }'); do
    [ -e "$root$lib" ] || install -D -m755 "$(readlink -f "$lib")" "$root$lib"
  done
}

make_initrd() {  # ROOT KERNEL_DIR INIT_SCRIPT OUT
  local root=$1 kdir=$2 init=$3 out=$4 m
  rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules}
  cp /bin/busybox "$root/bin/busybox"
  for m in sh mount insmod sleep cat echo grep poweroff ls mkdir env sed; do ln -s busybox "$root/bin/$m"; done
  for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    local f
    f=$(find "$kdir/lib/modules" -name "$m.ko*" | head -n1)
    [ -n "$f" ] && cp "$f" "$root/modules/"
  done
  add_program "$root" "$build/src/libvelk32.so"  || true
  add_program "$root" "$build/tools/velkcom/velkcom"
  add_program "$root" "$build/tests/velk32_guest_checks"
  add_program "$root" "$build/tests/velk32_tests"
  cp "$(readlink -f "$build"/src/libvelk32.so*)" "$root/velk/" 2>/dev/null || true
  install -m755 "$init" "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$out"
}

# The x86-64 guest's /init.
cat >"$work/init-x86_64" <<'INIT'
#!/bin/sh
export PATH=/bin LD_LIBRARY_PATH=/velk
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  f=$(ls /modules/$m.ko* 2>/dev/null) && insmod $f
done
pass=0; fail=0
check() {  # NAME COMMAND...
  name=$1; shift
  out=$("$@" 2>&1); rc=$?
  echo "$out" | sed 's/^/  | /'
  if [ $rc -eq 0 ]; then pass=$((pass+1)); echo "PASS $name"; else fail=$((fail+1)); echo "FAIL $name (exit $rc)"; fi
}
for i in 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17 18 19 20; do [ -e /dev/ttyUSB0 ] && break; sleep 0.25; done
echo "== guest ready"
check "device tests on ttyS1 (RealUart.*)" env VELK_TEST_UART=/dev/ttyS1 /velk/velk32_tests --gtest_filter='RealUart.*' --gtest_brief=1
check "selftest --internal-loopback on ttyS1" /velk/velkcom selftest --device /dev/ttyS1 --internal-loopback
check "ttyS1 out of loopback after it" /velk/velk32_guest_checks loopoff /dev/ttyS1
check "held close on ttyS1" /velk/velk32_guest_checks held /dev/ttyS1
check "slow drain on ttyS1" /velk/velk32_guest_checks drain /dev/ttyS1
check "velk_wait and velk_port_fd on ttyS1" /velk/velk32_guest_checks wait /dev/ttyS1
check "break received on ttyS2" /velk/velk32_guest_checks break /dev/ttyS2
check "FTDI latency timer" /velk/velk32_guest_checks latency /dev/ttyUSB0 /sys/bus/usb-serial/devices/ttyUSB0/latency_timer
check "FTDI selftest, data only" /velk/velkcom selftest --device /dev/ttyUSB0 --data-only
check "velk_wait and velk_port_fd on ttyUSB0 (FTDI, host echo)" /velk/velk32_guest_checks wait /dev/ttyUSB0 echo
list=$(/velk/velkcom list --json 2>&1); echo "$list" | sed 's/^/  | /'
if echo "$list" | grep -q '"vid": "0403"' && echo "$list" | grep -q '"pid": "6001"' &&
   echo "$list" | grep -q '"product": "QEMU USB SERIAL"' && echo "$list" | grep -q '"com": "COM2"'; then
  pass=$((pass+1)); echo "PASS velkcom list --json"; else fail=$((fail+1)); echo "FAIL velkcom list --json"; fi
# Last: the host takes the adapter away when the check says so.
# (not through check: its marker line must reach the console at once)
if /velk/velk32_guest_checks unplug /dev/ttyUSB0; then pass=$((pass+1)); echo "PASS FTDI unplug mid-transfer"
else fail=$((fail+1)); echo "FAIL FTDI unplug mid-transfer"; fi
echo "GUEST-RESULT $pass passed, $fail failed"
poweroff -f
INIT

overall=0
# Ends the host helpers of a guest run.
stop_helpers() {
  local p
  for p in "$@"; do kill "$p" 2>/dev/null || true; done
  for p in "$@"; do wait "$p" 2>/dev/null || true; done
}

# Prints the guest's lines and its result line; sets overall on failure.
# QEMU itself dying of a signal is the emulator's fault, not the guest's
# (QEMU 7.2 has segfaulted at the FTDI adapter's device_del, now and then):
# the first time, qemu_crash says so and run_guest runs the guest again; the
# second time the guest is SKIP with the reason; the logs are kept. A check
# that failed before the crash fails the guest all the same.
qemu_crash=""
attempt=1
collect() {  # NAME LOG QEMU_RC SECONDS
  local name=$1 log=$2 rc=$3 secs=$4 result sig last version
  qemu_crash=""
  tr -d '\r' <"$log" | grep -E '^(  \||PASS|FAIL|SKIP|GUEST-RESULT)' || true
  result=$(tr -d '\r' <"$log" | sed -n 's/^GUEST-RESULT //p' | tail -n1)
  if [ -z "$result" ]; then
    if [ "$rc" -eq 124 ]; then echo "$name: 0 passed, 1 failed (the guest did not finish in time)"; overall=1; return; fi
    if [ "$rc" -gt 128 ] && [ "$rc" -lt 160 ]; then
      sig=$(kill -l $((rc - 128)) 2>/dev/null || echo $((rc - 128)))
      last=$(tr -d '\r' <"$log" | grep -v '^  |' | tail -n1 || true)
      version=$("$qemu" --version 2>/dev/null | sed -n '1s/.*version \([0-9.]*\).*/\1/p' || true)
      qemu_crash="$qemu $version died of SIG$sig after: ${last:-(nothing)}"
      cp "$log" "$log.crashed-$attempt"
      if tr -d '\r' <"$log" | grep -q '^FAIL'; then
        echo "$name: failed before $qemu_crash"; overall=1; qemu_crash=""; return
      fi
      if [ "$attempt" -ge 2 ]; then
        echo "$name: SKIP ($qemu_crash, in both runs; logs $log.crashed-1 and -2)"
      else
        echo "$name: $qemu_crash; the guest runs once more"
      fi
      return
    fi
    if ! grep -q 'Linux version\|Run /init\|guest ready' "$log"; then
      echo "$name: SKIP (QEMU could not start: $(head -c 300 "$log"))"; return
    fi
    echo "$name: 0 passed, 1 failed (no result from the guest; the log is $log)"; overall=1; return
  fi
  echo "$name: $result ($secs s)"
  case "$result" in *" 0 failed") ;; *) overall=1 ;; esac
}

run_x86_64() {
  local kdir qemu=qemu-system-x86_64 log=$work/x86_64.log port pty_pid send_pid qemu_rc
  local why
  if why=$(lacking qemu-system-x86 busybox-static cpio socat); then echo "x86-64: SKIP ($why)"; return 0; fi
  command -v $qemu >/dev/null || { echo "x86-64: SKIP ($qemu is not installed)"; return 0; }
  kdir=$(unpack_kernel amd64) || { echo "x86-64: SKIP (no kernel: $kdir)"; return 0; }
  make_initrd "$work/root-x86_64" "$kdir" "$work/init-x86_64" "$work/initrd-x86_64.gz"
  # The FTDI adapter's host side: a pty whose other end echoes.
  rm -f "$work/ftdi-pty"
  socat PTY,link="$work/ftdi-pty",rawer EXEC:cat &
  pty_pid=$!
  for _ in $(seq 50); do [ -e "$work/ftdi-pty" ] && break; sleep 0.1; done
  port=$((20000 + RANDOM % 20000))
  # Breaks (IAC BRK) into the telnet UART until the guest is done.
  ( for _ in $(seq 240); do printf '\377\363'; sleep 0.5; done ) 2>/dev/null |
    (sleep 3; exec socat -u - TCP:127.0.0.1:$port,retry=40,interval=0.5) >/dev/null 2>&1 &
  send_pid=$!
  # The unplug: QMP device_del once the guest asks for it.
  local qmp=$work/qmp.sock
  rm -f "$qmp" "$log"
  ( for _ in $(seq 2400); do grep -q '== unplug now' "$log" 2>/dev/null && break; sleep 0.1; done
    sleep 1
    printf '%s\n' '{"execute":"qmp_capabilities"}' '{"execute":"device_del","arguments":{"id":"ftdi0"}}' |
      socat -t 2 - UNIX-CONNECT:"$qmp" >/dev/null 2>&1 ) &
  local unplug_pid=$!
  local start=$SECONDS
  set +e
  timeout 240 $qemu -qmp unix:"$qmp",server=on,wait=off -m 512 -display none -monitor none -no-reboot -nodefaults \
    -kernel "$(ls "$kdir"/boot/vmlinuz-*)" -initrd "$work/initrd-x86_64.gz" \
    -append "console=ttyS0 quiet panic=-1" \
    -serial stdio -serial null -serial telnet:127.0.0.1:$port,server=on,wait=off \
    -device qemu-xhci -chardev serial,id=u0,path="$(readlink -f "$work/ftdi-pty")" \
    -device usb-serial,chardev=u0,id=ftdi0 </dev/null >"$log" 2>&1
  qemu_rc=$?
  set -e
  stop_helpers "$pty_pid" "$send_pid" "$unplug_pid"
  collect x86-64 "$log" "$qemu_rc" $((SECONDS - start))
}

# The arm64 guest's /init: the console on a virtio console (hvc0), the
# PL011 (ttyAMA0) against an echo on the host, the FTDI adapter as on x86-64.
cat >"$work/init-arm64" <<'INIT'
#!/bin/sh
export PATH=/bin LD_LIBRARY_PATH=/velk
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in virtio_mmio virtio_console usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
  f=$(ls /modules/$m.ko* 2>/dev/null) && insmod $f
done
# hvc0 can exist a moment before it opens.
for i in $(seq 100); do (exec 3>/dev/hvc0) 2>/dev/null && break; sleep 0.05; done
exec >/dev/hvc0 2>&1
pass=0; fail=0
check() {
  name=$1; shift
  out=$("$@" 2>&1); rc=$?
  echo "$out" | sed 's/^/  | /'
  if [ $rc -eq 0 ]; then pass=$((pass+1)); echo "PASS $name"; else fail=$((fail+1)); echo "FAIL $name (exit $rc)"; fi
}
for i in $(seq 20); do [ -e /dev/ttyUSB0 ] && break; sleep 0.25; done
echo "== guest ready"
check "selftest on ttyAMA0 (PL011, host echo)" /velk/velkcom selftest --device /dev/ttyAMA0 --data-only
check "held close on ttyAMA0" /velk/velk32_guest_checks held /dev/ttyAMA0
check "slow drain on ttyAMA0" /velk/velk32_guest_checks drain /dev/ttyAMA0 echo
check "velk_wait and velk_port_fd on ttyAMA0 (host echo)" /velk/velk32_guest_checks wait /dev/ttyAMA0 echo
check "FTDI latency timer" /velk/velk32_guest_checks latency /dev/ttyUSB0 /sys/bus/usb-serial/devices/ttyUSB0/latency_timer
list=$(/velk/velkcom list --json 2>&1); echo "$list" | sed 's/^/  | /'
if echo "$list" | grep -q '"vid": "0403"' && echo "$list" | grep -q '"device": "/dev/ttyAMA0"'; then
  pass=$((pass+1)); echo "PASS velkcom list --json"; else fail=$((fail+1)); echo "FAIL velkcom list --json"; fi
if /velk/velk32_guest_checks unplug /dev/ttyUSB0; then pass=$((pass+1)); echo "PASS FTDI unplug mid-transfer"
else fail=$((fail+1)); echo "FAIL FTDI unplug mid-transfer"; fi
echo "GUEST-RESULT $pass passed, $fail failed"
poweroff -f
INIT

run_arm64() {
  local qemu=qemu-system-aarch64 log=$work/arm64.log kdir bb root=$work/root-arm64 cross=build/aarch64
  local why
  want qemu-system-arm g++-aarch64-linux-gnu >/dev/null
  if why=$(lacking qemu-system-arm g++-aarch64-linux-gnu cpio socat); then echo "arm64: SKIP ($why)"; return 0; fi
  command -v $qemu >/dev/null || { echo "arm64: SKIP ($qemu is not installed)"; return 0; }
  foreign_arch arm64 || { echo "arm64: SKIP (apt does not know arm64 packages)"; return 0; }
  kdir=$(unpack_kernel arm64) || { echo "arm64: SKIP (no kernel: $kdir)"; return 0; }
  why=$(fetch_unpack busybox-static:arm64 "$work/busybox-arm64") || { echo "arm64: SKIP ($why)"; return 0; }
  # The library and velkcom cross-built; the guest checks compiled against them.
  cmake -S . -B "$cross" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_BUILD_TESTS=OFF -DVELK_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-aarch64.cmake >/dev/null
  cmake --build "$cross" -j"$(nproc 2>/dev/null || echo 2)" --target velk32 velkcom >/dev/null
  aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -Werror -Iinclude tests/drivers/guest_checks.cpp \
    -o "$cross/velk32_guest_checks" -L"$cross/src" -lvelk32 -pthread
  rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,lib,velk}
  cp "$work/busybox-arm64/bin/busybox" "$root/bin/busybox"
  local m f
  for m in sh mount insmod sleep cat echo grep poweroff ls mkdir env sed seq; do ln -s busybox "$root/bin/$m"; done
  for m in virtio_mmio virtio_console usb-common usbcore xhci-hcd xhci-pci usbserial ftdi_sio; do
    f=$(find "$kdir/lib/modules" -name "$m.ko*" | head -n1)
    [ -n "$f" ] && cp "$f" "$root/modules/"
  done
  for f in ld-linux-aarch64.so.1 libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1; do
    cp "$(readlink -f /usr/aarch64-linux-gnu/lib/$f)" "$root/lib/$f"
  done
  cp "$(readlink -f "$cross/src/libvelk32.so")" "$root/velk/"
  (cd "$root/velk" && for l in libvelk32.so.*.*; do ln -sf "$l" "${l%.*}"; ln -sf "$l" "${l%.*.*}"; done) 2>/dev/null || true
  cp "$cross/src"/libvelk32.so* "$root/velk/" 2>/dev/null || true
  install -m755 "$cross/tools/velkcom/velkcom" "$cross/velk32_guest_checks" "$root/velk/"
  install -m755 "$work/init-arm64" "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd-arm64.gz"

  local port echo_pid pty_pid unplug_pid qmp=$work/qmp-arm64.sock rc start
  port=$((20000 + RANDOM % 20000))
  socat TCP-LISTEN:$port,bind=127.0.0.1,reuseaddr EXEC:cat &
  echo_pid=$!
  rm -f "$work/ftdi-pty-arm64" "$qmp" "$log"
  socat PTY,link="$work/ftdi-pty-arm64",rawer EXEC:cat &
  pty_pid=$!
  for _ in $(seq 50); do [ -e "$work/ftdi-pty-arm64" ] && break; sleep 0.1; done
  ( for _ in $(seq 2400); do grep -q '== unplug now' "$log" 2>/dev/null && break; sleep 0.1; done
    sleep 1
    printf '%s\n' '{"execute":"qmp_capabilities"}' '{"execute":"device_del","arguments":{"id":"ftdi0"}}' |
      socat -t 2 - UNIX-CONNECT:"$qmp" >/dev/null 2>&1 ) &
  unplug_pid=$!
  start=$SECONDS
  set +e
  timeout 240 $qemu -M virt -cpu cortex-a57 -m 512 -display none -monitor none -no-reboot -nodefaults \
    -qmp unix:"$qmp",server=on,wait=off \
    -kernel "$(ls "$kdir"/boot/vmlinuz-*)" -initrd "$work/initrd-arm64.gz" \
    -append "console=hvc0 quiet panic=-1" \
    -serial tcp:127.0.0.1:$port \
    -device virtio-serial-device -chardev stdio,id=c0 -device virtconsole,chardev=c0 \
    -device qemu-xhci -chardev serial,id=u0,path="$(readlink -f "$work/ftdi-pty-arm64")" \
    -device usb-serial,chardev=u0,id=ftdi0 </dev/null >"$log" 2>&1
  rc=$?
  set -e
  stop_helpers "$echo_pid" "$pty_pid" "$unplug_pid"
  collect arm64 "$log" "$rc" $((SECONDS - start))
}

# The USB CDC-ACM guest's /init (x86-64 and arm64). No USB device is
# emulated: the guest's own kernel plays both sides. dummy_hcd wires the
# g_serial gadget (a CDC-ACM device; its side is /dev/ttyGS0) to a virtual
# host controller, and cdc_acm serves it as /dev/ttyACM0, as it would an
# Arduino board. velk32_guest_checks plays the device side where a check
# needs one; a check it cannot make there (exit status 77) is SKIP.
cat >"$work/init-cdc" <<'INIT'
#!/bin/sh
export PATH=/bin LD_LIBRARY_PATH=/velk
mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev
for m in configfs usb-common usbcore udc-core libcomposite dummy_hcd u_serial usb_f_acm cdc-acm; do
  f=$(ls /modules/$m.ko* 2>/dev/null) && insmod $f
done
insmod $(ls /modules/g_serial.ko*) use_acm=1
pass=0; fail=0
check() {  # NAME COMMAND...
  name=$1; shift
  out=$("$@" 2>&1); rc=$?
  echo "$out" | sed 's/^/  | /'
  if [ $rc -eq 0 ]; then pass=$((pass+1)); echo "PASS $name"
  elif [ $rc -eq 77 ]; then echo "SKIP $name: $(echo "$out" | sed -n 's/^SKIP [^:]*: //p')"
  else fail=$((fail+1)); echo "FAIL $name (exit $rc)"; fi
}
for i in $(seq 40); do [ -e /dev/ttyACM0 ] && [ -e /dev/ttyGS0 ] && break; sleep 0.25; done
echo "== guest ready"
G=/velk/velk32_guest_checks
# The port in the list with the ids and the strings the kernel read from the device.
list_acm() {
  usb=/sys/class/tty/ttyACM0/device/..
  m=$(cat $usb/manufacturer); p=$(cat $usb/product)
  echo "the kernel's strings: manufacturer \"$m\", product \"$p\""
  acm=$(/velk/velkcom list --json | sed -n '/"device": "\/dev\/ttyACM0"/,/}/p')
  echo "$acm"
  for want in '"driver": "cdc_acm"' '"subsystem": "usb"' '"vid": "0525"' '"pid": "a4a7"' \
              "\"manufacturer\": \"$m\"" "\"product\": \"$p\""; do
    echo "$acm" | grep -qF "$want" || { echo "missing: $want"; return 1; }
  done
}
# Without --data-only the modem rows fail, saying why; the refused break is SKIP.
full_selftest() {
  out=$($G echo /dev/ttyGS0 /velk/velkcom selftest --device /dev/ttyACM0); rc=$?
  echo "$out"
  [ $rc -eq 1 ] &&
    echo "$out" | grep -q '^RTS -> CTS  *FAIL .*cdc_acm drives USB CDC devices.*--data-only' &&
    echo "$out" | grep -q '^DTR -> DSR, DCD  *FAIL .*cdc_acm drives USB CDC devices.*--data-only' &&
    echo "$out" | grep -q "^break -> CE_BREAK  *SKIP  *SioBrkSig('A') gave success flag 0" &&
    [ "$(echo "$out" | grep -c '^.\{28\}FAIL')" -eq 2 ]
}
check "velkcom list --json: cdc_acm 0525:a4a7" list_acm
check "DSR and DCD follow the device side (SioDSR, SioDCD)" $G cdclines /dev/ttyACM0 /dev/ttyGS0
check "velkcom monitor shows DSR and DCD change" $G cdcmonitor /velk/velkcom /dev/ttyACM0 /dev/ttyGS0
check "DTR and RTS reach the device side" $G ctrllines /dev/ttyACM0 /dev/ttyGS0
check "refused break: success flag 0" $G refusedbreak /dev/ttyACM0
check "selftest --data-only, the device side echoing" \
  $G echo /dev/ttyGS0 /velk/velkcom selftest --device /dev/ttyACM0 --data-only
check "selftest: modem rows FAIL with the CDC hint, break SKIP" full_selftest
check "velk_wait and velk_port_fd on ttyACM0 (the device side echoing)" $G wait /dev/ttyACM0 /dev/ttyGS0
# Last: the gadget goes away.
check "gadget removed mid-transfer (rmmod g_serial)" $G unplug /dev/ttyACM0 /dev/ttyGS0 "rmmod g_serial"
echo "GUEST-RESULT $pass passed, $fail failed"
poweroff -f
INIT

# The CDC-ACM guest on ARCH (amd64, arm64): only the console on the board's
# first UART; the binaries built here (amd64) or cross-built (arm64).
run_cdc() {  # ARCH
  local arch=$1 name qemu console kdir bb bin root=$work/root-cdc-$1 log=$work/cdc-$1.log rc start m f
  local -a board=()
  local why
  if [ "$arch" = amd64 ]; then
    name=cdc-x86-64 qemu=qemu-system-x86_64 console=ttyS0 bb=/bin/busybox bin=$build
    if why=$(lacking qemu-system-x86 busybox-static cpio); then echo "$name: SKIP ($why)"; return 0; fi
  else
    name=cdc-arm64 qemu=qemu-system-aarch64 console=ttyAMA0 bin=build/aarch64 board=(-M virt -cpu cortex-a57)
    want qemu-system-arm g++-aarch64-linux-gnu >/dev/null
    if why=$(lacking qemu-system-arm g++-aarch64-linux-gnu cpio); then echo "$name: SKIP ($why)"; return 0; fi
  fi
  command -v $qemu >/dev/null || { echo "$name: SKIP ($qemu is not installed)"; return 0; }
  if [ "$arch" = arm64 ]; then
    foreign_arch arm64 || { echo "$name: SKIP (apt does not know arm64 packages)"; return 0; }
    why=$(fetch_unpack busybox-static:arm64 "$work/busybox-arm64") || { echo "$name: SKIP ($why)"; return 0; }
    bb=$work/busybox-arm64/bin/busybox
    cmake -S . -B "$bin" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_BUILD_TESTS=OFF -DVELK_WERROR=ON \
      -DCMAKE_TOOLCHAIN_FILE=cmake/toolchains/linux-aarch64.cmake >/dev/null
    cmake --build "$bin" -j"$(nproc 2>/dev/null || echo 2)" --target velk32 velkcom >/dev/null
    # The arm64 guest may have compiled the guest checks already.
    for f in tests/drivers/guest_checks.cpp include/velk32.h include/velk32_posix.h; do
      [ "$bin/velk32_guest_checks" -nt "$f" ] && continue
      aarch64-linux-gnu-g++ -std=c++17 -O2 -Wall -Wextra -Werror -Iinclude tests/drivers/guest_checks.cpp \
        -o "$bin/velk32_guest_checks" -L"$bin/src" -lvelk32 -pthread
      break
    done
  fi
  kdir=$(unpack_kernel $arch) || { echo "$name: SKIP (no kernel: $kdir)"; return 0; }
  rm -rf "$root" && mkdir -p "$root"/{bin,dev,proc,sys,tmp,modules,lib,velk}
  cp "$bb" "$root/bin/busybox"
  for m in sh mount insmod rmmod sleep cat echo grep sed seq ls env poweroff; do ln -s busybox "$root/bin/$m"; done
  for m in configfs usb-common usbcore udc-core libcomposite dummy_hcd u_serial usb_f_acm cdc-acm g_serial; do
    f=$(find "$kdir/lib/modules" -name "$m.ko*" | head -n1)
    [ -n "$f" ] || { echo "$name: SKIP (the kernel package ${kdir##*/kernel-} has no module $m)"; return 0; }
    cp "$f" "$root/modules/"
  done
  if [ "$arch" = amd64 ]; then
    add_program "$root" "$bin/tools/velkcom/velkcom"
    add_program "$root" "$bin/tests/velk32_guest_checks"
  else
    for f in ld-linux-aarch64.so.1 libc.so.6 libm.so.6 libstdc++.so.6 libgcc_s.so.1; do
      cp "$(readlink -f /usr/aarch64-linux-gnu/lib/$f)" "$root/lib/$f"
    done
    install -m755 "$bin/tools/velkcom/velkcom" "$bin/velk32_guest_checks" "$root/velk/"
  fi
  cp -P "$bin"/src/libvelk32.so* "$root/velk/"  # the file and its names
  install -m755 "$work/init-cdc" "$root/init"
  (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$work/initrd-cdc-$arch.gz"
  rm -f "$log"
  start=$SECONDS
  set +e
  timeout 240 $qemu "${board[@]}" -m 512 -display none -monitor none -no-reboot -nodefaults \
    -kernel "$(ls "$kdir"/boot/vmlinuz-*)" -initrd "$work/initrd-cdc-$arch.gz" \
    -append "console=$console quiet panic=-1" -serial stdio </dev/null >"$log" 2>&1
  rc=$?
  set -e
  collect "$name" "$log" "$rc" $((SECONDS - start))
}

# Runs a guest, and once more if QEMU crashed (see collect).
run_guest() {  # FUNCTION [ARG]
  attempt=1
  "$@"
  if [ -n "$qemu_crash" ]; then
    attempt=2
    "$@"
  fi
  qemu_crash=""
}

guests=" ${VELK_VM_GUESTS:-x86_64 arm64 cdc-x86_64 cdc-arm64} "
case "$guests" in *" x86_64 "*) run_guest run_x86_64 ;; esac
case "$guests" in *" arm64 "*) run_guest run_arm64 ;; esac
case "$guests" in *" cdc-x86_64 "*) run_guest run_cdc amd64 ;; esac
case "$guests" in *" cdc-arm64 "*) run_guest run_cdc arm64 ;; esac
exit $overall
