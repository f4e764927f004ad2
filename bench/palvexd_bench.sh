#!/usr/bin/env bash
# palvexd under load (a benchmark, not a test), inside a network namespace of its own (root only;
# nothing leaves it). The load generator build/bench/palvexd_load plays devices on loopback from
# 40 source addresses (127.0.0.2-41); each connects from its listening port, sends a request,
# reads the reply and takes the dial-back frame.
#   1. the most full detections a second with --workers 2 (closed loop, 100 devices in flight),
#      with p50/p99 latency from connect to dial-back frame, palvexd's CPU and peak RSS;
#   2. p50/p99 latency at half the rate reached in step 1, and at 5,000 a second (half the 10,000
#      aimed at) when step 1 reached 10,000 (open loop);
#   3. palvexd's RSS holding 10,000 idle client connections;
#   4. the location table: load time of 1,000,000 lines and lookups a second;
#   5. the Python test helper (tests/e2e/detect_server.py) under the same generator, as baseline;
#   6. against the floor (build/bench/floor_server: one epoll thread doing only the protocol's
#      work): CPU per request for locate-only requests and full detections at the same fixed
#      rate, palvexd with one and with two workers, in interleaved rounds, and memory per idle
#      connection; printed as palvexd's ratio to the floor.
# Usage: bench/palvexd_bench.sh [build dir]   (default: build; as root)
# The machine's other load shows in the figures: the generator shares its cores with palvexd.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(realpath "${1:-build}")
DURATION=${DURATION:-10}

if [[ "${PALVEX_BENCH_INSIDE:-}" != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "palvexd_bench: needs root (it creates a namespace)" >&2; exit 1; }
  for f in palvexd bench/palvexd_load bench/location_table_bench bench/floor_server; do
    [[ -x "$BUILD/$f" ]] || { echo "palvexd_bench: $BUILD/$f missing (build first)" >&2; exit 1; }
  done
  PALVEX_BENCH_INSIDE=1 exec "$ROOT/tests/tools/netns-run" bash "$0" "$BUILD"
fi

# Inside the namespace from here on: every address is local, /tmp is private.
ulimit -n "$(ulimit -Hn)"
LOAD="$BUILD/bench/palvexd_load"
SOURCES=127.0.0.2-41
PID=

ticks() { awk '{print $14 + $15}' "/proc/$1/stat"; }
status() { awk -v k="$2:" '$1 == k {print $2}' "/proc/$1/status"; }
value() { sed -n "s/^$1=//p" <<<"$2"; }

start_server() {  # args: port, then the server command
  local port=$1
  shift
  "$@" >/tmp/server.out 2>&1 &
  PID=$!
  for _ in $(seq 200); do
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then return 0; fi
    sleep 0.05
  done
  echo "palvexd_bench: server did not start: $*" >&2
  cat /tmp/server.out >&2
  exit 1
}
stop_server() { kill "$PID" 2>/dev/null || true; wait "$PID" 2>/dev/null || true; PID=; }
trap stop_server EXIT

# run NAME ARGS...: the generator against port 60002; prints its figures and the server's CPU.
run() {
  local name=$1
  shift
  local t0 t1 w0 w1 out cpu
  t0=$(ticks "$PID")
  w0=$(date +%s.%N)
  out=$("$LOAD" --server "127.0.0.1:${PORT}" --sources "$SOURCES" "$@")
  w1=$(date +%s.%N)
  t1=$(ticks "$PID")
  RATE=$(value detections_per_s "$out")
  # Server CPU over the whole run (warm-up included), per detection of the measured part.
  cpu=$(awk -v d="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" -v w0="$w0" -v w1="$w1" \
    -v r="$RATE" 'BEGIN { w = w1 - w0; printf "%.0f%% of a core, %.0f us/detection", 100 * d / hz / w,
                          (r ? 1e6 * d / hz / w / r : 0) }')
  printf '%-30s %7s/s   p50 %6s ms   p99 %6s ms   failed %s   server CPU %s\n' "$name" "$RATE" \
    "$(value p50_ms "$out")" "$(value p99_ms "$out")" \
    "$(($(value failed_listen "$out") + $(value failed_connect "$out") + \
        $(value failed_request "$out") + $(value failed_timeout "$out")))" "$cpu"
}

echo "palvexd benchmark, $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"
echo
# FLOOR_ONLY=1: only the comparison with the floor (step 6).
if [[ ${FLOOR_ONLY:-0} != 1 ]]; then

PORT=60002
start_server 60002 "$BUILD/palvexd" --workers 2 --listen 127.0.0.1:60002 \
  --source-connections 0 --source-rate 0 --max-connections 20000 --max-dialbacks 4096 \
  --record /tmp/records.jsonl
run "palvexd, workers 2, max" --threads 2 --concurrency 100 --duration "$DURATION" --warmup 1
MAX=${RATE:-0}
# Half of what this run reached, and half the 10,000/s aimed at when the run reached that: an
# open-loop rate above what the shared cores give at the moment only measures the overload.
if ((MAX >= 10000)); then
  run "palvexd, 5000/s" --threads 2 --rate 5000 --duration "$DURATION" --warmup 1
fi
if ((MAX / 2 > 0)); then
  run "palvexd, half of max ($((MAX / 2))/s)" --threads 2 --rate "$((MAX / 2))" \
    --duration "$DURATION" --warmup 1
fi
echo "palvexd peak RSS                $(status "$PID" VmHWM) kB   records written $(wc -l </tmp/records.jsonl)"
stop_server

start_server 60002 "$BUILD/palvexd" --workers 2 --listen 127.0.0.1:60002 \
  --source-connections 0 --source-rate 0 --max-connections 20000 --read-timeout 600000 \
  --record /tmp/records.jsonl
base_rss=$(status "$PID" VmRSS)
"$LOAD" --server 127.0.0.1:60002 --sources "$SOURCES" --threads 1 --idle 10000 --duration 6 \
  --warmup 0 >/tmp/idle.out &
IDLE=$!
sleep 4
held_rss=$(status "$PID" VmRSS)
wait "$IDLE"
echo "palvexd RSS, 10,000 idle        $held_rss kB (at rest $base_rss kB; $(value idle_open "$(cat /tmp/idle.out)") connections opened)"
stop_server

echo
"$BUILD/bench/location_table_bench" --benchmark_format=console 2>/dev/null |
  awk '/^BM_/ {print "table " $0}'

echo
PORT=60003
start_server 60003 python3 "$ROOT/tests/e2e/detect_server.py" --port 60003 --no-v6 \
  --bind4 127.0.0.1 --step-ms 0
run "Python helper (baseline)" --threads 1 --concurrency 50 --duration 5 --warmup 1
echo "Python helper peak RSS          $(status "$PID" VmHWM) kB"
stop_server
fi

echo
# ---- against the floor
FLOOR_RATE=${FLOOR_RATE:-3000}
ROUNDS=${ROUNDS:-3}
PORT=60004
# cpu_per_request SERVER KIND: server CPU in us per request at FLOOR_RATE, over one run.
cpu_per_request() {
  local kind=$1 t0 t1 out done_
  t0=$(ticks "$PID")
  # One generator thread: with two, four busy threads share the two cores and the figures show
  # the scheduler rather than the server.
  out=$("$LOAD" --server "127.0.0.1:$PORT" --sources "$SOURCES" --threads 1 --rate "$FLOOR_RATE" \
    --duration 6 --warmup 0 $kind)
  t1=$(ticks "$PID")
  done_=$(awk -v r="$(value detections_per_s "$out")" 'BEGIN { printf "%.0f", r * 6 }')
  awk -v d="$((t1 - t0))" -v hz="$(getconf CLK_TCK)" -v n="$done_" \
    'BEGIN { printf "%.1f", n ? 1e6 * d / hz / n : 0 }'
}
start_floor() { start_server "$PORT" "$BUILD/bench/floor_server" 127.0.0.1 "$PORT"; }
start_palvexd() {
  start_server "$PORT" "$BUILD/palvexd" --workers "$1" --listen "127.0.0.1:$PORT" \
    --source-connections 0 --source-rate 0 --max-connections 20000 --max-dialbacks 4096 \
    --read-timeout 600000 --record /tmp/records.jsonl
}
declare -A SUM
for round in $(seq "$ROUNDS"); do
  for server in floor palvexd1 palvexd2; do
    case $server in
      floor) start_floor ;;
      palvexd1) start_palvexd 1 ;;
      palvexd2) start_palvexd 2 ;;
    esac
    for kind in --locate ""; do
      us=$(cpu_per_request "$kind")
      key="$server${kind:-full}"
      SUM[$key]=$(awk -v a="${SUM[$key]:-0}" -v b="$us" 'BEGIN { print a + b }')
    done
    stop_server
  done
