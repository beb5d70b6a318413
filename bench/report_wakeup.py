#!/usr/bin/python3
"""Prints the wake-up tables of scripts/bench.sh from what velk_wakeup and
pyserial_wakeup.py wrote into the folders given:

  wakeup-*.json        wake-up samples ({"kind", "ways": [{"way", "lost", "ns"}]})
  idle-*.json          the CPU time of an idle wait ({"idle": [{"case", "cpu_us", "wall_us"}]})
  idle-*.strace        strace -f of the same, fenced by velk_syscalls' markers

One table per kind of port (pty, rfc2217): each way's median and 99th
percentile, and both over the floor's; then the idle wait: CPU time and the
system calls made during it. The target: velk_wait + SioGetc within 1.2x of
the floor, in the median.
Usage: report_wakeup.py DIR...
"""
import glob
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report  # noqa: E402  (count_syscalls, the marker reader)

TARGET = 1.2
LABELS = {
    "velk_wait": "velk_wait + SioGetc",
    "port_fd": "poll(velk_port_fd) + SioGets",
    "floor": "poll() + read(), the floor",
    "pyserial": "pyserial read(1), timeout 5 s",
    "sleep_1ms": "SioGetc + 1 ms sleep loop",
}
ORDER = ["velk_wait", "port_fd", "floor", "pyserial", "sleep_1ms"]


def percentile(sorted_ns, p):
    if not sorted_ns:
        return None
    i = min(len(sorted_ns) - 1, int(round(p / 100.0 * (len(sorted_ns) - 1))))
    return sorted_ns[i]


def us(ns):
    return "-" if ns is None else "%.1f us" % (ns / 1000.0)


def ratio(a, b):
    return "-" if a is None or not b else "%.2fx" % (a / b)


def main():
    folders = sys.argv[1:]

    def files(pattern):
        return sorted(p for d in folders for p in glob.glob(os.path.join(d, pattern)))

    kinds = {}
    for path in files("wakeup-*.json"):
        data = json.load(open(path))
        for w in data["ways"]:
            entry = kinds.setdefault(data["kind"], {}).setdefault(w["way"], {"ns": [], "lost": 0})
            entry["ns"].extend(w["ns"])
            entry["lost"] += w["lost"]
    for kind in ("pty", "rfc2217"):
        if kind not in kinds:
            continue
        ways = kinds[kind]
        stats = {}
        for name, e in ways.items():
            ns = sorted(e["ns"])
            stats[name] = (len(ns), e["lost"], percentile(ns, 50), percentile(ns, 99))
        floor = stats.get("floor", (0, 0, None, None))
        where = "a pty" if kind == "pty" else "rfc2217:// through ser2net (floor: its raw TCP port)"
        print("Wake-up latency on %s: from the peer's write to the program having the byte" % where)
        print()
        print("| way | samples | lost | median | 99th percentile | median / floor | 99th / floor |")
        print("|---|---|---|---|---|---|---|")
        for name in ORDER:
            if name not in stats:
                continue
            n, lost, med, p99 = stats[name]
            print("| %s | %d | %d | %s | %s | %s | %s |" % (
                LABELS[name], n, lost, us(med), us(p99), ratio(med, floor[2]), ratio(p99, floor[3])))
        if "velk_wait" in stats and floor[2]:
            r = stats["velk_wait"][2] / floor[2]
            print()
            print("Target: velk_wait + SioGetc within %.1fx of the floor (median): %.2fx, %s." % (
                TARGET, r, "met" if r <= TARGET else "missed"))
        print()

    idle = []
    for path in files("idle-*.json"):
        idle.extend(json.load(open(path))["idle"])
    calls = {}
    for path in files("idle-*.strace"):
        calls.update(report.count_syscalls(path))
    if idle:
        print("An idle wait: one second on a silent pty")
        print()
        print("| case | CPU time | wall time | system calls | which |")
        print("|---|---|---|---|---|")
        for c in idle:
            sec = calls.get(c["case"])
            n = sum(sec[1].values()) if sec else None
            which = ", ".join("%s %d" % (k, v) for k, v in sec[1].most_common(4)) if sec else "-"
            print("| %s | %d us | %.3f s | %s | %s |" % (
                c["case"], c["cpu_us"], c["wall_us"] / 1e6, "-" if n is None else n, which))
        print()
        print("(The system calls come from a run under strace, which slows the 1 ms loop down;")
        print("the CPU and wall times from a run without it.)")


if __name__ == "__main__":
    main()
