#!/usr/bin/python3
"""pyserial's network clients on the cases of bench/velk_net_bench.cpp,
through the same ser2net and echo, one round per run (scripts/bench.sh runs
the two programs in turn):

  /usr/bin/python3 bench/pyserial_net_bench.py --rfc2217 PORT --raw PORT
      [--round N] [--echoes N] [--trips N] --out FILE.json

One connection per client, in an order rotated by the round: pyserial's
rfc2217:// (with its ign_set_control option, without which it does not open
against ser2net on a pty: the server leaves some requests unanswered) and its
socket://. On each, N echoes of 64 KiB timed apart, then N 1 KiB
request/reply round trips; every byte echoed is checked. The port is opened
as a program that waits for its replies opens it: serial_for_url(url,
timeout=10), write(), then read() until the reply is whole.

Needs Debian's python3-serial (pyserial 3.5): run it with /usr/bin/python3.
"""
import argparse
import json
import sys
import time

import serial

ECHO = 64 * 1024
TRIP = 1024


def pattern(n, seed):
    # Changes from one exchange to the next and includes 0xFF (doubled on
    # rfc2217://), as the C program's does.
    return bytes(((i * 7 + seed * 13) & 0xFF) for i in range(n))


def exchange(s, data):
    s.write(data)
    back = bytearray()
    while len(back) < len(data):
        chunk = s.read(len(data) - len(back))
        if not chunk:
            raise IOError("no echo within 10 s")
        back += chunk
    return bytes(back)


def run_client(url, echoes, trips):
    r = {"open_s": 0.0, "echo_s": [], "trips": 0, "trips_s": 0.0, "error": ""}
    t0 = time.perf_counter()
    try:
        s = serial.serial_for_url(url, timeout=10)
    except Exception as e:  # noqa: BLE001 - reported in the results
        r["error"] = "open failed: %s" % e
        return r
    r["open_s"] = time.perf_counter() - t0
    try:
        for i in range(echoes):
            out = pattern(ECHO, i)
            t0 = time.perf_counter()
            back = exchange(s, out)
            r["echo_s"].append(time.perf_counter() - t0)
            if back != out:
                raise IOError("64 KiB echo %d came back changed" % (i + 1))
        out = bytearray(pattern(TRIP, 99))
        t0 = time.perf_counter()
        for i in range(trips):
            out[0] = i & 0xFF
            if exchange(s, bytes(out)) != out:
                raise IOError("1 KiB reply %d came back changed" % (i + 1))
            r["trips"] += 1
        r["trips_s"] = time.perf_counter() - t0
    except Exception as e:  # noqa: BLE001 - reported in the results
        r["error"] = str(e)
    finally:
        s.close()
    return r


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--rfc2217", type=int, required=True)
    ap.add_argument("--raw", type=int, required=True)
    ap.add_argument("--round", type=int, default=0)
    ap.add_argument("--echoes", type=int, default=10)
    ap.add_argument("--trips", type=int, default=200)
    ap.add_argument("--out", required=True)
    a = ap.parse_args()
    clients = [
        ("pyserial rfc2217://", "rfc2217://127.0.0.1:%d?ign_set_control" % a.rfc2217),
        ("pyserial socket://", "socket://127.0.0.1:%d" % a.raw),
    ]
    results = {}
    for k in range(len(clients)):
        name, url = clients[(k + a.round) % len(clients)]
        r = run_client(url, a.echoes, a.trips)
        r["order"] = k
        if r["error"]:
            print("%s: %s" % (name, r["error"]), file=sys.stderr)
        results[name] = r
    with open(a.out, "w") as f:
        json.dump({"round": a.round, "clients": results}, f, indent=1)


if __name__ == "__main__":
    main()
