#!/usr/bin/env python3
"""End-to-end tests of `palvex ping`: the real binary against real sockets.

Everything runs inside fresh network and mount namespaces (tests/tools/netns-run): only `lo`
exists and every address is local to it, so a port without a listener refuses at once. Inside,
the test bind-mounts its own /etc/hosts and /etc/resolv.conf (no name server answers), drops
every packet to one address with iptables (a silent target) and routes one range to
"unreachable". Output lines are compared byte for byte; only connect times and local ports are
patterns.

Environment: PALVEX_BIN (the binary), PALVEX_EMULATOR (runs a cross-built binary, optional),
PALVEX_NETNS_RUN (the namespace wrapper).
"""

import os
import queue
import re
import select
import shlex
import signal
import socket
import subprocess
import tempfile
import threading
import time
import unittest

import harness

BIN = os.environ.get("PALVEX_BIN", "")
EMULATOR = shlex.split(os.environ.get("PALVEX_EMULATOR", ""))  # runs a cross-built binary

SILENT_V4 = "192.0.2.9"  # every packet to it is dropped
UNREACHABLE_V4 = "198.51.100.7"  # its range routes to "unreachable"
REFUSED_PORT = 9  # nothing listens on it in the namespace
NAME_V4 = "target.palvex.test"
NAME_V6 = "target6.palvex.test"
NAME_V6_ONLY = "v6only.palvex.test"  # has an IPv6 entry only
NAME_UNKNOWN = "nothere.palvex.test"  # in no table; the name server refuses

HOSTS = f"""127.0.0.1 localhost
::1 localhost
127.0.0.1 {NAME_V4}
::1 {NAME_V6}
2001:db8::5 {NAME_V6_ONLY}
"""
RESOLV = "nameserver 127.0.0.1\noptions attempts:1 timeout:1\n"

# Patterns inside expected lines: connect time and local port.
T = "<t>"
LP = "<lp>"
RUN_TIMEOUT = 20  # seconds; far above any case's duration


def sh(*cmd):
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)


def setUpModule():
    if not BIN or not os.access(BIN, os.X_OK):
        raise RuntimeError(f"PALVEX_BIN does not name an executable: {BIN!r}")
    harness.require()  # the mounts below are for the test namespace only
    # /tmp is a private tmpfs here; the bind mounts live in this mount namespace only.
    tmp = tempfile.mkdtemp(prefix="ping-e2e-")
    for text, target in ((HOSTS, "/etc/hosts"), (RESOLV, "/etc/resolv.conf")):
        path = os.path.join(tmp, os.path.basename(target))
        with open(path, "w") as f:
            f.write(text)
        sh("mount", "--bind", path, target)
    sh("iptables-legacy", "-A", "OUTPUT", "-d", SILENT_V4, "-p", "tcp", "-j", "DROP")
    # The local table holds the any-address route, so the unreachable route must go there too.
    sh("ip", "route", "add", "unreachable", "198.51.100.0/24", "table", "local")


