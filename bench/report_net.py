#!/usr/bin/python3
"""Prints the network tables of scripts/bench.sh from what
scripts/bench-net.sh left in its results folder:

  setup.txt             the ser2net version and ports
  velk-net.N.json       velk_net_bench's round N (velk32 and the floor)
  pyserial-net.N.json   pyserial_net_bench.py's round N
  velk-net.strace       strace -f of velk_net_bench --syscalls
  errors.txt            what any client reported as failed

Every figure is a median over the rounds. Ratios to the floor are paired by
round: each client's figure is divided by the floor's from the same round
(the C program's run, or the pyserial run right after it), then the median
of those ratios is taken; above 1, the client takes longer than the floor.

Usage: /usr/bin/python3 bench/report_net.py RESULTS_DIR
"""
import collections
import glob
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from report import count_syscalls, describe, fmt_time, print_table  # noqa: E402

FLOOR = "floor: C client, raw port"
CLIENTS = [
    ("velk32 rfc2217://", "rfc2217 port"),
    ("velk32 socket://", "raw port"),
    (FLOOR, "raw port"),
    ("pyserial rfc2217://", "rfc2217 port, ?ign_set_control"),
    ("pyserial socket://", "raw port"),
]
# The library's client and pyserial's on the same port, for "ahead of pyserial".
RIVALS = [("velk32 rfc2217://", "pyserial rfc2217://"), ("velk32 socket://", "pyserial socket://")]
TARGET = 1.15  # time ratio to the floor, rfc2217://
TENTH_SLACK = 1.10  # the tenth echo "no slower" than the first, give or take noise
IDLE = ["SioRxQue", "SioGetc", "SioCTS"]


def load_rounds(out):
    """round -> {client: result}, and round -> idle figures."""
    rounds, idle = {}, {}
    for pattern in ("velk-net.*.json", "pyserial-net.*.json"):
        for path in glob.glob(os.path.join(out, pattern)):
            try:
                d = json.load(open(path))
            except ValueError:
                continue  # a run that died half-way through its file
            rounds.setdefault(d["round"], {}).update(d["clients"])
            if d.get("idle"):
                idle[d["round"]] = d["idle"]
    return rounds, idle


def med(v):
    return statistics.median(v) if v else None


