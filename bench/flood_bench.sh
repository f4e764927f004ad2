#!/usr/bin/env bash
# Four devices that flood their dial-backs against everybody else: palvexd (two workers) serves
# FLOODERS devices that, each time they are dialled back, write into the connection as fast as
# they can and then ask again, while DETECTIONS well-behaved devices (CONCURRENCY at a time) each
# run a full detection: request, reply, dial-back frame. Prints the share of detections whose
# frame came within 1 s and their latency percentiles. Inside a namespace of its own (root only;
# nothing leaves it). Usage: sudo bench/flood_bench.sh   (PALVEXD_BIN, FLOODERS=4,
# DETECTIONS=1000, CONCURRENCY=8)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
DAEMON=$(realpath "${PALVEXD_BIN:-build/palvexd}")
if [[ "${PALVEX_BENCH_INSIDE:-}" != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "flood_bench: needs root (it creates a namespace)" >&2; exit 1; }
  [[ -x "$DAEMON" ]] || { echo "flood_bench: no binary at $DAEMON (build first)" >&2; exit 1; }
  PALVEX_BENCH_INSIDE=1 PALVEXD_BIN=$DAEMON exec "$ROOT/tests/tools/netns-run" bash "$0"
fi

"$DAEMON" --workers 2 --source-rate 0 --source-connections 0 --record /tmp/records.jsonl \
  >/tmp/server.out 2>&1 &
trap 'kill $! 2>/dev/null || true' EXIT
sleep 0.3
python3 - "${FLOODERS:-4}" "${DETECTIONS:-1000}" "${CONCURRENCY:-8}" <<'EOF'
import socket, statistics, struct, sys, threading, time
from concurrent.futures import ThreadPoolExecutor

flooders, detections, concurrency = map(int, sys.argv[1:4])
SERVICE = ("100.128.0.1", 60002)
stop = threading.Event()
flooded = [0]

def device(address):
    """A listening socket and a request socket from its port, as palvex makes them."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    listener.bind((address, 0))
    listener.listen(4)
    ask = socket.socket()
    ask.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
    ask.bind(listener.getsockname())
    return listener, ask

def flood(index):
    chunk = b"x" * 65536
    while not stop.is_set():
        listener, ask = device(f"10.66.0.{index}")
        listener.settimeout(5)
        try:
            ask.connect(SERVICE)
            ask.sendall(struct.pack(">HI", 1, 5) + b"flood")
            conn, _ = listener.accept()
            while not stop.is_set():
                conn.sendall(chunk)
                flooded[0] += len(chunk)
        except OSError:
            pass
        finally:
            for s in (listener, ask):
                s.close()

def detect(i):
    listener, ask = device(f"10.67.{i // 250}.{i % 250 + 1}")
    listener.settimeout(5)
    start = time.perf_counter()
    try:
        ask.connect(SERVICE)
        ask.sendall(struct.pack(">HI", 1, 6) + b"device")
        ask.recv(100)
        conn, _ = listener.accept()
        conn.settimeout(5)
        header = conn.recv(6)
        if len(header) < 6:
            return None
        conn.close()
        return time.perf_counter() - start
    except OSError:
        return None
    finally:
        listener.close()
        ask.close()

threads = [threading.Thread(target=flood, args=(i + 1,), daemon=True) for i in range(flooders)]
for t in threads:
    t.start()
time.sleep(1)  # the floods are on
with ThreadPoolExecutor(concurrency) as pool:
    times = list(pool.map(detect, range(detections)))
stop.set()
done = sorted(t for t in times if t is not None)
within = sum(1 for t in done if t <= 1.0)
q = statistics.quantiles(done, n=100) if len(done) > 1 else [0] * 99
print(f"{flooders} flooding devices ({flooded[0] / 2**20:.0f} MiB written into their dial-backs),"
      f" {detections} detections, {concurrency} at a time")
print(f"answered within 1 s: {within}/{detections} = {100 * within / detections:.1f} %"
      f"   (goal >= 95 %)")
print(f"latency p50 {1000 * q[49]:.1f} ms, p99 {1000 * q[98]:.1f} ms, worst {1000 * done[-1]:.1f} ms"
      f"   (goal p99 < 100 ms)")
EOF
