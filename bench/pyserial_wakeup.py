#!/usr/bin/python3
"""pyserial's side of the wake-up benchmark (bench/velk_wakeup.cpp says how it
is measured): the same peer process (velk_wakeup --peer) writes one byte into
a pty, or into the pty behind ser2net, and pyserial 3.5 (Debian's
python3-serial) waits for it with read(1) under a time-out, the way a
pyserial program waits. The time from the peer's write to read(1)'s return
is one sample.

  pyserial_wakeup.py --peer-bin velk_wakeup --samples N --out FILE
      on a pty of the peer's own;
  pyserial_wakeup.py --peer-bin velk_wakeup --rfc2217 PORT --link PATH ...
      on rfc2217://127.0.0.1:PORT, ser2net's port in front of PATH;
  pyserial_wakeup.py --peer-bin velk_wakeup --idle --out FILE
      read(1) with a 1 s time-out on a silent pty, fenced by the markers of
      velk_syscalls for strace, its CPU time to FILE.
"""
import argparse
import json
import os
import resource
import subprocess
import time

import serial


def start_peer(peer_bin, link=None):
    cmd = [peer_bin, "--peer"] + (["--link", link] if link else [])
    peer = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
    path = peer.stdout.readline().decode().strip()
    return peer, path


def cpu_us():
    r = resource.getrusage(resource.RUSAGE_SELF)
    return int((r.ru_utime + r.ru_stime) * 1e6)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--peer-bin", required=True)
    ap.add_argument("--samples", type=int, default=1000)
    ap.add_argument("--rfc2217", type=int)
    ap.add_argument("--link")
    ap.add_argument("--idle", action="store_true")
    ap.add_argument("--out", required=True)
    a = ap.parse_args()

    peer, path = start_peer(a.peer_bin, a.link)
    if a.rfc2217:
        # ign_set_control: ser2net on a pty does not answer the control
        # requests pyserial waits for (as in pyserial_net_bench.py).
        port = serial.serial_for_url("rfc2217://127.0.0.1:%d?ign_set_control" % a.rfc2217,
                                     baudrate=115200, timeout=5)
    else:
        port = serial.Serial(path, 115200, timeout=5)

    if a.idle:
        port.timeout = 1
        cpu0 = cpu_us()
        t0 = time.monotonic_ns()
        os.access("/velk-mark/B/pyserial read(1), 1 s", os.F_OK)
        port.read(1)
        os.access("/velk-mark/E", os.F_OK)
        wall = (time.monotonic_ns() - t0) // 1000
        cpu = cpu_us() - cpu0
        result = {"idle": [{"case": "pyserial read(1), 1 s", "cpu_us": cpu, "wall_us": wall}]}
    else:
        samples, lost = [], 0
        for _ in range(a.samples):
            peer.stdin.write(b"g")
            got = port.read(1)
            t1 = time.monotonic_ns()
            t0 = int(peer.stdout.readline())
            if got == b"w":
                samples.append(t1 - t0)
            else:
                lost += 1
        result = {"kind": "rfc2217" if a.rfc2217 else "pty",
                  "ways": [{"way": "pyserial", "lost": lost, "ns": samples}]}
    port.close()
    peer.stdin.close()
    peer.wait()
    with open(a.out, "w") as f:
        json.dump(result, f)


if __name__ == "__main__":
    main()
