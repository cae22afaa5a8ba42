# shellcheck shell=bash disable=SC2154,SC2034  # $bin and $seconds come from the script that sources it, which reads what it sets
# Sourced by bench/misbehave and bench/attack: a work folder cleaned up at exit, the port a
# bridge says it listens on, and veyra-host pointed at a bridge with its peak memory and CPU
# watched. Needs $bin (the build's bin folder) and $seconds (how long the host runs).

work=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# listening_port FILE: the port of the bridge whose output goes to FILE, once it says
# "listening on 127.0.0.1:PORT"; waits up to 10 s (a bridge may have work to do first).
listening_port() {
  local port _
  for _ in $(seq 200); do
    port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$1")
    [ -n "$port" ] && { echo "$port"; return 0; }
    sleep 0.05
  done
  return 1
}

# watch_host PORT EVENTS LOG: veyra-host with the plugin (from BENCH_PLUGIN_DIR if set) against
# the bridge on PORT for $seconds, under a 3 GB address-space cap, so that a bridge that could
# exhaust memory ends that run, not the machine. Sets host_peak_kb (VmHWM) and host_cpu_ticks
# (user + system, in clock ticks).
watch_host() {
  prlimit --as=3000000000 "$bin/veyra-host" ${BENCH_PLUGIN_DIR:+--plugins "$BENCH_PLUGIN_DIR"} \
    --server-port "$1" --events --timer-unit-ms 10 --run-for "$seconds" >"$2" 2>"$3" &
  local host=$! kb used
  pids+=("$host")
  host_peak_kb=0 host_cpu_ticks=0
  # Read until the host is gone.
  while kill -0 "$host" 2>/dev/null; do
    kb=$(awk '/^VmHWM:/ {print $2}' "/proc/$host/status" 2>/dev/null || true)
    [ -n "$kb" ] && [ "$kb" -gt "$host_peak_kb" ] && host_peak_kb=$kb
    used=$(awk '{print $14 + $15}' "/proc/$host/stat" 2>/dev/null || true)
    [ -n "$used" ] && host_cpu_ticks=$used
    sleep 0.1
  done
  wait "$host" 2>/dev/null || true
}
