#!/usr/bin/env bash
# STUN Binding answers per second and CPU per answer: palvexd's STUN service beside Debian's
# turnserver, in the same run, each loaded by build/bench/stun_load for SECONDS (8 sockets, 16
# requests in flight on each). Inside a namespace of its own (root only; nothing leaves it).
# Usage: sudo bench/stun_bench.sh   (PALVEXD_BIN, SECONDS=5; needs coturn: scripts/install-deps.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DAEMON=$(realpath "${PALVEXD_BIN:-build/palvexd}")
LOAD=$ROOT/build/bench/stun_load
if [[ "${PALVEX_BENCH_INSIDE:-}" != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "stun_bench: needs root (it creates a namespace)" >&2; exit 1; }
  for b in "$DAEMON" "$LOAD"; do
    [[ -x "$b" ]] || { echo "stun_bench: no binary at $b (build first)" >&2; exit 1; }
  done
  command -v turnserver >/dev/null || {
    echo "stun_bench: turnserver missing; run scripts/install-deps.sh" >&2; exit 1; }
  PALVEX_BENCH_INSIDE=1 PALVEXD_BIN=$DAEMON exec "$ROOT/tests/tools/netns-run" bash "$0"
fi
SECONDS_RUN=${SECONDS_RUN:-${SECS:-5}}

cpu_us() {  # the process's CPU time, all threads, in microseconds
  local total=0
  for t in /proc/"$1"/task/*/schedstat; do
    total=$((total + $(cut -d' ' -f1 "$t")))
  done
  echo $((total / 1000))
}

measure() {  # $1 name, $2 pid, $3 address
  sleep 1
  local before after out
  before=$(cpu_us "$2")
  out=$("$LOAD" "$3" 3478 "$SECONDS_RUN" 8 16)
  after=$(cpu_us "$2")
  local answered=${out#answered }
  answered=${answered%% *}
  printf '%-10s %s   CPU %s us per answer\n' "$1" "$out" \
    "$(awk -v c=$((after - before)) -v n="$answered" 'BEGIN { printf "%.2f", n ? c / n : 0 }')"
}

"$DAEMON" --listen 127.0.0.1:60002 --stun 127.0.0.1:3478 --source-rate 0 \
  --source-connections 0 --record /tmp/records.jsonl >/tmp/palvexd.out 2>&1 &
PALVEXD=$!
turnserver -n -S --no-cli --no-tls --no-dtls -L 127.0.0.2 -p 3478 --log-file stdout --simple-log \
  >/dev/null 2>&1 &
TURN=$!
trap 'kill $PALVEXD $TURN 2>/dev/null || true' EXIT
echo "STUN Binding requests, ${SECONDS_RUN} s each, the same load"
measure palvexd "$PALVEXD" 127.0.0.1
measure turnserver "$TURN" 127.0.0.2