class Listener:
    """A listening socket; the kernel completes handshakes into its backlog, nothing accepts."""

    def __init__(self, host="127.0.0.1"):
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.bind((host, 0))
        self.sock.listen(128)
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class PingRun:
    """A running `palvex ping`; its stdout lines are collected as they arrive."""

    def __init__(self, args, prefix=()):
        self.launched = time.monotonic()  # surely before the first attempt
        self.proc = subprocess.Popen([*EMULATOR, BIN, *prefix, "ping", *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = []  # (arrival time, line)
        self._queue = queue.Queue()
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in iter(self.proc.stdout.readline, b""):
            self._queue.put((time.monotonic(), raw.decode()))
        self._queue.put(None)

    def next_line(self, timeout=RUN_TIMEOUT):
        item = self._queue.get(timeout=timeout)
        if item is not None:
            self.lines.append(item)
        return item

    def wait_for(self, text, timeout=RUN_TIMEOUT):
        """Collects lines until one starts with `text`; returns that line."""
        deadline = time.monotonic() + timeout
        while True:
            item = self.next_line(max(0.0, deadline - time.monotonic()))
            if item is None:
                raise AssertionError(f"output ended before {text!r}: {self.lines}")
            if item[1].startswith(text):
                return item[1]

    def finish(self, timeout=RUN_TIMEOUT):
        """Waits for the end; returns (exit code, whole stdout, whole stderr)."""
        try:
            rc = self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise
        while self.next_line() is not None:
            pass
        err = self.proc.stderr.read().decode()
        self.proc.stdout.close()
        self.proc.stderr.close()
        return rc, "".join(line for _, line in self.lines), err


def run_ping(args, prefix=(), timeout=RUN_TIMEOUT):
    return PingRun(args, prefix).finish(timeout)


def line_regex(template):
    return (re.escape(template).replace(T, r"(\d+)").replace(LP, r"([1-9]\d*)"))


def connecting(target, port, name=None):
    if name is None:
        return [f"Connecting to {target} on {port}:\n", "\n"]
    return [f"Connecting to {name} [{target}] on {port}:\n", "\n"]


def success(local, target, port, nic=""):
    return f"Connect success: {nic} ({local}:{LP} => {target}:{port}) time={T}ms\n"


def failure(local, target, port, code, err=0, nic="", local_port=None):
    lp = LP if local_port is None else str(local_port)
    return f"Connect failed:  {nic} ({local}:{lp} => {target}:{port}) code={code} errno={err}\n"


def statistics(attempted, connected, percent, times=None):
    failed = attempted - connected
    if times is None:
        times_line = "\tMinimum = 4294967295ms, Maximum = 0ms, Average = 0ms\n"
    else:
        times_line = f"\tMinimum = {T}ms, Maximum = {T}ms, Average = {T}ms\n"
    return ["\n", "Connection statistics:\n",
            f"\tAttempted = {attempted}, Connected = {connected}, Failed = {failed} ({percent}%)\n",
            "Approximate connection times:\n", times_line]


class PingTestCase(unittest.TestCase):
    maxDiff = None

    def assertLines(self, out, templates):
        """Matches `out` line by line; returns the numbers the patterns captured, per line."""
        lines = out.splitlines(keepends=True)
        self.assertEqual(len(lines), len(templates), f"output:\n{out}")
        captured = []
        for got, want in zip(lines, templates):
            m = re.fullmatch(line_regex(want), got)
            self.assertIsNotNone(m, f"\n got: {got!r}\nwant: {want!r}\noutput:\n{out}")
            captured.append([int(g) for g in m.groups()])
        return captured

    def assertStatistics(self, captured, success_rows):
        """The minimum/maximum/average line agrees with the success lines' times."""
        times = [captured[i][-1] for i in success_rows]
        self.assertEqual(captured[-1], [min(times), max(times), sum(times) // len(times)])

    def assertCleanRun(self, rc, err):
        self.assertEqual(rc, 0)
        self.assertEqual(err, "")


class NumericHostTest(PingTestCase):
    def test_all_attempts_connect(self):
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-c", "3",
                                     "-i", "150"])
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("127.0.0.1", srv.port)
                               + [success("127.0.0.1", "127.0.0.1", srv.port)] * 3
                               + statistics(3, 3, "0.00", times=True))
        self.assertStatistics(cap, [2, 3, 4])

    def test_first_attempt_starts_at_once_and_log_path_is_ignored(self):
        # With a one-minute interval, a first attempt that waited for a tick would time out the
        # run; with -c 1 the run ends right after it.
        log = os.path.join(tempfile.mkdtemp(), "ping.log")
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-c", "1",
                                     "-i", "60000"], prefix=("-l", log))
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("127.0.0.1", srv.port)
                               + [success("127.0.0.1", "127.0.0.1", srv.port)]
                               + statistics(1, 1, "0.00", times=True))
        self.assertStatistics(cap, [2])
        self.assertFalse(os.path.exists(log))

    def test_all_attempts_refused(self):
        rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(REFUSED_PORT), "-c", "3",
                                 "-i", "150"])
        self.assertCleanRun(rc, err)
        # The refusal closes the socket before its local address was read.
        self.assertLines(out, connecting("127.0.0.1", REFUSED_PORT)
                         + [failure("", "127.0.0.1", REFUSED_PORT, 7, local_port=0)] * 3
                         + statistics(3, 0, "100.00"))

    def test_three_of_four_fail(self):
        srv = Listener()
        run = PingRun(["-H", "127.0.0.1", "-P", str(srv.port), "-c", "4", "-i", "300"])
        try:
            run.wait_for("Connect success:")
        finally:
            srv.close()  # the later attempts find no listener
        rc, out, err = run.finish()
        self.assertCleanRun(rc, err)
        refused = failure("", "127.0.0.1", srv.port, 7, local_port=0)
        cap = self.assertLines(out, connecting("127.0.0.1", srv.port)
                               + [success("127.0.0.1", "127.0.0.1", srv.port)]
                               + [refused] * 3 + statistics(4, 1, "75.00", times=True))
        self.assertStatistics(cap, [2])

    def test_unresponsive_target_times_out_before_the_next_tick(self):
        run = PingRun(["-H", SILENT_V4, "-c", "2", "-i", "300"])
        rc, out, err = run.finish()
        self.assertCleanRun(rc, err)
        # The socket got its local address when it sent the (dropped) SYN.
        self.assertLines(out, connecting(SILENT_V4, 80)
                         + [failure(SILENT_V4, SILENT_V4, 80, 7)] * 2
                         + statistics(2, 0, "100.00"))
        # Each attempt waits interval - 100 ms, so the second failure comes no earlier than
        # 300 + 200 ms after the first attempt. Measured from the launch: a late reader can
        # only make the gap longer (slack for the clocks' granularity only).
        self.assertGreaterEqual(run.lines[3][0] - run.launched, 0.49)

    def test_unreachable_route_fails_at_once(self):
        rc, out, err = run_ping(["-H", UNREACHABLE_V4, "-c", "2", "-i", "150"])
        self.assertCleanRun(rc, err)
        # connect fails synchronously on a socket that never got an address.
        self.assertLines(out, connecting(UNREACHABLE_V4, 80)
                         + [failure("0.0.0.0", UNREACHABLE_V4, 80, 7, local_port=0)] * 2
                         + statistics(2, 0, "100.00"))


