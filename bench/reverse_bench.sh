#!/usr/bin/env bash
# Times the default mode against palvexd, the project's detection service, inside a network
# namespace of its own (root only; nothing leaves the namespace):
#   - 50 successful detections: median and worst wall time from process start to the JSON line;
#   - the same number of bare TCP connects to the same server (`nc -z`) as the baseline;
#   - the footprint: file size and peak RSS of `palvex ping -c 1` and of one detection, against
#     the peak RSS of `nc -z` measured in the same run; given an aarch64 build as well, the same
#     for it under qemu-user, against Debian's aarch64 nc.
# Usage: sudo bench/reverse_bench.sh [path/to/palvex [path/to/aarch64/palvex]]
#        (default: build/palvex; the aarch64 part needs `scripts/stage-target.sh arm64`)
#        The service is PALVEXD_BIN, by default build/palvexd.
# Needs netcat-openbsd and time: scripts/install-deps.sh --bench
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN=$(realpath "${1:-${PALVEX_BIN:-build/palvex}}")
DAEMON=$(realpath "${PALVEXD_BIN:-build/palvexd}")
ARM_BIN=${2:+$(realpath "$2")}
ARM_STAGING=${PALVEX_STAGING_DIR:-$ROOT/staging/arm64}
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
  if [[ -n "$ARM_BIN" ]]; then
    if [[ ! -x "$ARM_STAGING/bin/nc.openbsd" ]] || ! command -v qemu-aarch64-static >/dev/null; then
      echo "reverse_bench: no aarch64 nc or qemu; run scripts/stage-target.sh arm64" >&2
      exit 1
    fi
  fi
  PALVEX_BENCH_INSIDE=1 PALVEXD_BIN=$DAEMON exec "$ROOT/tests/tools/netns-run" bash "$0" "$BIN" \
    ${ARM_BIN:+"$ARM_BIN"}
fi

# Inside the namespace from here on: every address is local, /tmp is private.
SERVER_ADDR=192.0.2.11  # a backup address of list "1" in the default table; any address works
# The other address and port let the footprint include a whole NAT grading.
"$DAEMON" --record /tmp/records.jsonl --source-rate 0 --other-address 100.128.0.22 \
  --other-port 60003 --stun "$SERVER_ADDR:3478" >/tmp/server.out 2>&1 &
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

# The footprint. Peak RSS is the largest of 5 runs. On the host it is the kernel's high-water
# mark (/usr/bin/time). Under qemu-user that mark is mostly the emulator itself, so the guest's
# own memory is counted instead: qemu keeps the guest in an address range of its own (-B, -R),
# and the resident pages of the mappings in that range are sampled until the program ends.
python3 - "$BIN" "$SERVER_ADDR" "${ARM_BIN:-}" "$ARM_STAGING" <<'EOF'
import os, re, shutil, subprocess, sys, tempfile

bin_path, server, arm_bin, staging = sys.argv[1:5]
GUEST_BASE, GUEST_SIZE = 0x200000000000, 0x1000000000
PING = ["ping", "-H", server, "-P", "60002", "-c", "1"]
DETECT = ["-t", "2000"]
GRADE = ["nat", "-t", "2000"]
GRADE_UDP = ["nat", "-u", "-t", "2000"]
NC = ["-z", server, "60002"]

def host_peak(cmd):
    peak = 0
    for _ in range(5):
        out = subprocess.run(["/usr/bin/time", "-f", "%M"] + cmd, stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, text=True, check=True).stderr
        peak = max(peak, int(out.split()[-1]))
    return peak

def guest_rss(pid):
    total, inside = 0, False
    with open(f"/proc/{pid}/smaps") as f:
        for line in f:
            m = re.match(r"([0-9a-f]+)-[0-9a-f]+ ", line)
            if m:
                inside = GUEST_BASE <= int(m.group(1), 16) < GUEST_BASE + GUEST_SIZE
            elif inside and line.startswith("Rss:"):
                total += int(line.split()[1])
    return total

def guest_peak(cmd):
    """(guest peak, whole emulator peak) in KiB."""
    qemu = ["qemu-aarch64-static", "-B", hex(GUEST_BASE), "-R", hex(GUEST_SIZE),
            "-L", "/usr/aarch64-linux-gnu", "-E",
            f"LD_LIBRARY_PATH={staging}/usr/lib/aarch64-linux-gnu"]
    peak = 0
    for _ in range(5):
        proc = subprocess.Popen(qemu + cmd, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        while proc.poll() is None:
            try:
                peak = max(peak, guest_rss(proc.pid))
            except (OSError, ValueError):
                break  # ended between the check and the read
        if proc.wait() != 0:
            sys.exit(f"reverse_bench: {cmd} failed under qemu")
    return peak, host_peak(qemu + cmd)

def stripped_size(path, strip):
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "stripped")
        subprocess.run([strip, "-o", out, path], check=True)
        return os.path.getsize(out)

def fully_static(path):
    dynamic = subprocess.run(["readelf", "-d", path], capture_output=True, text=True).stdout
    return "NEEDED" not in dynamic

def report(name, path, strip, ping, detect, grade, grade_udp, nc, note=""):
    stripped = stripped_size(path, strip)
    print(f"{name:<8} file {os.path.getsize(path)} B, stripped {stripped} B "
          f"({stripped / 2**20:.2f} MiB), {'fully static' if fully_static(path) else 'dynamic'}"
          + (note(stripped) if note else ""))
    met = ping < nc and detect < nc and grade < nc and grade_udp < nc
    print(f"{'':<8} peak RSS: ping -c 1 {ping} KiB, detection {detect} KiB, grading {grade} KiB"
          f" (udp {grade_udp} KiB), nc -z {nc} KiB"
          f" -> below nc -z: {'met' if met else 'NOT met'}")

print("\n== footprint (peak RSS: the largest of 5 runs)")
report("host", bin_path, "strip", host_peak([bin_path] + PING), host_peak([bin_path] + DETECT),
       host_peak([bin_path] + GRADE), host_peak([bin_path] + GRADE_UDP),
       host_peak([shutil.which("nc")] + NC))
if arm_bin:
    (ping, ping_all), (detect, detect_all), (grade, grade_all), (udp, _), (nc, nc_all) = (
        guest_peak([arm_bin] + PING), guest_peak([arm_bin] + DETECT),
        guest_peak([arm_bin] + GRADE), guest_peak([arm_bin] + GRADE_UDP),
        guest_peak([f"{staging}/bin/nc.openbsd"] + NC))
    report("aarch64", arm_bin, "aarch64-linux-gnu-strip", ping, detect, grade, udp, nc,
           lambda size: f"; stripped <= 1.6 MB: {'met' if size <= 1_600_000 else 'NOT met'}")
    print(f"{'':<8} (the guest's memory under qemu-user; the whole emulator peaked at "
          f"{ping_all}, {detect_all}, {grade_all} and {nc_all} KiB)")
EOF
