#!/usr/bin/env bash
# Times the default mode against palvexd, the project's detection service, inside a network namespace of
# its own (root only; nothing leaves the namespace):
#   - 50 successful detections: median and worst wall time from process start to the JSON line;
#   - the same number of bare TCP connects to the same server (`nc -z`) as the baseline;
#   - peak RSS of a detection (`/usr/bin/time -v`).
# Usage: sudo bench/reverse_bench.sh [path/to/palvex]   (default: build/palvex)
# Needs netcat-openbsd and time: scripts/install-deps.sh --bench
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN=$(realpath "${1:-${PALVEX_BIN:-build/palvex}}")
DAEMON=$(dirname "$BIN")/palvexd
RUNS=${RUNS:-50}

if [[ "${PALVEX_BENCH_INSIDE:-}" != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "reverse_bench: needs root (it creates a namespace)" >&2; exit 1; }
  for b in "$BIN" "$DAEMON"; do
    [[ -x "$b" ]] || { echo "reverse_bench: no binary at $b (build first)" >&2; exit 1; }
  done
  for tool in nc /usr/bin/time python3; do
    command -v "$tool" >/dev/null || {
      echo "reverse_bench: $tool missing; run scripts/install-deps.sh --bench" >&2; exit 1; }
  done
  PALVEX_BENCH_INSIDE=1 exec "$ROOT/tests/tools/netns-run" bash "$0" "$BIN"
fi

# Inside the namespace from here on: every address is local, /tmp is private.
SERVER_ADDR=192.0.2.11  # a backup address of list "1" in the default table; any address works
"$DAEMON" --record /tmp/records.jsonl --source-rate 0 >/tmp/server.out 2>&1 &
SERVER_PID=$!
trap 'kill $SERVER_PID 2>/dev/null || true' EXIT
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/60002) 2>/dev/null && break; sleep 0.05; done
(exec 3<>/dev/tcp/127.0.0.1/60002) 2>/dev/null || {
  echo "reverse_bench: palvexd did not start" >&2; cat /tmp/server.out >&2; exit 1; }

python3 - "$BIN" "$RUNS" "$SERVER_ADDR" <<'EOF'
import json, statistics, subprocess, sys, time

bin_path, runs, server = sys.argv[1], int(sys.argv[2]), sys.argv[3]

def timed(cmd, want_line):
    start = time.perf_counter()
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = proc.stdout.readline() if want_line else b""
    if not want_line:
        proc.wait()
    elapsed = time.perf_counter() - start
    proc.stdout.read()
    rc = proc.wait()
    return elapsed * 1000.0, rc, line

detect, connect = [], []
for i in range(runs):
    # Interleaved, so both see the same machine load.
    ms, rc, line = timed([bin_path, "-t", "2000"], True)
    record = json.loads(line)
    if rc != 0 or record.get("p2pReverse") != 1:
        sys.exit(f"reverse_bench: run {i} did not succeed: rc={rc} {line!r}")
    detect.append(ms)
    ms, rc, _ = timed(["nc", "-z", server, "60002"], False)
    if rc != 0:
        sys.exit(f"reverse_bench: nc -z failed (rc={rc})")
    connect.append(ms)

def show(name, xs):
    print(f"{name:<22} median {statistics.median(xs):7.2f} ms   worst {max(xs):7.2f} ms"
          f"   best {min(xs):7.2f} ms")

print(f"{runs} runs each, interleaved")
show("palvex detection", detect)
show("nc -z bare connect", connect)
ratio = statistics.median(detect) / statistics.median(connect)
print(f"median ratio           {ratio:.2f}x   (target <= 2.0x)")
EOF

# Peak RSS: the largest of a few runs, beside nc's for scale (the shared C library alone
# accounts for well over 1 MiB of either).
peak_rss() {
  local peak=0 kb
  for _ in 1 2 3 4 5; do
    kb=$(/usr/bin/time -v "$@" 2>&1 >/dev/null |
      awk -F: '/Maximum resident set size/ {gsub(/ /, "", $2); print $2}')
    if ((kb > peak)); then peak=$kb; fi
  done
  echo "$peak"
}
palvex_kb=$(peak_rss "$BIN" -t 2000)
nc_kb=$(peak_rss nc -z "$SERVER_ADDR" 60002)
awk -v kb="$palvex_kb" -v nc="$nc_kb" 'BEGIN {
  printf "peak RSS palvex        %d KiB (%.2f MiB, target < 2 MiB)\n", kb, kb / 1024
  printf "peak RSS nc -z         %d KiB (%.2f MiB)\n", nc, nc / 1024 }'
