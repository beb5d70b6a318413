#!/usr/bin/env bash
# The network part of scripts/bench.sh: the rfc2217:// and socket:// ports
# measured through ser2net against a plain TCP client and pyserial. Starts,
# in a temporary folder and in the foreground, two echoing pty pairs
# (velk_net_bench --echo) and a ser2net on 127.0.0.1 with a config written
# there: one telnet(rfc2217) port and one raw TCP port, each in front of one
# pair. Then runs NET_ROUNDS rounds, each one velk_net_bench run (velk32 on
# both ports and the floor) and one bench/pyserial_net_bench.py run (pyserial
# on both ports), and a strace of the idle calls; stops everything it started
# on the way out. Then the wake-up latency on rfc2217:// (velk_wakeup --net
# and bench/pyserial_wakeup.py, each behind ports of its own whose ptys the
# peers make at connection time). The system's own ser2net service is
# neither used nor touched. Raw results go to OUT (the first argument);
# bench/report_net.py and bench/report_wakeup.py turn them into tables.
#   bash scripts/bench-net.sh OUT BENCH_BUILD_DIR
# Knobs: NET_ROUNDS (default 7), NET_ECHOES (64 KiB echoes per connection,
# default 10), NET_TRIPS (1 KiB round trips per connection, default 200;
# pyserial makes NET_PY_TRIPS, default 50: its socket:// waits out a delayed
# ACK on every one), NET_POLL (how the library's clients poll for a reply:
# yield, the default, or spin), NET_WAKE_SAMPLES (wake-up samples of each
# way, default 1000).
set -euo pipefail
out=$1
bin=$2/bench/velk_net_bench
wake_bin=$2/bench/velk_wakeup
wake_samples=${NET_WAKE_SAMPLES:-1000}
rounds=${NET_ROUNDS:-7}
echoes=${NET_ECHOES:-10}
trips=${NET_TRIPS:-200}
py_trips=${NET_PY_TRIPS:-50}
poll=${NET_POLL:-yield}

mkdir -p "$out"
: >"$out/errors.txt"
tmp=$(mktemp -d /tmp/velk-bench-net.XXXXXX)
pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do
    kill "$pid" 2>/dev/null || true
  done
  for pid in "${pids[@]}"; do
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$tmp"
}
trap stop_all EXIT

# Free TCP ports on 127.0.0.1 (asked of the kernel, then let go): the echo
# pairs' two, and three for the wake-up peers (whose connections send each
# byte on at once: ser2net's chardelay, which waits a few character times
# for more, would otherwise be most of what is measured).
read -r rfc_port raw_port wake_rfc_port wake_raw_port wake_py_port < <(/usr/bin/python3 - <<'EOF'
import socket
s = [socket.socket() for _ in range(5)]
for x in s:
    x.bind(("127.0.0.1", 0))
print(*(x.getsockname()[1] for x in s))
EOF
)

listening() {  # listening PORT: is something listening on 127.0.0.1:PORT?
  local hex
  hex=$(printf '%04X' "$1")
  grep -q "^ *[0-9]*: 0100007F:$hex 00000000:0000 0A" /proc/net/tcp
}

for name in rfc raw; do
  "$bin" --echo "$tmp/tty-$name" >"$tmp/echo-$name.log" 2>&1 &
  pids+=($!)
done
cat >"$tmp/ser2net.yaml" <<EOF
%YAML 1.1
---
connection: &bench-rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$rfc_port
  connector: serialdev,$tmp/tty-rfc,9600n81,local
connection: &bench-raw
  accepter: tcp,127.0.0.1,$raw_port
  connector: serialdev,$tmp/tty-raw,9600n81,local
connection: &wake-rfc2217
  accepter: telnet(rfc2217),tcp,127.0.0.1,$wake_rfc_port
  connector: serialdev,$tmp/tty-wake-rfc,115200n81,local
  options:
    chardelay: false
connection: &wake-raw
  accepter: tcp,127.0.0.1,$wake_raw_port
  connector: serialdev,$tmp/tty-wake-raw,115200n81,local
  options:
    chardelay: false
connection: &wake-pyserial
  accepter: telnet(rfc2217),tcp,127.0.0.1,$wake_py_port
  connector: serialdev,$tmp/tty-wake-py,115200n81,local
  options:
    chardelay: false
EOF
for _ in $(seq 100); do
  [ -L "$tmp/tty-rfc" ] && [ -L "$tmp/tty-raw" ] && break
  sleep 0.05
done
ser2net -n -u -P "$tmp/ser2net.pid" -c "$tmp/ser2net.yaml" >"$tmp/ser2net.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  listening "$rfc_port" && listening "$raw_port" && break
  sleep 0.05
done
if ! listening "$rfc_port" || ! listening "$raw_port"; then
  echo "ser2net did not start listening on 127.0.0.1:$rfc_port and :$raw_port:" >&2
  cat "$tmp/ser2net.log" >&2
  exit 1
fi
cat >"$out/setup.txt" <<EOF
ser2net=$(ser2net -v 2>&1 | awk '{print $NF; exit}')
rfc2217_port=$rfc_port
raw_port=$raw_port
poll=$poll
echoes=$echoes
trips=$trips
py_trips=$py_trips
EOF

rm -f "$out"/velk-net.*.json "$out"/pyserial-net.*.json
# NET_WAKE_ONLY=1 (bench.sh's WAKE_ONLY): the wake-up figures alone.
[ "${NET_WAKE_ONLY:-0}" = 1 ] && rounds=0
for round in $(seq 1 "$rounds"); do
  echo "== network round $round of $rounds: velk32 and the floor, then pyserial ==" >&2
  "$bin" --rfc2217 "$rfc_port" --raw "$raw_port" --round "$round" --echoes "$echoes" \
    --trips "$trips" --poll "$poll" --out "$out/velk-net.$round.json" 2>>"$out/errors.txt" || true
  /usr/bin/python3 bench/pyserial_net_bench.py --rfc2217 "$rfc_port" --raw "$raw_port" \
    --round "$round" --echoes "$echoes" --trips "$py_trips" \
    --out "$out/pyserial-net.$round.json" 2>>"$out/errors.txt" || true
done
if [ "$rounds" != 0 ]; then
  echo "== network: system calls of the idle calls (strace) ==" >&2
  strace -f -qq -o "$out/velk-net.strace" "$bin" --syscalls --rfc2217 "$rfc_port" ||
    echo "velk_net_bench --syscalls failed" >>"$out/errors.txt"
fi

echo "== network: wake-up latency on rfc2217:// (velk32's ways and the raw port's floor, then pyserial) ==" >&2
rm -f "$out"/wakeup-*.json
"$wake_bin" --net --rfc2217 "$wake_rfc_port" --raw "$wake_raw_port" --link-rfc "$tmp/tty-wake-rfc" \
  --link-raw "$tmp/tty-wake-raw" --samples "$wake_samples" --out "$out/wakeup-velk.json" 2>>"$out/errors.txt" ||
  echo "velk_wakeup --net failed" >>"$out/errors.txt"
/usr/bin/python3 bench/pyserial_wakeup.py --peer-bin "$wake_bin" --rfc2217 "$wake_py_port" \
  --link "$tmp/tty-wake-py" --samples "$wake_samples" --out "$out/wakeup-pyserial.json" 2>>"$out/errors.txt" ||
  echo "pyserial_wakeup.py --rfc2217 failed" >>"$out/errors.txt"
