# Sourced by the conformance runners: a socat pty pair standing in for two
# serial ports joined by a null-modem cable, and the hang-up on request.
#
# pty_pair_start DIR   starts socat with the two ends linked as DIR/com1 and
#                      DIR/com2; sets PTY_A and PTY_B (the /dev/pts paths)
#                      and SOCAT_PID.
# hangup_watch_start F stops socat (the peer hangs up) once file F appears,
#                      for up to 150 s; sets WATCH_PID.
# pty_pair_stop        stops the watcher and socat, if still running.

pty_pair_start() {
  local dir=$1
  socat pty,raw,echo=0,link="$dir/com1" pty,raw,echo=0,link="$dir/com2" 2>"$dir/socat.log" &
  SOCAT_PID=$!
  local _
  for _ in $(seq 100); do
    [ -e "$dir/com1" ] && [ -e "$dir/com2" ] && break
    kill -0 "$SOCAT_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -e "$dir/com1" ] || [ ! -e "$dir/com2" ]; then
    echo "socat did not make the pty pair:" >&2
    cat "$dir/socat.log" >&2
    return 1
  fi
  PTY_A=$(readlink -f "$dir/com1")
  PTY_B=$(readlink -f "$dir/com2")
}

hangup_watch_start() {
  local request=$1 pid=$SOCAT_PID
  (
    for _ in $(seq 3000); do
      if [ -e "$request" ]; then kill "$pid" 2>/dev/null; exit 0; fi
      sleep 0.05
    done
  ) &
  WATCH_PID=$!
}

pty_pair_stop() {
  if [ -n "${WATCH_PID:-}" ]; then
    kill "$WATCH_PID" 2>/dev/null || true
    wait "$WATCH_PID" 2>/dev/null || true
    WATCH_PID=""
  fi
  if [ -n "${SOCAT_PID:-}" ]; then
    kill "$SOCAT_PID" 2>/dev/null || true
    wait "$SOCAT_PID" 2>/dev/null || true
    SOCAT_PID=""
  fi
}
