#!/usr/bin/python3
"""Prints the one benchmark table of scripts/bench.sh from the files it made
in its results folder:

  velk.*.json     velk_bench's Google Benchmark JSON (library and floor),
                  one file per round
  pyserial.*.json pyserial_bench.py's repetitions, one file per round
  velk.strace     strace -f of velk_syscalls
  pyserial.strace strace -f of pyserial_bench.py --syscalls

  callgrind.out   callgrind of velk_syscalls --callgrind (optional)

Times are medians of the repetitions, per iteration of the case (one call, or
64 KiB moved), real (wall-clock) time, with the relative standard deviation of
the repetitions after the sign. Ratios: velk/floor above 1 means the library
is slower than the raw system calls: "paired" is the median ratio of runs in
which the library and the floor alternate on one pty within each iteration
(the steadiest figure under load), then the ratio of the medians, of the best
repetitions ("best": load only ever adds time, so the fastest repetitions are
the closest to the unloaded cost), and of the calling thread's CPU time;
py/velk is how many times faster the library is than pyserial, py/floor the
most any library could be on this machine.

Usage: /usr/bin/python3 bench/report.py RESULTS_DIR
"""
import collections
import glob
import json
import os
import re
import statistics
import sys

# case: label, velk benchmark, floor benchmark (or None), floor's calls,
#       pyserial case (or None), velk syscall section, pyserial syscall section
CASES = [
    ("SioGetc, empty queue", "getc_empty/velk", "poll/fionread", "ioctl(FIONREAD)",
     "getc_empty", "SioGetc (empty)", "getc_empty", "pair/getc_empty/1"),
    ("SioGetc, empty queue", "getc_empty/velk", "poll/inq_outq", "ioctl(TIOCINQ)+ioctl(TIOCOUTQ)",
     None, None, None, "pair/getc_empty/2"),
    ("SioGets 4 KiB, empty queue", "gets_empty/velk", "poll/read_eagain", "read(4 KiB), EAGAIN",
     "gets4k_empty", "SioGets 4 KiB (empty)", "gets4k_empty", "pair/gets_empty"),
    ("SioGetc x 65536 (64 KiB)", "drain_getc/velk", "drain_getc/read", "read(1 B)",
     "drain_getc", "SioGetc (byte waiting)", "getc_byte", "pair/drain/1"),
    ("SioGets 4 KiB x 16", "drain_gets/velk/4096", "drain_gets/read/4096", "read(4 KiB)",
     "drain_gets4k", "SioGets 4 KiB (data waiting)", "gets4k_data", "pair/drain/4096"),
    ("SioPutc x 65536 (64 KiB)", "putc/velk", "put/write_blocking/1", "write(1 B)",
     "putc", "SioPutc", "putc", "pair/send/1"),
    ("SioPuts 1 KiB x 64", "puts/velk/1024", "put/write_blocking/1024", "write(1 KiB)",
     "puts_1k", "SioPuts 1 KiB", "puts_1k", "pair/send/1024"),
    ("SioPuts 64 KiB", "puts/velk/65536", "put/write_blocking/65536", "write(64 KiB), blocking fd",
     "puts_64k", "SioPuts 64 KiB (peer reading)", "puts_64k", "pair/send/65536"),
    ("SioPuts 64 KiB", "puts/velk/65536", "put/write_poll/65536", "write()+poll(), non-blocking fd",
     None, None, None, None),
    ("SioRxQue", "rxque/velk", "poll/fionread", "ioctl(FIONREAD)",
     "rxque", "SioRxQue", "rxque", "pair/rxque"),
    ("SioStatus", "status/velk", "poll/inq_outq", "ioctl(TIOCINQ)+ioctl(TIOCOUTQ)",
     None, "SioStatus", None, "pair/status"),
    ("SioDTR('R')", "dtr_read/velk", None, "-",
     "dtr_read", "SioDTR('R')", "dtr_read", None),
    ("SioInfo('V')", "info_version/velk", None, "-",
     "info_version", "SioInfo('V')", "info_version", None),
    ("SioReset+SioDone", "reset_done/velk", "reset_done/open_tcsetattr_close",
     "open+tcgetattr+tcsetattr+close", "reset_done", "SioReset+SioDone", "reset_done",
     "pair/reset_done"),
]