class HostNameTest(PingTestCase):
    def test_name_is_resolved_once(self):
        with Listener() as srv:
            rc, out, err = run_ping(["-H", NAME_V4, "-P", str(srv.port), "-c", "2", "-i", "150"])
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("127.0.0.1", srv.port, name=NAME_V4)
                               + [success("127.0.0.1", "127.0.0.1", srv.port)] * 2
                               + statistics(2, 2, "0.00", times=True))
        self.assertStatistics(cap, [2, 3])

    def test_name_without_address_fails_every_attempt_with_code_5(self):
        for name in (NAME_V6_ONLY, NAME_UNKNOWN):
            with self.subTest(name=name):
                rc, out, err = run_ping(["-H", name, "-c", "2", "-i", "150"])
                self.assertCleanRun(rc, err)
                self.assertLines(out, connecting("", 80, name=name)
                                 + [failure("", "", 80, 5, local_port=0)] * 2
                                 + statistics(2, 0, "100.00"))

    def test_hung_lookup_never_holds_the_exit(self):
        # A name server that takes the query and never answers, with the default resolver
        # options: the lookup blocks for about ten seconds, far beyond the resolver's 2 s.
        server = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        server.bind(("127.0.0.2", 53))
        path = os.path.join(tempfile.mkdtemp(), "resolv.conf")
        with open(path, "w") as f:
            f.write("nameserver 127.0.0.2\n")
        sh("mount", "--bind", path, "/etc/resolv.conf")
        try:
            start = time.monotonic()
            timed_out = run_ping(["-H", NAME_UNKNOWN, "-c", "2", "-i", "150"])
            took = time.monotonic() - start
            while select.select([server], [], [], 0)[0]:
                server.recv(512)
            run = PingRun(["-H", NAME_UNKNOWN, "-c", "2", "-i", "150"])
            self.assertTrue(select.select([server], [], [], 10)[0], "no query arrived")
            sent = time.monotonic()
            run.proc.send_signal(signal.SIGTERM)
            signalled = run.finish()
            after_signal = time.monotonic() - sent
        finally:
            sh("umount", "/etc/resolv.conf")
            server.close()
        self.assertEqual(timed_out, (0, "", f"Resolve {NAME_UNKNOWN} failed: 3\n"))
        self.assertLess(took, 4.0, "the exit waited for the lookup")
        self.assertEqual(signalled, (0, "", ""))
        self.assertLess(after_signal, 2.0, "the exit waited for the lookup")

    def test_empty_host_is_a_resolution_failure(self):
        rc, out, err = run_ping(["-H", "", "-c", "2", "-i", "150"])
        self.assertEqual(rc, 0)
        self.assertEqual(out, "")
        self.assertEqual(err, "Resolve  failed: 1\n")


