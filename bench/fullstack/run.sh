#!/usr/bin/env bash
# Full-stack benchmark: quorvel-host with the example game against qvbot, and
# in the same invocation the raw references (the anchors' single-threaded
# epoll server and loadgen) with the same user count, in-flight count and
# packet size, on the same cores. Prints one table of ratios and figures.
#
#   bench/fullstack/run.sh [options] [BUILD_DIR]        (default BUILD_DIR: build)
#     -n N        users (default 100; a multiple of 4, the raw relay seats rooms of 4)
#     -w W        packets in flight per user in the ping and chat phases (default 16)
#     -d SECONDS  measured seconds of the ping and chat phases (default 5)
#     -W SECONDS  warm-up before each measured window (default 1)
#     -i SECONDS  idle hold (default 10)
#     -c MODE     the database's CommitMode (dbctrl.ini): command (default: one
#                 durable commit per command) or group (one per host poll)
#     -o KEY=VAL  a line for the [QuorvelS] section of QuorvelS.ini (repeatable),
#                 e.g. -o CoalesceRoomState=1
#     -k          keep the staged tree (printed) instead of deleting it
#     -h          this text
#   env: PORT (default 17600: the host listens on PORT, the raw server on PORT+1..),
#        HOST_ARGS (extra quorvel-host arguments, e.g. "--tick-ms 1"), RESULTS (a
#        file that gets every JSON line)
#
# Needs the targets stage (quorvel-host, qvadmin, qvbot) and netdrv-bench (the
# anchors: cmake --build BUILD_DIR --target stage netdrv-bench).
#
# What is compared (same N, W, 18-byte packets: a 2-byte signal and 16 bytes):
#   ping   qvbot ping phase: every user keeps W pings in flight on its game
#          connection; the server's network driver, framework and example game
#          answer each with a pong.     Raw: loadgen -m echo -n N -w W -s 18.
#   chat   qvbot chat phase: every user keeps W chats in flight; the game sends
#          each chat to all four places of the table, the sender included, and
#          a chat is in flight until its own copy is back. Raw: loadgen -m relay,
#          which sends each packet to the other three of the room and counts it
#          in flight until those three have it. Figures are deliveries received
#          per second on both sides (4 per chat here, 3 per packet raw), so the
#          ratio compares delivered packets; the chat delivered to a user is 20
#          bytes (the sender's place is added), the raw one 18.
#   rtt    one user, one ping in flight (qvbot) against loadgen -n 1 -w 1: p50.
#   joins  the setup per user (connect, two logins, two version checks, room
#          list, purchase, join, ready) per second; no raw counterpart.
#   idle   the host's CPU over the idle hold (every user seated and silent but
#          for keep-alives) from /proc/PID/stat, and its VmRSS growth from
#          before the first connection to the end of the hold, per seated user.
# The host has two connections per user (lobby and game), the raw servers one.
set -euo pipefail
N=100 W=16 DUR=5 WARM=1 IDLE=10 KEEP=0 COMMIT=command FRAME_LINES=
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; }
while getopts "n:w:d:W:i:c:o:kh" o; do
  case $o in
    o) [[ $OPTARG == *=* ]] || { echo "run.sh: -o wants KEY=VALUE" >&2; exit 2; }; FRAME_LINES+="$OPTARG"$'\n' ;;
    c) COMMIT=$OPTARG ;;
    n) N=$OPTARG ;; w) W=$OPTARG ;; d) DUR=$OPTARG ;; W) WARM=$OPTARG ;; i) IDLE=$OPTARG ;; k) KEEP=1 ;;
    h) usage; exit 0 ;; *) usage >&2; exit 2 ;;
  esac