# Time-ratio targets: library time / floor time at most this.
TARGETS = [
    ("SioGets 4 KiB bulk", "pair/drain/4096", 1 / 0.95, "0.95x the throughput of read()"),
    ("SioPuts 1 KiB bulk", "pair/send/1024", 1 / 0.95, "0.95x the throughput of write()"),
    ("SioPuts 64 KiB bulk", "pair/send/65536", 1 / 0.95, "0.95x the throughput of write()"),
    ("SioGetc, empty queue", "pair/getc_empty/1", 1.1, "within 1.1x of one ioctl(FIONREAD)"),
]

UNIT = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def load_gbench(paths):
    """benchmark name -> (median real seconds, relative stddev, median CPU
    seconds of the calling thread) over the repetitions."""
    real = collections.defaultdict(list)
    cpu = collections.defaultdict(list)
    for b in [b for p in paths for b in json.load(open(p))["benchmarks"]]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        name = b["run_name"].replace("/real_time", "")
        real[name].append(b["real_time"] * UNIT[b["time_unit"]])
        cpu[name].append(b["cpu_time"] * UNIT[b["time_unit"]])
    return {n: (statistics.median(v), rel_sd(v), statistics.median(cpu[n]), min(v))
            for n, v in real.items()}


def load_pairs(paths):
    """paired benchmark name -> (median of the repetitions' ratios, their
    relative standard deviation)."""
    ratios = collections.defaultdict(list)
    for b in [b for p in paths for b in json.load(open(p))["benchmarks"]]:
        if b.get("run_type") == "iteration" and "ratio" in b and not b.get("error_occurred"):
            ratios[b["run_name"].replace("/real_time", "")].append(b["ratio"])
    return {n: (statistics.median(v), rel_sd(v)) for n, v in ratios.items()}


def rel_sd(v):
    return statistics.stdev(v) / statistics.mean(v) if len(v) > 1 else 0.0


def load_pyserial(paths):
    samples = collections.defaultdict(list)
    for p in paths:
        for n, c in json.load(open(p))["cases"].items():
            samples[n].extend(c["samples_s"])
    return {n: (statistics.median(v), rel_sd(v), None, min(v)) for n, v in samples.items()}


LINE = re.compile(r'^(\d+)\s+(?:<\.\.\. (\w+) resumed>|(\w+)\((.*))')


def count_syscalls(path):
    """section -> (calls, Counter of syscall names) from a marked strace -f log.

    Only the main thread is counted (a peer thread's calls are the peer's);
    the marker calls themselves are not counted."""
    sections = collections.defaultdict(lambda: [0, collections.Counter()])
    main = None
    current = None
    with open(path, errors="replace") as f:
        for line in f:
            m = LINE.match(line)
            if not m:
                continue
            pid, resumed, name, args = m.groups()
            if main is None:
                main = pid
            if pid != main or resumed:
                continue
            if name in ("access", "faccessat", "faccessat2") and '"/velk-mark/' in args:
                path_arg = args.split('"')[1]
                if path_arg.startswith("/velk-mark/B/"):
                    current = path_arg[len("/velk-mark/B/"):]
                    sections[current][0] += 1
                else:
                    current = None
                continue
            if current is None:
                continue
            if name == "ioctl":
                parts = [p.strip() for p in args.split(",")]
                request = parts[1].split(")")[0].strip() if len(parts) > 1 else "?"
                # strace names a request number shared by two drivers
                # "A or B"; the tty one is the last.
                name = "ioctl(%s)" % request.split(" or ")[-1]
            sections[current][1][name] += 1
    return sections


def describe(section):
    if section is None:
        return "", ""
    calls, counter = section
    total = sum(counter.values()) / calls
    parts = []
    for name, n in sorted(counter.items(), key=lambda kv: (-kv[1], kv[0])):
        per = n / calls
        parts.append(name if per == 1 else "%s x%s" % (name, fmt_count(per)))
    return fmt_count(total), ", ".join(parts)


def fmt_count(x):
    return ("%.2f" % x).rstrip("0").rstrip(".")


def fmt_time(s):
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return "%.3g %s" % (s / scale, unit) if s / scale < 100 else "%.0f %s" % (s / scale, unit)
    return "%.3g ns" % (s * 1e9) if s * 1e9 < 100 else "%.0f ns" % (s * 1e9)


