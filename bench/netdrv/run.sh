#!/usr/bin/env bash
# Runs the raw epoll reference echo server and netdrv-echo (the driver behind a
# host-style GetEvent -> Send loop sleeping on the wake handle) side by side
# under the same load generator, on loopback, and prints the ratios. Every
# driver I/O mode named in MODES is measured in the same invocation, each
# against the raw runs interleaved with its own.
#
#   bench/netdrv/run.sh [BUILD_DIR]      (default: build)
#   env: DURATION=3 WARMUP=1 REPEAT=3 PORT_BASE=17400 IDLE=19900 SKIP_IDLE=0 SKIP_ECHO=0
#        MODES="threads host"   threads: the driver's I/O thread (dwDriverParam bits 24..25 = 1)
#                               host: the host thread does the I/O in GetEvent (bits 24..25 = 2)
#
# Needs the targets netdrv-bench (cmake --build BUILD_DIR --target netdrv-bench).
# Every run is bounded: servers stop by themselves after a time limit, the load
# generator has its own watchdog, and each step is wrapped in timeout.
# Pinning follows the reference README: server on core 0, load on core 1.
# Each configuration alternates raw and driver runs (raw, then every mode)
# REPEAT times; the medians are reported, since the machines are shared and
# noisy. Besides packets per second the table shows the server's CPU time per
# packet (its CPU use in the window divided by the packets), which other load
# on the machine disturbs less than the rates; bg_cpu is what the rest of the
# machine used meanwhile.
set -euo pipefail
BUILD=${1:-build}
BIN=$BUILD/bench
DURATION=${DURATION:-3}
WARMUP=${WARMUP:-1}
REPEAT=${REPEAT:-3}
PORT=${PORT_BASE:-17400}
IDLE=${IDLE:-19900}
SKIP_IDLE=${SKIP_IDLE:-0}
MODES=${MODES:-threads host}
for m in $MODES; do
  [[ $m == threads || $m == host ]] || { echo "run.sh: unknown mode '$m' in MODES (threads, host)" >&2; exit 2; }
done
mode_param() { if [[ $1 == host ]]; then echo 0x02000000; else echo 0x01000000; fi; }
PIN0="taskset -c 0"
PIN1="taskset -c 1"
for f in "$BIN/netdrv-echo" "$BIN/anchors/server" "$BIN/anchors/loadgen" "$BIN/anchors/idlehold"; do
  [[ -x $f ]] || { echo "run.sh: missing $f (build the target netdrv-bench)" >&2; exit 1; }
done
ulimit -n "$(ulimit -Hn)"
SERVER_CAP=$((WARMUP + DURATION + 30))   # seconds a server may live
TMP=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$TMP"' EXIT

field() { sed -n "s/.*\"$2\":\([-0-9.]*\).*/\1/p" <<<"$1"; }
median() { sort -g | awk '{a[NR]=$1} END {if (NR==0) print "nan"; else if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {print (b > 0) ? a / b : 0}'; }
# Server CPU microseconds per received packet, from one loadgen JSON line.
cpu_per_packet() {
  awk -v c="$(field "$1" server_cpu_pct)" -v p="$(field "$1" recv_pps)" 'BEGIN {print (p > 0) ? c * 10000 / p : 0}'
}
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$1/status"; }

start_raw() {   # port -> pid in SPID
  $PIN0 "$BIN/anchors/server" -m echo -p "$1" -T "$SERVER_CAP" 2>"$TMP/raw.err" &
  SPID=$!
  sleep 0.3
}
start_drv() {   # port wait-mode io-mode -> pid in SPID
  $PIN0 "$BIN/netdrv-echo" -a 127.0.0.1 -p "$1" -m "$2" -D "$(mode_param "$3")" -T "$SERVER_CAP" \
    >"$TMP/drv.out" 2>"$TMP/drv.err" &
  SPID=$!
  sleep 0.3
}
stop_server() { kill "$SPID" 2>/dev/null || true; wait "$SPID" 2>/dev/null || true; }
load() {        # port n w -> JSON line
  timeout $((WARMUP + DURATION + 60)) $PIN1 "$BIN/anchors/loadgen" -m echo -n "$2" -w "$3" -s 16 \
    -d "$DURATION" -W "$WARMUP" -p "$1" -P "$SPID" -S 4
}

echo "# netdrv echo vs raw epoll echo: 16-byte packets, loopback, ${DURATION}s measured after ${WARMUP}s, median of $REPEAT"
echo "# $(date -u +%FT%TZ) $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-22s %-7s %10s %10s %6s %9s %9s %6s %9s %9s %6s %7s\n' config mode raw_pps drv_pps ratio raw_p50us \
  drv_p50us p50x raw_us/pk drv_us/pk cpu_x bg_cpu