done
shift $((OPTIND - 1))
BUILD=${1:-build}
for v in N W; do [[ ${!v} =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: -${v,,} wants a positive number" >&2; exit 2; }; done
for v in DUR WARM IDLE; do [[ ${!v} =~ ^[0-9]+([.][0-9]+)?$ ]] || { echo "run.sh: bad seconds '${!v}'" >&2; exit 2; }; done
[[ $COMMIT == command || $COMMIT == group ]] || { echo "run.sh: -c wants command or group, not '$COMMIT'" >&2; exit 2; }
(( N % 4 == 0 )) || { echo "run.sh: -n $N is not a multiple of 4 (the raw relay seats rooms of 4)" >&2; exit 2; }
STAGE=$BUILD/stage
ANCH=$BUILD/bench/anchors
for f in "$STAGE/bin/quorvel-host" "$STAGE/bin/qvadmin" "$STAGE/bin/qvbot" "$ANCH/server" "$ANCH/loadgen"; do
  [[ -x $f ]] || { echo "run.sh: missing $f (cmake --build $BUILD --target stage netdrv-bench)" >&2; exit 1; }
done
ulimit -n "$(ulimit -Hn)"
NEED=$((2 * N + 64))
(( $(ulimit -n) >= NEED )) || { echo "run.sh: $N users need $NEED open files, the limit is $(ulimit -n)" >&2; exit 1; }
PORT=${PORT:-17600}
KEY=424242
PIN0="taskset -c 0"
PIN1="taskset -c 1"
TMP=$(mktemp -d /tmp/qvfullstack-XXXXXX)
HOSTPID=""
cleanup() {
  [[ -n $HOSTPID ]] && kill "$HOSTPID" 2>/dev/null && wait "$HOSTPID" 2>/dev/null
  if [[ $KEEP == 1 ]]; then echo "# staged tree kept in $TMP" >&2; else rm -rf "$TMP"; fi
}
trap cleanup EXIT

# ---- a private runtime tree ----
cp -a "$STAGE/." "$TMP/"
rm -f "$TMP/Server/QuorvelS.ini" "$TMP/Binaries/ServerBaseConfig.ini"
for d in Server/TLOG Server/Logs Binaries/dbc Binaries/GS/ExampleGame/DB; do rm -rf "${TMP:?}/$d"; mkdir -p "$TMP/$d"; done
ROOMS=$((N / 4 + 1))
# Every fresh connection (a game connection too, until its login moves it into
# its user's session) holds a session, so MaxUser leaves room for the setups
# in progress (qvbot runs 200 at a time) and MaxConnection for two per user.
(( 2 * N + 512 <= 32767 )) || { echo "run.sh: -n $N needs more than the 32767 connections a host serves" >&2; exit 2; }
cat >"$TMP/Server/QuorvelS.ini" <<EOF
[ServerCore]
ServerPort=10
MaxUser=$((N + 256))
MaxConnection=$((2 * N + 512))
[QuorvelS]
RoomCount=$ROOMS
${FRAME_LINES%$'\n'}
EOF
cat >"$TMP/Binaries/ServerBaseConfig.ini" <<EOF
[ServerCore]
ServerIPBase=127.0.0.1
ServerPortBase=$((PORT - 10))
EOF
ADMIN=("$TMP/bin/qvadmin" --dbc "$TMP/Binaries/dbc" --game-db "$TMP/Binaries/GS/ExampleGame/DB")
"${ADMIN[@]}" user add --prefix bot --count "$N" --key "$KEY" --gold 1000000 >"$TMP/users.log" ||
  { echo "run.sh: qvadmin user add failed:" >&2; tail -5 "$TMP/users.log" >&2; exit 1; }
# qvadmin wrote dbctrl.ini with every key at its default.
INI=$TMP/Binaries/dbc/dbctrl.ini
sed -i "s/^CommitMode=.*/CommitMode=$COMMIT/" "$INI"
grep -q "^CommitMode=$COMMIT" "$INI" || printf 'CommitMode=%s\n' "$COMMIT" >>"$INI"

start_host() {
  (cd "$TMP/Server" && exec $PIN0 "$TMP/bin/quorvel-host" --config QuorvelS.ini --no-console ${HOST_ARGS:-}) \
    >"$TMP/host.log" 2>&1 &
  HOSTPID=$!
  for ((t = 0; t < 200; t++)); do
    if grep -q "服务启动 完成" "$TMP/host.log" 2>/dev/null; then
      [[ $COMMIT == command ]] || grep -q "数据库分组提交" "$TMP/host.log" ||
        { echo "run.sh: the host does not commit in groups:" >&2; grep -a "数据库" "$TMP/host.log" >&2; exit 1; }
      return 0
    fi
    kill -0 "$HOSTPID" 2>/dev/null || break
    sleep 0.1
  done
  echo "run.sh: the host did not start:" >&2; tail -20 "$TMP/host.log" >&2; exit 1
}
stop_host() { kill "$HOSTPID" 2>/dev/null || true; wait "$HOSTPID" 2>/dev/null || true; HOSTPID=""; }
field() { sed -n "s/.*\"$2\":\([-0-9.e+]*\).*/\1/p" <<<"$1"; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {print (b > 0) ? sprintf("%.3f", a / b) : "nan"}'; }
qvbot() {   # JSON-FILE ARGS... (the bot's summary goes to TMP/qvbot.out)
  local json=$1; shift
  timeout 900 $PIN1 "$TMP/bin/qvbot" --port "$PORT" --key "$KEY" --body-bytes 16 --json "$json" "$@" \
    >>"$TMP/qvbot.out" 2>>"$TMP/qvbot.err" || { echo "run.sh: qvbot failed (exit $?):" >&2; tail -30 "$TMP/qvbot.out" >&2; tail -5 "$TMP/qvbot.err" >&2; exit 1; }
}
RAWPORT=$((PORT + 1))
raw() {     # mode n w -> loadgen JSON line
  local mode=$1 n=$2 w=$3 spid j
  RAWPORT=$((RAWPORT + 1))
  $PIN0 "$ANCH/server" -m "$mode" -p "$RAWPORT" -T "$(awk -v d="$DUR" -v w="$WARM" 'BEGIN {print int(d + w + 60)}')" \
    2>>"$TMP/raw.err" &
  spid=$!
  sleep 0.3
  j=$(timeout 300 $PIN1 "$ANCH/loadgen" -m "$mode" -n "$n" -w "$w" -s 18 -d "$DUR" -W "$WARM" -p "$RAWPORT" \
        -P "$spid" -S 4 2>>"$TMP/raw.err" || true)
  kill "$spid" 2>/dev/null || true; wait "$spid" 2>/dev/null || true
  echo "$j"
}

echo "# full stack vs raw: $N users, $W in flight, 18-byte packets, ${DUR}s measured after ${WARM}s, idle ${IDLE}s, CommitMode=$COMMIT $(tr '\n' ' ' <<<"$FRAME_LINES")"
echo "# $(date -u +%FT%TZ) $(nproc) cores, load average before: $(cut -d' ' -f1-3 /proc/loadavg)"

# ---- the framework ----
start_host
qvbot "$TMP/big.json" --count "$N" --phases ping,chat,idle --inflight "$W" --ping-seconds "$DUR" \
  --chat-seconds "$DUR" --idle-seconds "$IDLE" --warmup-seconds "$WARM" --server-pid "$HOSTPID"
qvbot "$TMP/one.json" --count 1 --phases ping --inflight 1 --ping-seconds "$DUR" --warmup-seconds "$WARM" \
  --server-pid "$HOSTPID"
stop_host
BIG=$(cat "$TMP/big.json"); ONE=$(cat "$TMP/one.json")

# ---- the raw references, same load ----
RECHO=$(raw echo "$N" "$W"); RRELAY=$(raw relay "$N" "$W"); RONE=$(raw echo 1 1)
# A raw run that failed (loadgen gives up when its connections or rooms are
# not up within its own deadlines) leaves its figures out; the rest still stands.
[[ -n $RECHO && -n $RRELAY && -n $RONE ]] || { echo "run.sh: a raw run failed (its ratios show nan):" >&2; grep loadgen "$TMP/raw.err" >&2; }
LOADAFTER=$(cut -d' ' -f1-3 /proc/loadavg)
if [[ -n ${RESULTS:-} ]]; then
  { echo "qvbot $BIG"; echo "qvbot-1 $ONE"; echo "raw-echo $RECHO"; echo "raw-relay $RRELAY"; echo "raw-1 $RONE"; } >"$RESULTS"
fi

ping=$(field "$BIG" ping_per_sec); rping=$(field "$RECHO" recv_pps)
chat=$(field "$BIG" chatrecv_per_sec); rchat=$(field "$RRELAY" recv_pps)
p50=$(awk -v m="$(field "$ONE" ping_p50_ms)" 'BEGIN {print m * 1000}'); rp50=$(field "$RONE" p50_us)
pp50=$(awk -v m="$(field "$BIG" ping_p50_ms)" 'BEGIN {print m * 1000}'); rpp50=$(field "$RECHO" p50_us)
printf '%-34s %14s %14s %8s\n' figure quorvel raw ratio
printf '%-34s %14.0f %14.0f %8s\n' "ping: replies/s ($N x $W)" "$ping" "$rping" "$(ratio "$ping" "$rping")"
printf '%-34s %14.1f %14.1f %8s\n' "ping: p50 us ($N x $W)" "$pp50" "$rpp50" "$(ratio "$pp50" "$rpp50")"
printf '%-34s %14.0f %14.0f %8s\n' "chat: deliveries/s ($N x $W)" "$chat" "$rchat" "$(ratio "$chat" "$rchat")"
printf '%-34s %14.1f %14.1f %8s\n' "round trip p50 us (1 x 1)" "$p50" "$rp50" "$(ratio "$p50" "$rp50")"
printf '%-34s %14s %14s %8s\n' "server CPU % in ping window" "$(field "$BIG" server_cpu_pct_ping)" \
  "$(field "$RECHO" server_cpu_pct)" ""
printf '%-34s %14s %14s %8s\n' "qvbot / loadgen CPU % (ping)" "$(field "$BIG" qvbot_cpu_pct_ping)" \
  "$(field "$RECHO" loadgen_cpu_pct)" ""
printf '%-34s %14s\n' "joins/s (setup of $N users)" "$(field "$BIG" join_per_sec)"
printf '%-34s %14s\n' "join p50 / p99 ms" "$(field "$BIG" join_p50_ms) / $(field "$BIG" join_p99_ms)"
printf '%-34s %14s\n' "idle: host CPU % over ${IDLE}s" "$(field "$BIG" server_cpu_pct_idle)"
printf '%-34s %14s\n' "idle: host RSS KiB before / after" \
  "$(field "$BIG" server_rss_kib_before) / $(field "$BIG" server_rss_kib_idle_end)"
printf '%-34s %14s\n' "idle: host RSS bytes per user" "$(field "$BIG" server_rss_per_user_bytes_idle_end)"
printf '%-34s %14s\n' "failed users (qvbot)" "$(field "$BIG" failed_users)"
echo "# load average after: $LOADAFTER; raw bg_cpu% echo $(field "$RECHO" bg_cpu_pct), relay $(field "$RRELAY" bg_cpu_pct)"