def timed(m):
    """A median time with its spread (relative standard deviation)."""
    if m is None:
        return "-"
    return "%s ±%.0f%%" % (fmt_time(m[0]), m[1] * 100)


def print_table(head, rows):
    widths = [max(len(str(r[i])) for r in list(rows) + [head]) for i in range(len(head))]
    print("| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |")
    print("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    for r in rows:
        print("| " + " | ".join(str(c).ljust(w) for c, w in zip(r, widths)) + " |")


# velk_syscalls --callgrind makes this many calls of each function.
CALLGRIND_CALLS = 1000
CALLGRIND_PAIRS = [
    ("SioGetc", "floor_inq_outq"),
    ("SioGetc", "floor_fionread"),
    ("SioRxQue", "floor_inq_outq"),
    ("SioStatus", "floor_inq_outq"),
    ("SioGets", "floor_read"),
    ("SioPutc", "floor_write"),
    ("SioDTR", None),
    ("SioInfo", None),
]
CG_LINE = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+\S*:(\w+)(?: \[|$)")


def load_callgrind(path, calls=CALLGRIND_CALLS):
    """function -> inclusive user-space instructions per call."""
    import subprocess
    text = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", path],
                          capture_output=True, text=True, check=True).stdout
    ir = {}
    for line in text.splitlines():
        m = CG_LINE.match(line)
        if not m:
            continue
        count, name = int(m.group(1).replace(",", "")), m.group(2)
        if name.startswith("Sio") or name.startswith("floor_"):
            # A function whose inlined lines come from several files is
            # listed once per file: the largest entry is the whole function.
            ir[name] = max(ir.get(name, 0), count / calls)
    return ir


# Draining bytes that have all arrived, one per call (per byte taken):
# velk_bench's pair/drain_waiting (SioGetc and read(fd, 1) alternating),
# pyserial's drain_waiting (2048 x read(1) per sample), the strace sections
# and callgrind's --callgrind-waiting run (4 drains of 2048 bytes each way).
WAITING = 2048
WAITING_CALLS = 4 * WAITING
WAITING_TARGETS = (20, 50)  # times faster than read(fd, 1) / pyserial read(1)


def print_waiting(out, velk_files, ps, vs):
    pr = None
    per_byte = {}
    for b in [b for p in velk_files for b in json.load(open(p))["benchmarks"]]:
        if b.get("run_type") == "iteration" and not b.get("error_occurred") and \
                b["run_name"].replace("/real_time", "") == "pair/drain_waiting":
            for k in ("velk_ns", "floor_ns", "ratio"):
                per_byte.setdefault(k, []).append(b[k])
    if not per_byte:
        return
    velk_ns = statistics.median(per_byte["velk_ns"])
    floor_ns = statistics.median(per_byte["floor_ns"])
    pr = statistics.median(per_byte["ratio"])
    py = load_pyserial(sorted(glob.glob(os.path.join(out, "pyserial.*.json")))).get("drain_waiting")
    py_ns = py[0] / WAITING * 1e9 if py else None
    print()
    print("Draining %d bytes that have all arrived, one byte per call (per byte taken;"
          " paired: SioGetc and read(fd, 1) alternating on one pty):" % WAITING)
    print()
    rows = [("SioGetc", "%.1f ns" % velk_ns, "-", describe(vs.get("SioGetc (2 KiB waiting)"))[0]),
            ("read(fd, 1)", "%.1f ns" % floor_ns, "%.1fx (paired %.1fx)" % (floor_ns / velk_ns, 1 / pr),
             describe(vs.get("floor:read(1) (2 KiB waiting)"))[0]),
            ("pyserial read(1), timeout=0", "%.1f ns" % py_ns if py_ns else "-",
             "%.1fx" % (py_ns / velk_ns) if py_ns else "-",
             describe(ps.get("pyserial:getc_waiting"))[0])]
    cg = os.path.join(out, "callgrind-waiting.out")
    ir = load_callgrind(cg, WAITING_CALLS) if os.path.exists(cg) else {}
    rows = [r + (fmt_count(ir[f]) if f in ir else "-",) for r, f in
            zip(rows, ("SioGetc", "floor_read", None))]
    print_table(("call", "per byte", "times SioGetc's cost", "syscalls/call", "instructions/call"), rows)
    print()
    print("- SioGetc vs read(fd, 1): %.1fx faster (paired), target >= %dx: %s"
          % (1 / pr, WAITING_TARGETS[0], "met" if 1 / pr >= WAITING_TARGETS[0] else "missed"))
    if py_ns:
        print("- SioGetc vs pyserial read(1): %.1fx faster, target >= %dx: %s"
              % (py_ns / velk_ns, WAITING_TARGETS[1],
                 "met" if py_ns / velk_ns >= WAITING_TARGETS[1] else "missed"))


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "build/bench/results"
    velk_files = sorted(glob.glob(os.path.join(out, "velk.*.json")))
    velk = load_gbench(velk_files)
    pairs = load_pairs(velk_files)
    py = load_pyserial(sorted(glob.glob(os.path.join(out, "pyserial.*.json"))))
    vs = count_syscalls(os.path.join(out, "velk.strace")) \
        if os.path.exists(os.path.join(out, "velk.strace")) else {}
    ps = count_syscalls(os.path.join(out, "pyserial.strace")) \
        if os.path.exists(os.path.join(out, "pyserial.strace")) else {}

    head = ("case", "velk32", "floor", "floor's calls", "velk/floor paired", "medians", "best", "CPU",
            "pyserial", "py/velk", "py/floor", "syscalls velk", "syscalls py")
    rows = []
    for label, vname, fname, fcalls, pname, vsec, psec, pair in CASES:
        v = velk.get(vname)
        pr = pairs.get(pair) if pair else None
        f = velk.get(fname) if fname else None
        p = py.get(pname) if pname else None
        vsys, _ = describe(vs.get(vsec)) if vsec else ("", "")
        psys, _ = describe(ps.get("pyserial:" + psec)) if psec else ("", "")
        rows.append((
            label,
            timed(v),
            timed(f),
            fcalls,
            "%.2fx ±%.0f%%" % (pr[0], pr[1] * 100) if pr else "-",
            "%.2fx" % (v[0] / f[0]) if v and f else "-",
            "%.2fx" % (v[3] / f[3]) if v and f else "-",
            "%.2fx" % (v[2] / f[2]) if v and f and f[2] else "-",
            timed(p),
            "%.1fx" % (p[0] / v[0]) if v and p else "-",
            "%.1fx" % (p[0] / f[0]) if f and p else "-",
            vsys,
            psys,
        ))
    print_table(head, rows)

    print()
    print("Targets (paired ratios; pyserial against the medians):")
    print()
    for label, pair, limit, what in TARGETS:
        pr = pairs.get(pair)
        if not pr:
            continue
        print("- %s: %.2fx, target <= %.2fx (%s): %s"
              % (label, pr[0], limit, what, "met" if pr[0] <= limit else "missed"))
    seen = set()
    for label, vname, fname, _, pname, _, _, _ in CASES:
        v, p = velk.get(vname), py.get(pname) if pname else None
        if not v or not p or pname in seen:
            continue
        seen.add(pname)
        f = velk.get(fname) if fname else None
        ceiling = " (the raw floor: %.2fx)" % (p[0] / f[0]) if f else ""
        print("- %s vs pyserial: %.2fx faster%s, target >= 3x: %s"
              % (label, p[0] / v[0], ceiling, "met" if p[0] / v[0] >= 3 else "missed"))

    cg = os.path.join(out, "callgrind.out")
    if os.path.exists(cg):
        print()
        print("User-space instructions per call (callgrind, %d calls each; the system"
              " calls' time in the kernel is not counted):" % CALLGRIND_CALLS)
        print()
        ir = load_callgrind(cg)
        rows = []
        for call, floor in CALLGRIND_PAIRS:
            a, b = ir.get(call), ir.get(floor) if floor else None
            rows.append((call, fmt_count(a) if a is not None else "-",
                         floor or "-", fmt_count(b) if b is not None else "-",
                         fmt_count(a - b) if a is not None and b is not None else "-"))
        print_table(("library call", "instructions", "floor", "instructions", "added"), rows)

    print_waiting(out, velk_files, ps, vs)

    if vs or ps:
        print()
        print("System calls per call (main thread, averaged over the calls made):")
        print()
        print("| call | count | system calls |")
        print("|---|---|---|")
        for name, sec in list(vs.items()) + sorted(ps.items()):
            total, detail = describe(sec)
            print("| %s | %s | %s |" % (name, total, detail or "none"))


if __name__ == "__main__":
    main()
