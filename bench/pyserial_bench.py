#!/usr/bin/python3
"""The velk32 benchmark cases done with pyserial, the library a Python user
would pick instead, on the same kind of pty pair (slave end in raw mode as the
port, master end as the peer).

  /usr/bin/python3 bench/pyserial_bench.py [--repetitions N] [--out FILE.json]
      times every case and writes {case: median seconds per iteration}.
  /usr/bin/python3 bench/pyserial_bench.py --syscalls
      makes each call once between marker system calls, for strace to count
      (the same markers as velk_syscalls: access("/velk-mark/B/<case>") before
      and access("/velk-mark/E") after).

The port is opened as a polling program opens it: Serial(path, 19200,
timeout=0), so reads never wait, writes wait until the data is taken. The
peer that feeds or drains the master end is a child process, so that it does
not compete with the measured code for the interpreter lock.

Needs Debian's python3-serial (pyserial 3.5): run it with /usr/bin/python3.
"""
import argparse
import json
import os
import signal
import statistics
import sys
import time
import tty

import serial

TRANSFER = 64 * 1024


class Pty:
    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        self.peer = None

    def _start(self, source):
        self.stop_peer()
        pid = os.fork()
        if pid == 0:
            import select
            buf = b"x" * 65536
            while True:
                try:
                    if source:
                        os.write(self.master, buf)
                    else:
                        os.read(self.master, 65536)
                except BlockingIOError:
                    select.select([] if source else [self.master],
                                  [self.master] if source else [], [], 0.02)
        self.peer = pid

    def start_source(self):
        self._start(True)

    def start_sink(self):
        self._start(False)

    def stop_peer(self):
        if self.peer:
            os.kill(self.peer, signal.SIGKILL)
            os.waitpid(self.peer, 0)
            self.peer = None

    def close(self):
        self.stop_peer()
        os.close(self.slave)
        os.close(self.master)


def open_port(pty):
    return serial.Serial(pty.path, 19200, timeout=0)


# Each case: (setup(pty) -> state, body(state) run once per iteration,
# teardown(state)). The iteration of a transfer case moves 64 KiB.

def case_getc_empty(pty):
    s = open_port(pty)
    return s, lambda: s.read(1)


def case_gets4k_empty(pty):
    s = open_port(pty)
    return s, lambda: s.read(4096)


def case_drain_getc(pty):
    s = open_port(pty)
    pty.start_source()

    def body():
        got = 0
        while got < TRANSFER:
            got += len(s.read(1))
    return s, body


def case_drain_gets4k(pty):
    s = open_port(pty)
    pty.start_source()

    def body():
        got = 0
        while got < TRANSFER:
            got += len(s.read(min(4096, TRANSFER - got)))
    return s, body


def case_putc(pty):
    s = open_port(pty)
    pty.start_sink()
    byte = b"y"

    def body():
        for _ in range(TRANSFER):
            s.write(byte)
    return s, body