class Ipv6Test(PingTestCase):
    def test_numeric_ipv6_host(self):
        with Listener("::1") as srv:
            rc, out, err = run_ping(["-H", "::1", "-P", str(srv.port), "-c", "2", "-i", "150"])
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("::1", srv.port)
                               + [success("::1", "::1", srv.port)] * 2
                               + statistics(2, 2, "0.00", times=True))
        self.assertStatistics(cap, [2, 3])

    def test_name_resolved_for_ipv6(self):
        with Listener("::1") as srv:
            rc, out, err = run_ping(["-6", "-H", NAME_V6, "-P", str(srv.port), "-c", "1",
                                     "-i", "150"])
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("::1", srv.port, name=NAME_V6)
                               + [success("::1", "::1", srv.port)]
                               + statistics(1, 1, "0.00", times=True))
        self.assertStatistics(cap, [2])

    def test_refused_ipv6(self):
        rc, out, err = run_ping(["-H", "::1", "-P", str(REFUSED_PORT), "-c", "2", "-i", "150"])
        self.assertCleanRun(rc, err)
        self.assertLines(out, connecting("::1", REFUSED_PORT)
                         + [failure("", "::1", REFUSED_PORT, 7, local_port=0)] * 2
                         + statistics(2, 0, "100.00"))


class BindTest(PingTestCase):
    def test_bind_ip(self):
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-b", "127.0.0.5",
                                     "-c", "2", "-i", "150"])
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("127.0.0.1", srv.port)
                               + [success("127.0.0.5", "127.0.0.1", srv.port)] * 2
                               + statistics(2, 2, "0.00", times=True))
        self.assertStatistics(cap, [2, 3])

    def test_bind_ip_that_is_no_address_gives_code_3(self):
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-b", "localhost",
                                     "-c", "1", "-i", "150"])
        self.assertCleanRun(rc, err)
        self.assertLines(out, connecting("127.0.0.1", srv.port)
                         + [failure("0.0.0.0", "127.0.0.1", srv.port, 3, local_port=0)]
                         + statistics(1, 0, "100.00"))

    def test_bind_nic(self):
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-n", "lo",
                                     "-c", "2", "-i", "150"])
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("127.0.0.1", srv.port)
                               + [success("127.0.0.1", "127.0.0.1", srv.port, nic="lo")] * 2
                               + statistics(2, 2, "0.00", times=True))
        self.assertStatistics(cap, [2, 3])

    def test_unknown_nic_gives_code_25(self):
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-n", "nosuch0",
                                     "-c", "2", "-i", "150"])
        self.assertCleanRun(rc, err)
        enodev = 19
        self.assertLines(out, connecting("127.0.0.1", srv.port)
                         + [failure("0.0.0.0", "127.0.0.1", srv.port, 25, err=enodev,
                                    nic="nosuch0", local_port=0)] * 2
                         + statistics(2, 0, "100.00"))