def ratio(x):
    return "%.2fx" % x if x is not None else "-"


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "build/bench/results/net"
    rounds, idle = load_rounds(out)
    if not rounds:
        print("No network results (scripts/bench-net.sh made none: see %s/errors.txt)." % out)
        return
    setup = collections.defaultdict(lambda: "?")
    path = os.path.join(out, "setup.txt")
    if os.path.exists(path):
        setup.update(line.split("=", 1) for line in open(path).read().splitlines() if "=" in line)
    echoes = int(setup["echoes"]) if setup["echoes"].isdigit() else \
        max(len(c.get("echo_s", [])) for r in rounds.values() for c in r.values())
    print("Through ser2net %s on 127.0.0.1 (port %s telnet(rfc2217), port %s raw), each port in"
          " front of a pty pair whose far end echoes. %d rounds, one connection per client per"
          " round, the clients in an order rotated by the round: %d echoes of 64 KiB, then %s"
          " 1 KiB request/reply round trips (pyserial: %s). The library's clients poll for the"
          " reply with SioGets (%s)."
          % (setup["ser2net"], setup["rfc2217_port"], setup["raw_port"], len(rounds), echoes,
             setup["trips"], setup["py_trips"],
             "giving the CPU up with sched_yield when nothing has come"
             if setup["poll"] == "yield" else "spinning"))
    print()

    def per_round(name, fn):
        """fn(result) for every round in which the client ran without error."""
        vals = {}
        for rnd, clients in rounds.items():
            c = clients.get(name)
            if c and not c["error"] and c["echo_s"] and c["trips"]:
                vals[rnd] = fn(c)
        return vals

    echo = {n: per_round(n, lambda c: statistics.median(c["echo_s"])) for n, _ in CLIENTS}
    trip = {n: per_round(n, lambda c: c["trips_s"] / c["trips"]) for n, _ in CLIENTS}
    first = {n: per_round(n, lambda c: c["echo_s"][0]) for n, _ in CLIENTS}
    last = {n: per_round(n, lambda c: c["echo_s"][-1]) for n, _ in CLIENTS}
    opened = {n: per_round(n, lambda c: c["open_s"]) for n, _ in CLIENTS}

    def paired(fig, name):
        rs = [fig[name][r] / fig[FLOOR][r] for r in fig[name] if r in fig[FLOOR]]
        return med(rs)

    rows = []
    for name, port in CLIENTS:
        failed = [r for r, c in rounds.items() if name in c and c[name]["error"]]
        e, t = med(list(echo[name].values())), med(list(trip[name].values()))
        tenth = med([last[name][r] / first[name][r] for r in last[name]])
        rows.append((
            name, port,
            fmt_time(med(list(opened[name].values()))),
            fmt_time(e), ratio(paired(echo, name)) if name != FLOOR else "1",
            "%.0f" % (1 / t) if t else "-", ratio(paired(trip, name)) if name != FLOOR else "1",
            fmt_time(med(list(first[name].values()))), fmt_time(med(list(last[name].values()))),
            ratio(tenth),
            "%d of %d" % (len(failed), len(rounds)) if failed else "0",
        ))
    print_table(("client", "port", "open", "64 KiB echo", "x floor", "1 KiB trips/s",
                 "x floor (time)", "echo #1", "echo #%d" % echoes, "#%d/#1" % echoes,
                 "rounds failed"), rows)

    print()
    print("Each echo of a connection in turn (median over the rounds):")
    print()
    rows = []
    for name, _ in CLIENTS:
        cols = []
        for i in range(echoes):
            v = [c[name]["echo_s"][i] for c in rounds.values()
                 if name in c and len(c[name]["echo_s"]) > i]
            cols.append(fmt_time(med(v)))
        rows.append((name,) + tuple(cols))
    print_table(("client",) + tuple("#%d" % (i + 1) for i in range(echoes)), rows)

    print()
    print("Targets (paired ratios to the floor's time; medians against pyserial):")
    print()
    for label, fig in (("64 KiB echo", echo), ("1 KiB round trip", trip)):
        r = paired(fig, "velk32 rfc2217://")
        if r is not None:
            print("- rfc2217:// %s: %.2fx the floor, target <= %.2fx: %s"
                  % (label, r, TARGET, "met" if r <= TARGET else "missed"))
    for velk, py in RIVALS:
        for label, fig in (("64 KiB echo", echo), ("1 KiB round trip", trip)):
            v, p = med(list(fig[velk].values())), med(list(fig[py].values()))
            if v and p:
                print("- %s vs %s, %s: %.1fx faster, target > 1x: %s"
                      % (velk, py, label, p / v, "met" if p > v else "missed"))
    for name in ("velk32 rfc2217://", "velk32 socket://"):
        t = med([last[name][r] / first[name][r] for r in last[name]])
        if t is not None:
            print("- %s, echo #%d against #1 of a connection: %.2fx, target <= %.2fx"
                  " (no slower, give or take noise): %s"
                  % (name, echoes, t, TENTH_SLACK, "met" if t <= TENTH_SLACK else "missed"))

    if idle:
        sc = count_syscalls(os.path.join(out, "velk-net.strace")) \
            if os.path.exists(os.path.join(out, "velk-net.strace")) else {}
        trip_floor = med(list(trip[FLOOR].values()))
        print()
        print("Calls that must not wait, on an idle rfc2217:// port, in batches of 100 alternating"
              " with the floor's recv(MSG_DONTWAIT) finding nothing on its own connection"
              " (medians over the rounds; system calls per call from strace):")
        print()
        rows = []
        for call in IDLE:
            got = [d[call] for d in idle.values() if call in d]
            if not got:
                continue
            ns = med([g["ns"] for g in got])
            count, detail = describe(sc.get("net:%s (idle rfc2217)" % call))
            rows.append((call, "%.0f ns" % ns, "%.0f ns" % med([g["floor_ns"] for g in got]),
                         ratio(med([g["ratio"] for g in got])),
                         "%.4f" % (ns * 1e-9 / trip_floor) if trip_floor else "-",
                         count or "-", detail or "-"))
        print_table(("call", "per call", "floor's recv()", "x floor (paired)", "in round trips",
                     "syscalls", "which"), rows)
        if trip_floor:
            print()
            print("(\"in round trips\": the call's time over one 1 KiB round trip of the floor,"
                  " %s here: a call that waited for the server would be 1 or more.)"
                  % fmt_time(trip_floor))

    errors = os.path.join(out, "errors.txt")
    if os.path.exists(errors) and os.path.getsize(errors):
        print()
        print("Failures reported by the clients:")
        print()
        for line in open(errors).read().splitlines()[:20]:
            print("    " + line)


if __name__ == "__main__":
    main()