run_config() {  # n w wait-mode label
  local n=$1 w=$2 wait=$3 label=$4 j m
  : >"$TMP/raw.pps"; : >"$TMP/raw.p50"; : >"$TMP/raw.cpp"; : >"$TMP/bg"
  for m in $MODES; do : >"$TMP/$m.pps"; : >"$TMP/$m.p50"; : >"$TMP/$m.cpp"; done
  for ((r = 0; r < REPEAT; r++)); do
    PORT=$((PORT + 1)); start_raw "$PORT"; j=$(load "$PORT" "$n" "$w" || true); stop_server
    echo "raw $label $j" >>"$TMP/all.jsonl"
    field "$j" recv_pps >>"$TMP/raw.pps"; field "$j" p50_us >>"$TMP/raw.p50"; field "$j" bg_cpu_pct >>"$TMP/bg"
    cpu_per_packet "$j" >>"$TMP/raw.cpp"
    for m in $MODES; do
      PORT=$((PORT + 1)); start_drv "$PORT" "$wait" "$m"; j=$(load "$PORT" "$n" "$w" || true); stop_server
      echo "drv-$m $label $j" >>"$TMP/all.jsonl"
      field "$j" recv_pps >>"$TMP/$m.pps"; field "$j" p50_us >>"$TMP/$m.p50"; field "$j" bg_cpu_pct >>"$TMP/bg"
      cpu_per_packet "$j" >>"$TMP/$m.cpp"
    done
  done
  local rp dp r50 d50 rc dc bg
  rp=$(median <"$TMP/raw.pps"); r50=$(median <"$TMP/raw.p50"); rc=$(median <"$TMP/raw.cpp")
  bg=$(median <"$TMP/bg")
  for m in $MODES; do
    dp=$(median <"$TMP/$m.pps"); d50=$(median <"$TMP/$m.p50"); dc=$(median <"$TMP/$m.cpp")
    printf '%-22s %-7s %10.0f %10.0f %6.2f %9.1f %9.1f %6.2f %9.2f %9.2f %6.2f %7s\n' "$label" "$m" "$rp" "$dp" \
      "$(ratio "$dp" "$rp")" "$r50" "$d50" "$(ratio "$d50" "$r50")" "$rc" "$dc" "$(ratio "$dc" "$rc")" "$bg%"
  done
}
if [[ ${SKIP_ECHO:-0} != 1 ]]; then
  run_config 100 16 wake "100 conns x 16"
  run_config 100 1 wake "100 conns x 1"
  run_config 1000 16 wake "1000 conns x 16"
  run_config 1000 1 wake "1000 conns x 1"
  run_config 1 1 wake "1 conn x 1 (wake)"
  run_config 1 1 tick "1 conn x 1 (10ms tick)"
  echo "# load average after the echo runs: $(cut -d' ' -f1-3 /proc/loadavg)"
fi

if [[ $SKIP_IDLE != 1 ]]; then
  echo "# idle connections: idlehold -n $IDLE -P 2 -S 4 against each server (open-file hard limit $(ulimit -Hn))"
  idle_run() {  # raw | threads | host
    local base held rss alive
    PORT=$((PORT + 1))
    if [[ $1 == raw ]]; then start_raw "$PORT"; else start_drv "$PORT" wake "$1"; fi
    base=$(rss_kib "$SPID")
    : >"$TMP/idle.out"
    timeout 120 "$BIN/anchors/idlehold" -n "$IDLE" -P 2 -S 4 -H 12 -p "$PORT" >"$TMP/idle.out" &
    local hpid=$!
    for ((t = 0; t < 100; t++)); do grep -q HOLDING "$TMP/idle.out" && break; sleep 0.2; done
    sleep 1
    rss=$(rss_kib "$SPID")
    held=$(cat "$TMP/idle.out")
    wait "$hpid" || true
    stop_server
    alive=$(sed -n 's/.*alive=\([0-9]*\).*/\1/p' <<<"$held")
    printf '%-7s %s base_rss_kib=%s rss_kib=%s per_conn_bytes=%s\n' "$1" "$held" "$base" "$rss" \
      "$(awk -v r="$rss" -v b="$base" -v n="${alive:-0}" 'BEGIN {print (n > 0) ? int((r - b) * 1024 / n) : "nan"}')"
  }
  idle_run raw
  for m in $MODES; do idle_run "$m"; done
fi
cp "$TMP/all.jsonl" "${RESULTS:-/dev/null}" 2>/dev/null || true