done
avg() { awk -v s="${SUM[$1]}" -v n="$ROUNDS" 'BEGIN { printf "%.1f", s / n }'; }
ratio() { awk -v a="$(avg "$1")" -v b="$(avg "$2")" 'BEGIN { printf "%.2f", b ? a / b : 0 }'; }
printf 'CPU per request at %s/s, mean of %s rounds (us):\n' "$FLOOR_RATE" "$ROUNDS"
printf '  %-18s floor %6s   palvexd 1 worker %6s (%sx)   2 workers %6s (%sx)\n' \
  "locate-only" "$(avg floor--locate)" "$(avg palvexd1--locate)" \
  "$(ratio palvexd1--locate floor--locate)" "$(avg palvexd2--locate)" \
  "$(ratio palvexd2--locate floor--locate)"
printf '  %-18s floor %6s   palvexd 1 worker %6s (%sx)   2 workers %6s (%sx)\n' \
  "full detection" "$(avg floorfull)" "$(avg palvexd1full)" "$(ratio palvexd1full floorfull)" \
  "$(avg palvexd2full)" "$(ratio palvexd2full floorfull)"

# idle_kib: KiB of resident memory each of 10,000 idle connections adds to the server.
idle_kib() {
  local before after
  before=$(status "$PID" VmRSS)
  "$LOAD" --server "127.0.0.1:$PORT" --sources "$SOURCES" --threads 1 --idle 10000 --duration 5 \
    --warmup 0 >/dev/null &
  local gen=$!
  sleep 3.5
  after=$(status "$PID" VmRSS)
  wait "$gen"
  awk -v a="$after" -v b="$before" 'BEGIN { printf "%.2f", (a - b) / 10000 }'
}
start_floor
floor_idle=$(idle_kib)
stop_server
start_palvexd 1
palvexd_idle=$(idle_kib)
stop_server
printf 'memory per idle connection: floor %s KiB, palvexd %s KiB\n' "$floor_idle" "$palvexd_idle"