def make_puts(block):
    def case(pty):
        s = open_port(pty)
        pty.start_sink()
        data = b"y" * block

        def body():
            for _ in range(TRANSFER // block):
                s.write(data)
        return s, body
    return case


def case_rxque(pty):
    s = open_port(pty)
    return s, lambda: s.in_waiting


def case_dtr_read(pty):
    s = open_port(pty)
    return s, lambda: s.dtr


def case_info_version(pty):
    return None, lambda: serial.__version__


def case_reset_done(pty):
    def body():
        s = serial.Serial(pty.path, 19200, timeout=0)
        s.close()
    return None, body


CASES = {
    "getc_empty": case_getc_empty,
    "gets4k_empty": case_gets4k_empty,
    "drain_getc": case_drain_getc,
    "drain_gets4k": case_drain_gets4k,
    "putc": case_putc,
    "puts_1k": make_puts(1024),
    "puts_64k": make_puts(65536),
    "rxque": case_rxque,
    "dtr_read": case_dtr_read,
    "info_version": case_info_version,
    "reset_done": case_reset_done,
    "drain_waiting": None,  # time_waiting
}
# What each case does in pyserial, for the table.
CALLS = {
    "getc_empty": "read(1), timeout=0",
    "gets4k_empty": "read(4096), timeout=0",
    "drain_getc": "read(1) x 65536",
    "drain_gets4k": "read(4096) x 16",
    "putc": "write(1 B) x 65536",
    "puts_1k": "write(1 KiB) x 64",
    "puts_64k": "write(64 KiB)",
    "rxque": "in_waiting",
    "dtr_read": "dtr (getter)",
    "info_version": "serial.__version__",
    "reset_done": "Serial(...) + close()",
    "drain_waiting": "read(1) x 2048, all waiting",
}


def time_case(name, reps, min_time):
    """Median seconds per iteration over reps repetitions of min_time each."""
    pty = Pty()
    port, body = CASES[name](pty)
    try:
        body()  # warm up, and size the repetitions
        n = 1
        while True:
            t0 = time.perf_counter()
            for _ in range(n):
                body()
            dt = time.perf_counter() - t0
            if dt >= min_time / 4 or n >= 1 << 24:
                break
            n *= 4
        per_rep = max(1, int(n * min_time / max(dt, 1e-9)))
        samples = []
        for _ in range(reps):
            t0 = time.perf_counter()
            for _ in range(per_rep):
                body()
            samples.append((time.perf_counter() - t0) / per_rep)
        return statistics.median(samples), samples
    finally:
        if port is not None:
            port.close()
        pty.close()


WAITING = 2048


def fill_waiting(pty, s):
    """Sends WAITING bytes from the peer and waits until all have arrived."""
    data = b"w" * WAITING
    sent = 0
    while sent < WAITING:
        try:
            sent += os.write(pty.master, data[sent:])
        except BlockingIOError:
            time.sleep(0.0005)
    while s.in_waiting < WAITING:
        time.sleep(0.0005)


def time_waiting(reps, min_time):
    """Seconds to drain WAITING bytes that have all arrived with read(1),
    timing only the reads: median over reps repetitions of min_time each."""
    pty = Pty()
    s = open_port(pty)
    try:
        samples = []
        for _ in range(reps):
            spent, drains = 0.0, 0
            while spent < min_time or drains < 3:
                fill_waiting(pty, s)
                t0 = time.perf_counter()
                got = 0
                while got < WAITING:
                    got += len(s.read(1))
                spent += time.perf_counter() - t0
                drains += 1
            samples.append(spent / drains)
        return statistics.median(samples), samples
    finally:
        s.close()
        pty.close()


def count_syscalls():
    mark = lambda p: os.access(p, os.F_OK)
    pty = Pty()
    os.set_blocking(pty.slave, False)

    def fenced(name, fn, calls=50):
        for _ in range(calls):
            mark("/velk-mark/B/pyserial:" + name)
            fn()
            mark("/velk-mark/E")

    fenced("reset_done", lambda: serial.Serial(pty.path, 19200, timeout=0).close(), 10)
    s = open_port(pty)
    fenced("getc_empty", lambda: s.read(1))
    for _ in range(50):
        os.write(pty.master, b"a")
        while s.in_waiting < 1:
            time.sleep(0.001)
        fenced("getc_byte", lambda: s.read(1), 1)
    for _ in range(50):
        os.write(pty.master, b"a" * 4096)
        deadline = time.monotonic() + 2
        while s.in_waiting < 4095 and time.monotonic() < deadline:
            time.sleep(0.001)
        fenced("gets4k_data", lambda: s.read(4096), 1)
        s.reset_input_buffer()
    for _ in range(2):
        fill_waiting(pty, s)
        fenced("getc_waiting", lambda: s.read(1), WAITING)
    fenced("gets4k_empty", lambda: s.read(4096))
    fenced("putc", lambda: s.write(b"p"))
    drain(pty)
    for _ in range(50):
        fenced("puts_1k", lambda: s.write(b"q" * 1024), 1)
        drain(pty)
    pty.start_sink()
    fenced("puts_64k", lambda: s.write(b"r" * 65536), 20)
    pty.stop_peer()
    fenced("rxque", lambda: s.in_waiting)
    fenced("dtr_read", lambda: s.dtr)
    fenced("info_version", lambda: serial.__version__)
    s.close()
    pty.close()


def drain(pty):
    import select
    while select.select([pty.master], [], [], 0.005)[0]:
        try:
            os.read(pty.master, 65536)
        except BlockingIOError:
            break


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--repetitions", type=int, default=5)
    ap.add_argument("--min-time", type=float, default=0.2,
                    help="seconds per repetition")
    ap.add_argument("--out", help="write the medians here as JSON")
    ap.add_argument("--syscalls", action="store_true",
                    help="make each call between markers for strace")
    ap.add_argument("cases", nargs="*", help="only these cases")
    args = ap.parse_args()
    if args.syscalls:
        count_syscalls()
        return
    result = {"pyserial": serial.__version__, "python": sys.version.split()[0],
              "cases": {}}
    for name in args.cases or CASES:
        if name == "drain_waiting":
            median, samples = time_waiting(args.repetitions, args.min_time)
        else:
            median, samples = time_case(name, args.repetitions, args.min_time)
        spread = (max(samples) - min(samples)) / median if median else 0
        result["cases"][name] = {"median_s": median, "samples_s": samples,
                                 "call": CALLS[name]}
        print(f"{name:14s} {median * 1e9:14.1f} ns  (spread {spread * 100:.0f}%)",
              flush=True)
    if args.out:
        with open(args.out, "w") as f:
            json.dump(result, f, indent=1)


if __name__ == "__main__":
    main()
