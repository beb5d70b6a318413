#!/usr/bin/env bash
# The benchmarks: builds velk_bench and velk_syscalls, times the library
# against the raw system calls on a pty pair (repetitions interleaved at
# random), counts each call's system calls under strace and its user-space
# instructions under callgrind, does the same timings and counts with
# pyserial; measures the wake-up latency of a program waiting for a byte
# (velk_wait, velk_port_fd, the raw poll()+read() floor, pyserial's read(1),
# a 1 ms sleep loop) and the cost of an idle wait (bench/velk_wakeup.cpp);
# then measures the network ports through ser2net against a plain TCP client
# and pyserial (scripts/bench-net.sh), and writes the figures to a
# results file (RESULTS, by default build/bench/results.md; never committed)
# headed by the date, the commit, the machine and its load.
# docs/benchmarks.md says how to read it. The raw results stay in
# build/bench/results/ (the network's in build/bench/results/net/). Takes a
# few minutes.
#   bash scripts/bench.sh        full run: ROUNDS=3 rounds of REPS=5 repetitions,
#                                and NET_ROUNDS=7 network rounds
#   ROUNDS=1 REPS=3 MIN_TIME=0.1 NET_ROUNDS=3 WAKE_SAMPLES=300 bash scripts/bench.sh
#                                a quicker, noisier run (WAKE_SAMPLES: wake-up
#                                samples per way and round, default 1000)
#   NET_ONLY=1 bash scripts/bench.sh   the network part alone (about a minute
#                                      on an idle machine)
#   WAKE_ONLY=1 bash scripts/bench.sh  the waiting figures alone: wake-up on a
#                                      pty and through ser2net, the idle wait
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
rounds=${ROUNDS:-3}
reps=${REPS:-5}
min_time=${MIN_TIME:-0.3}
results=${RESULTS:-build/bench/results.md}

net_only=${NET_ONLY:-0}
wake_only=${WAKE_ONLY:-0}
wake=${WAKE_SAMPLES:-1000}

bash scripts/deps.sh build-essential cmake libbenchmark-dev python3 python3-serial strace valgrind \
  ser2net

targets=(velk_net_bench velk_wakeup)
[ "$net_only" = 1 ] || [ "$wake_only" = 1 ] || targets+=(velk_bench velk_syscalls)
cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELK_BUILD_BENCH=ON \
  -DVELK_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j"$jobs" --target "${targets[@]}" >/dev/null
out=build/bench/results
mkdir -p "$out"

if [ "$net_only" != 1 ] && [ "$wake_only" != 1 ]; then
  # The library and the floor run in one program with their repetitions
  # interleaved at random; pyserial runs in rounds between them, so that all
  # three see the same load over the run.
  rm -f "$out"/velk.*.json "$out"/pyserial.*.json
  for round in $(seq 1 "$rounds"); do
    echo "== round $round of $rounds: velk32 and the floor, $reps repetitions interleaved ==" >&2
    build/bench/bench/velk_bench --benchmark_repetitions="$reps" \
      --benchmark_enable_random_interleaving=true --benchmark_min_time="$min_time" \
      --benchmark_color=false --benchmark_out="$out/velk.$round.json" \
      --benchmark_out_format=json >"$out/velk.$round.txt" 2>&1
    echo "== round $round of $rounds: pyserial, $reps repetitions ==" >&2
    /usr/bin/python3 bench/pyserial_bench.py --repetitions "$reps" --min-time "$min_time" \
      --out "$out/pyserial.$round.json" >"$out/pyserial.$round.txt"
  done

  echo "== system calls per call (strace) ==" >&2
  strace -f -qq -o "$out/velk.strace" build/bench/bench/velk_syscalls
  strace -f -qq -o "$out/pyserial.strace" /usr/bin/python3 bench/pyserial_bench.py --syscalls

  echo "== user-space instructions per call (callgrind) ==" >&2
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.out" \
    --toggle-collect='Sio*' --toggle-collect='floor_*' \
    build/bench/bench/velk_syscalls --callgrind 2>"$out/callgrind.log"
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind-waiting.out" \
    --toggle-collect='Sio*' --toggle-collect='floor_*' \
    build/bench/bench/velk_syscalls --callgrind-waiting 2>"$out/callgrind-waiting.log"
fi

if [ "$net_only" != 1 ]; then
  # Waiting: each round the library's ways and the floor (interleaved at
  # random in one run), then pyserial, all on the same kind of peer.
  wakeup=build/bench/bench/velk_wakeup
  rm -f "$out"/wakeup-*.json "$out"/idle-*
  for round in $(seq 1 "$rounds"); do
    echo "== round $round of $rounds: wake-up latency, velk32 and the floor, then pyserial ==" >&2
    "$wakeup" --pty --samples "$wake" --out "$out/wakeup-velk.$round.json"
    /usr/bin/python3 bench/pyserial_wakeup.py --peer-bin "$wakeup" --samples "$wake" \
      --out "$out/wakeup-pyserial.$round.json"
  done
  echo "== an idle wait: CPU time, then its system calls (strace) ==" >&2
  "$wakeup" --idle --out "$out/idle-velk.json"
  /usr/bin/python3 bench/pyserial_wakeup.py --peer-bin "$wakeup" --idle --out "$out/idle-pyserial.json"
  strace -f -qq -o "$out/idle-velk.strace" "$wakeup" --idle --out /dev/null
  strace -f -qq -o "$out/idle-pyserial.strace" /usr/bin/python3 bench/pyserial_wakeup.py \
    --peer-bin "$wakeup" --idle --out /dev/null
fi

NET_WAKE_ONLY=$wake_only bash scripts/bench-net.sh "$out/net" build/bench

mkdir -p "$(dirname "$results")"
{
  echo "# velk32 benchmark results"
  echo
  echo "$(date -u '+%Y-%m-%d %H:%M UTC'), commit $(git describe --always --dirty 2>/dev/null || echo '?'),"
  echo "$(uname -srm), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg) at the end;"
  if [ "$net_only" != 1 ] && [ "$wake_only" != 1 ]; then
    echo "rounds: $rounds, repetitions per round: $reps, minimum time per repetition: ${min_time} s."
    echo
    /usr/bin/python3 bench/report.py "$out"
    echo
  fi
  if [ "$wake_only" != 1 ]; then
    echo "## Network ports through ser2net"
    echo
    /usr/bin/python3 bench/report_net.py "$out/net"
    echo
  fi
  [ "$wake_only" != 1 ] || echo
  echo "## Waiting for a port"
  echo "(wake-up samples per way: $wake per round on the pty, ${NET_WAKE_SAMPLES:-1000} through ser2net)"
  echo
  if [ "$net_only" != 1 ]; then
    /usr/bin/python3 bench/report_wakeup.py "$out" "$out/net"
  else
    /usr/bin/python3 bench/report_wakeup.py "$out/net"
  fi
} >"$results"
cat "$results"
echo "== results written to $results ==" >&2
