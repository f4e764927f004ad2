#!/usr/bin/env bash
# Times NAT gradings through the kernel's own NAT, in namespaces of its own (root only; nothing
# leaves them): a device, a router that delays every forwarded packet by DELAY ms one way
# (bench/tools/pkt_delay.c on a netfilter queue, as the kernels here have no netem), and a
# server namespace running palvexd with two addresses and two ports.
#   1. wall time from start to the result line, in round trips, when the dial-backs arrive (a
#      port forward: NAT1), are refused (MASQUERADE, whose router resets them: NAT3) and are
#      dropped (a firewall: NAT3, decided by palvexd's grading timeout);
#   2. palvexd's CPU per grading against a full detection of the default mode, without delay.
# Usage: sudo bench/nat_bench.sh [path/to/palvex]   (PALVEXD_BIN, RUNS=10, CPU_RUNS=300, DELAY=10)
# Needs libnetfilter-queue-dev and nftables: scripts/install-deps.sh --bench
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BIN=$(realpath "${1:-${PALVEX_BIN:-build/palvex}}")
DAEMON=$(realpath "${PALVEXD_BIN:-build/palvexd}")

if [[ "${PALVEX_BENCH_INSIDE:-}" != 1 ]]; then
  [[ $(id -u) -eq 0 ]] || { echo "nat_bench: needs root (it creates namespaces)" >&2; exit 1; }
  for b in "$BIN" "$DAEMON"; do
    [[ -x "$b" ]] || { echo "nat_bench: no binary at $b (build first)" >&2; exit 1; }
  done
  [[ -f /usr/include/libnetfilter_queue/libnetfilter_queue.h ]] || {
    echo "nat_bench: libnetfilter-queue-dev missing; run scripts/install-deps.sh --bench" >&2
    exit 1; }
  PALVEX_BENCH_INSIDE=1 PALVEXD_BIN=$DAEMON exec "$ROOT/tests/tools/netns-run" bash "$0" "$BIN"
fi

WORK=$(mktemp -d)
cc -O2 -o "$WORK/pkt_delay" "$ROOT/bench/tools/pkt_delay.c" -lnetfilter_queue
PALVEX_BIN=$BIN PALVEXD_BIN=$DAEMON PKT_DELAY=$WORK/pkt_delay WORK=$WORK \
  python3 - "${RUNS:-10}" "${CPU_RUNS:-300}" "${DELAY:-10}" <<'EOF'
import json, os, statistics, subprocess, sys, time

sys.path.insert(0, os.path.join(os.getcwd(), "tests", "e2e"))
from test_nat import (FORWARD_ALL, MASQUERADE, OTHER_PORT, PORT, S1, S2, Topology,
                      sh)

runs, cpu_runs, delay = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
BIN, DAEMON, WORK = os.environ["PALVEX_BIN"], os.environ["PALVEXD_BIN"], os.environ["WORK"]
# The firewall of the dropped case: new connections to the router's own ports die unanswered.
DROP_INBOUND = ('chain in { type filter hook input priority 0; '
                'iifname "rs" tcp dport 50000-53000 ct state new drop; }')
os.makedirs("/run/netns", exist_ok=True)
sh("mount", "-t", "tmpfs", "tmpfs", "/run/netns")


def cpu_seconds(pid):
    """palvexd's CPU time to the nanosecond: the scheduler's run time of each of its threads."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def topology(rules, delayed):
    net = Topology(public=False, rules4=rules)
    procs = []
    if delayed:
        # nftables' queue statement needs a module these kernels lack; the legacy target works.
        net.run(net.rtr, "iptables-legacy", "-A", "FORWARD", "-p", "tcp", "-j", "NFQUEUE",
                "--queue-num", "0")
        out = open(os.path.join(WORK, "delay.out"), "w")
        procs.append(subprocess.Popen(["ip", "netns", "exec", net.rtr, os.environ["PKT_DELAY"],
                                       str(delay)], stdout=out))
        while "ready" not in open(os.path.join(WORK, "delay.out")).read():
            time.sleep(0.02)
    # palvexd itself, not the ip command, so that its CPU can be read.
    daemon = subprocess.Popen(["nsenter", f"--net=/run/netns/{net.srv}", DAEMON, "--listen", f"{S1}:{PORT}",
                               "--other-address", S2, "--other-port", str(OTHER_PORT),
                               "--source-rate", "0", "--record", os.path.join(WORK, "rec.jsonl")],
                              stderr=subprocess.DEVNULL)
    procs.append(daemon)
    time.sleep(0.3)
    return net, daemon, procs


def close(net, procs):
    for p in procs:
        p.terminate()
        p.wait()
    net.close()


def run(net, *args):
    start = time.perf_counter()
    out = subprocess.run(["ip", "netns", "exec", net.dev, BIN, *args], capture_output=True,
                         text=True, check=True).stdout
    return (time.perf_counter() - start) * 1000, json.loads(out)


rtt = 2 * delay
print(f"== 1. time to a grade, {delay} ms one way ({rtt} ms round trip), {runs} runs each")
for name, rules, want in (("arrive (NAT1)", MASQUERADE + "\n" + FORWARD_ALL, 1),
                          ("refused (NAT3)", MASQUERADE, 3),
                          ("dropped (NAT3)", MASQUERADE + "\n" + DROP_INBOUND, 3)):
    net, daemon, procs = topology(rules, True)
    times = []
    for _ in range(runs):
        ms, result = run(net, "nat", "-H", S1)
        if result["natType"] != want:
            sys.exit(f"nat_bench: {name}: {result}")
        times.append(ms)
    close(net, procs)
    med = statistics.median(times)
    print(f"{name:<16} median {med:7.1f} ms = {med / rtt:4.1f} round trips"
          f" (or {(med - 1000) / rtt:4.1f} beyond the 1000 ms grading timeout)"
          f"   worst {max(times):7.1f} ms")

print(f"== 2. palvexd CPU per request, no delay, {cpu_runs} runs each")
net, daemon, procs = topology(MASQUERADE + "\n" + FORWARD_ALL, False)
cost = {}
for name, args in (("full detection", ["-H", S1]), ("grading", ["nat", "-H", S1])):
    before = cpu_seconds(daemon.pid)
    for _ in range(cpu_runs):
        run(net, *args)
    cost[name] = (cpu_seconds(daemon.pid) - before) / cpu_runs * 1e6
    print(f"{name:<16} {cost[name]:7.1f} us of palvexd CPU")
close(net, procs)
print(f"grading / detection {cost['grading'] / cost['full detection']:.2f}x   (goal <= 3x)")
EOF