class IntervalTest(PingTestCase):
    def test_interval_of_100_gives_reachable_hosts_the_whole_interval(self):
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-c", "3",
                                     "-i", "100"])
        self.assertCleanRun(rc, err)
        cap = self.assertLines(out, connecting("127.0.0.1", srv.port)
                               + [success("127.0.0.1", "127.0.0.1", srv.port)] * 3
                               + statistics(3, 3, "0.00", times=True))
        self.assertStatistics(cap, [2, 3, 4])

    def test_short_interval_to_a_silent_target_still_reaches_the_count(self):
        run = PingRun(["-H", SILENT_V4, "-c", "3", "-i", "50"])
        rc, out, err = run.finish()
        self.assertCleanRun(rc, err)
        self.assertLines(out, connecting(SILENT_V4, 80)
                         + [failure(SILENT_V4, SILENT_V4, 80, 7)] * 3
                         + statistics(3, 0, "100.00"))
        # Each attempt had its whole interval.
        self.assertGreaterEqual(run.lines[4][0] - run.launched, 0.14)

    def test_one_ms_interval_gives_one_line_per_attempt(self):
        # Attempts may or may not finish within 1 ms; each still yields exactly one line.
        count = 20
        with Listener() as srv:
            rc, out, err = run_ping(["-H", "127.0.0.1", "-P", str(srv.port), "-c", str(count),
                                     "-i", "1"])
        self.assertCleanRun(rc, err)
        lines = out.splitlines(keepends=True)
        self.assertEqual(lines[:2], connecting("127.0.0.1", srv.port), out)
        attempts = lines[2:-5]
        self.assertEqual(len(attempts), count, out)
        ok = re.compile(line_regex(success("127.0.0.1", "127.0.0.1", srv.port)))
        late = re.compile(line_regex(failure("127.0.0.1", "127.0.0.1", srv.port, 7)))
        connected = sum(1 for line in attempts if ok.fullmatch(line))
        failed = sum(1 for line in attempts if late.fullmatch(line))
        self.assertEqual(connected + failed, count, out)
        percent = f"{failed * 100.0 / count:.2f}"
        times = True if connected else None
        self.assertLines("".join(lines[-5:]), statistics(count, connected, percent, times)[0:5])

    def test_zero_interval_is_rejected(self):
        rc, out, err = run_ping(["-H", "127.0.0.1", "-i", "0"])
        self.assertEqual(rc, 105)
        self.assertEqual(out, "")
        self.assertEqual(err, "--interval: must be at least 1 ms\n"
                              "Run with --help for more information.\n")


class SignalTest(PingTestCase):
    def test_sigint_ends_the_run_without_statistics(self):
        with Listener() as srv:
            run = PingRun(["-H", "127.0.0.1", "-P", str(srv.port), "-c", "0", "-i", "100"])
            run.wait_for("Connect success:")
            run.wait_for("Connect success:")
            run.proc.send_signal(signal.SIGINT)
            rc, out, err = run.finish()
        self.assertCleanRun(rc, err)
        lines = out.splitlines(keepends=True)
        self.assertGreaterEqual(len(lines), 4)
        self.assertLines(out, connecting("127.0.0.1", srv.port)
                         + [success("127.0.0.1", "127.0.0.1", srv.port)] * (len(lines) - 2))


if __name__ == "__main__":
    harness.main("test_ping")
