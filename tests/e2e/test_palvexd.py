#!/usr/bin/env python3
"""End-to-end tests of palvexd with the real palvex as its client.

Every case runs in fresh network, mount and UTS namespaces (tests/tools/netns-run, root only;
this file re-executes itself under the wrapper, and is skipped without root). There every address
is local to `lo`; the NAT case builds device, router and service namespaces of its own, joined by
veth pairs, each held by a process that dies with this one.

Environment: PALVEX_BIN, PALVEXD_BIN, PALVEX_NETNS_RUN.
"""

import json
import os
import resource
import select
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import threading
import time
import unittest
import urllib.parse
import urllib.request

import harness
from harness import die_with_parent
from local_service import DAEMON, Daemon

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
BIN = os.environ.get("PALVEX_BIN", os.path.join(SOURCE_DIR, "build", "palvex"))

SERVICE_V4 = "100.128.0.1"  # public to palvex's eyes, yet only ever reached in a namespace
SERVICE_V6 = "3fff::10"
METRICS = "127.0.0.1:9100"
TABLE = "# test table\n100.128.0.0/16 156 11 1101 2\n3fff::/16 156 12 1201 5\n::1/128 1 2 3 4\n"


def frame(version, payload):
    return struct.pack(">HI", version, len(payload)) + payload


class Namespace:
    """A network namespace held by a sleeping process; it goes away with that process."""

    def __init__(self):
        ours = os.readlink("/proc/self/ns/net")
        self.proc = subprocess.Popen(["unshare", "--net", "sleep", "600"],
                                     preexec_fn=die_with_parent)
        self.path = f"/proc/{self.proc.pid}/ns/net"
        end = time.monotonic() + 5
        while os.readlink(self.path) == ours:
            if time.monotonic() > end:
                raise AssertionError("namespace did not appear")
            time.sleep(0.005)
        self.prefix = ["nsenter", f"--net={self.path}"]
        self.run("ip", "link", "set", "lo", "up")

    def run(self, *cmd):
        subprocess.run([*self.prefix, *cmd], check=True)

    def close(self):
        self.proc.kill()
        self.proc.wait()


class ServiceCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        harness.require(BIN, DAEMON)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="palvexd-", dir="/tmp")
        self.table = os.path.join(self.tmp, "locations.txt")
        self.write_table(TABLE)
        with open("/tmp/miner_sn", "wb") as f:
            f.write(b"SN 0042")
        self.daemons = []
        self.cleanup = []

    def tearDown(self):
        for d in self.daemons:
            if d.proc.poll() is None:
                d.proc.kill()
                d.proc.communicate()
        for fn in reversed(self.cleanup):
            fn()
        subprocess.run(["rm", "-rf", self.tmp, "/tmp/isp"], check=False)

    def write_table(self, text):
        with open(self.table + ".new", "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(self.table + ".new", self.table)

    def start(self, *args, prefix=(), metrics=METRICS, locations=True):
        extra = ["--locations", self.table] if locations else []
        d = Daemon(self.tmp, *extra, *args, prefix=prefix, metrics=metrics)
        self.daemons.append(d)
        return d

    def palvex(self, *args, prefix=(), timeout_ms=3000):
        """Runs palvex and returns its JSON result."""
        proc = subprocess.run([*prefix, BIN, "-t", str(timeout_ms), *args], capture_output=True,
                              text=True, timeout=timeout_ms / 1000 + 10,
                              preexec_fn=die_with_parent)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return json.loads(proc.stdout)

    @staticmethod
    def connect(src, dst=SERVICE_V4, port=60002):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        try:
            s.bind((src, 0))
            s.settimeout(5)
            s.connect((dst, port))
        except OSError:
            s.close()
            raise
        return s

    @staticmethod
    def closed_without_reply(sock):
        """True when the service closes `sock` without having sent a byte."""
        sock.settimeout(5)
        try:
            return sock.recv(100) == b""
        except ConnectionResetError:
            return True
        finally:
            sock.close()


class DetectionTest(ServiceCase):
    def test_full_and_locate_detections_with_their_records_and_metrics(self):
        d = self.start()
        with open("/tmp/miner_sn", "wb") as f:
            f.write(b"SN 0042 \xff\xfe")  # not UTF-8: recorded with replacement characters
        v4 = self.palvex("-H", SERVICE_V4)
        v6 = self.palvex("-6", "-H", SERVICE_V6)
        loc = self.palvex("-L", "-H", SERVICE_V4)
        self.assertEqual((v4["p2pReverse"], v6["p2pReverse"]), (1, 1))
        self.assertEqual((v4["country"], v4["province"], v4["city"], v4["isp"]), (156, 11, 1101, 2))
        # palvex's IPv6 source towards 3fff::10 on lo is ::1, whose own prefix is longer.
        self.assertEqual(v6["mappedAddr"].split("]:")[0], "[::1")
        self.assertEqual((v6["country"], v6["province"], v6["city"], v6["isp"]), (1, 2, 3, 4))
        self.assertEqual(loc["isp"], 2)
        # The service dials back from the address the request arrived on.
        self.assertTrue(v4["detectAddr"].startswith(SERVICE_V4 + ":"))
        self.assertTrue(v6["detectAddr"].startswith(f"[{SERVICE_V6}]:"))
        # The mapped address is what the service saw: palvex's own listening port.
        self.assertEqual(v4["mappedAddr"], f"{SERVICE_V4}:{v4['localAddr'].lstrip(':')}")

        records = d.wait_records(3)
        by_version = sorted(records, key=lambda r: (r["version"], r["peer"].startswith("[")))
        full4, full6, locate = by_version
        identity = "SN 0042 \ufffd\ufffd"
        self.assertEqual(
            {k: full4[k] for k in ("peer", "local", "version", "identity", "country", "isp",
                                   "dialback")},
            {"peer": v4["mappedAddr"], "local": SERVICE_V4, "version": 1, "identity": identity,
             "country": 156, "isp": 2, "dialback": "ok"})
        self.assertIsInstance(full4["dialbackMs"], int)
        self.assertLessEqual(abs(full4["time"] - time.time()), 60)
        self.assertEqual((full6["peer"], full6["local"], full6["dialback"]),
                         (v6["mappedAddr"], SERVICE_V6, "ok"))
        self.assertEqual((locate["peer"], locate["version"], locate["dialback"]),
                         (loc["mappedAddr"], 4, "skipped"))

        m = d.metrics()
        self.assertEqual(m['palvexd_requests_total{version="1"}'], 2)
        self.assertEqual(m['palvexd_requests_total{version="4"}'], 1)
        self.assertEqual(m['palvexd_dialbacks_total{outcome="ok"}'], 2)
        self.assertEqual(m['palvexd_dialback_connect_seconds_count'], 2)
        self.assertEqual(m['palvexd_location_prefixes'], 3)
        # By ISP code: what an operator alerts on when one ISP's devices stop being reachable.
        self.assertEqual({k: v for k, v in m.items() if "_by_isp_" in k}, {
            'palvexd_requests_by_isp_total{kind="detect",isp="2"}': 1,
            'palvexd_requests_by_isp_total{kind="detect",isp="4"}': 1,
            'palvexd_requests_by_isp_total{kind="locate",isp="2"}': 1,
            'palvexd_dialbacks_by_isp_total{isp="2",outcome="ok"}': 1,
            'palvexd_dialbacks_by_isp_total{isp="4",outcome="ok"}': 1})
        with urllib.request.urlopen(f"http://{METRICS}/healthz", timeout=5) as reply:
            self.assertEqual(reply.read(), b"ok\n")
        self.assertEqual(d.stop(), 0)
        self.assertEqual(d.stdout, "", "records go to the record file only")

    def test_device_behind_nat_and_with_a_port_forward(self):
        device, router, service = Namespace(), Namespace(), Namespace()
        for ns in (device, router, service):
            self.cleanup.append(ns.close)
        router.run("ip", "link", "add", "r-in", "type", "veth", "peer", "name", "d0", "netns",
                   str(device.proc.pid))
        router.run("ip", "link", "add", "r-out", "type", "veth", "peer", "name", "s0", "netns",
                   str(service.proc.pid))
        router.run("ip", "addr", "add", "192.168.77.1/24", "dev", "r-in")
        router.run("ip", "addr", "add", "100.128.0.2/24", "dev", "r-out")
        device.run("ip", "addr", "add", "192.168.77.2/24", "dev", "d0")
        service.run("ip", "addr", "add", f"{SERVICE_V4}/24", "dev", "s0")
        for ns, links in ((router, ("r-in", "r-out")), (device, ("d0",)), (service, ("s0",))):
            for link in links:
                ns.run("ip", "link", "set", link, "up")
        device.run("ip", "route", "add", "default", "via", "192.168.77.1")
        router.run("sysctl", "-qw", "net.ipv4.ip_forward=1")
        router.run("iptables", "-t", "nat", "-A", "POSTROUTING", "-o", "r-out", "-j",
                   "MASQUERADE")

        d = self.start("--listen", f"{SERVICE_V4}:60002", "--connect-timeout", "700",
                       prefix=service.prefix, metrics=None)
        run = ["-H", SERVICE_V4, "-I", "50000", "-A", "50000"]

        # The router answers the dial-back to its mapped port with a reset.
        res = self.palvex(*run, prefix=device.prefix)
        self.assertEqual((res["p2pReverse"], res["mappedAddr"]), (-1, "100.128.0.2:50000"))
        self.assertEqual(d.wait_records(1)[-1]["dialback"], "refused")
        # A router that drops it: the connect times out.
        router.run("iptables", "-A", "INPUT", "-i", "r-out", "-p", "tcp", "--dport", "50000",
                   "-j", "DROP")
        res = self.palvex(*run, prefix=device.prefix)
        self.assertEqual(res["p2pReverse"], -1)
        self.assertEqual(d.wait_records(2)[-1]["dialback"], "timeout")
        # A port forward lets it through.
        router.run("iptables", "-t", "nat", "-A", "PREROUTING", "-i", "r-out", "-p", "tcp",
                   "--dport", "50000", "-j", "DNAT", "--to-destination", "192.168.77.2:50000")
        res = self.palvex(*run, prefix=device.prefix)
        self.assertEqual((res["p2pReverse"], res["detectAddr"].split(":")[0]), (1, SERVICE_V4))
        rec = d.wait_records(3)[-1]
        self.assertEqual((rec["peer"], rec["dialback"]), ("100.128.0.2:50000", "ok"))
        self.assertEqual(d.stop(), 0)


class AbuseTest(ServiceCase):
    def test_hostile_clients_do_not_stop_a_genuine_detection(self):
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
        self.cleanup.append(lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard)))
        d = self.start("--read-timeout", "3000", "--workers", "2")
        kinds = ["idle", "slow", "garbage", "huge"]
        per_kind = 1250
        socks = []
        self.cleanup.append(lambda: [s.close() for s, _ in socks])
        for i in range(per_kind * len(kinds)):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.bind((f"10.77.{i // 250}.{i % 250 + 1}", 0))  # one connection per address
            s.connect_ex((SERVICE_V4, 60002))
            socks.append((s, kinds[i % len(kinds)]))
        pending = {s.fileno(): (s, kind) for s, kind in socks}
        poller = select.poll()
        for fd in pending:
            poller.register(fd, select.POLLOUT)
        end = time.monotonic() + 20
        while pending and time.monotonic() < end:
            for fd, _ in poller.poll(500):
                s, kind = pending.pop(fd)
                poller.unregister(fd)
                self.assertEqual(s.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR), 0)
                if kind == "slow":
                    s.send(b"\x00")  # half a version, then nothing
                elif kind == "garbage":
                    s.send(b"\xde\xad" + bytes(range(200)))
                elif kind == "huge":
                    s.send(struct.pack(">HI", 1, 0xFFFFFFFF) + b"x" * 100)
        self.assertFalse(pending, "not every hostile connection was established")

        res = self.palvex("-H", SERVICE_V4)
        self.assertEqual(res["p2pReverse"], 1)
        self.assertEqual(d.wait_records(1)[0]["dialback"], "ok")
        d.wait_for(lambda: d.rejected("bad_version") == per_kind, "the bad versions")
        d.wait_for(lambda: d.rejected("too_large") == per_kind, "the huge lengths")
        d.wait_for(lambda: d.rejected("read_timeout") == 2 * per_kind, "the read timeouts", 20)
        self.assertEqual((d.rejected("bad_version"), d.rejected("too_large")), (per_kind, per_kind))
        self.assertEqual(d.metrics()["palvexd_open_connections"], 0)
        self.assertEqual(d.rejected("incomplete"), 0)
        self.assertEqual(len(d.records()), 1, "refused connections write no record")

    def test_dial_back_targets_that_flood_or_are_the_service_itself_get_nothing(self):
        d = self.start("--dialback-delay", "300", "--source-rate", "0")
        # Four devices that, once dialled back, send as fast as they can: each dial-back closes
        # on the first bytes instead of reading them for its whole 2 s linger.
        ended = []

        def flood(index):
            listener = socket.socket()
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            listener.bind((f"10.78.0.{index}", 0))
            listener.listen(1)
            ask = socket.socket()  # from the listening port, as palvex does
            ask.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEPORT, 1)
            ask.bind(listener.getsockname())
            ask.connect((SERVICE_V4, 60002))
            ask.sendall(frame(1, b"flood"))
            conn, _ = listener.accept()
            start = time.monotonic()
            try:
                while True:
                    conn.sendall(b"x" * 65536)
            except OSError:
                ended.append(time.monotonic() - start)
            for sock in (conn, ask, listener):
                sock.close()

        threads = [threading.Thread(target=flood, args=(i,)) for i in range(1, 5)]
        for t in threads:
            t.start()
        self.assertEqual(self.palvex("-H", SERVICE_V4)["p2pReverse"], 1)
        for t in threads:
            t.join(10)
        self.assertEqual(len(ended), 4)
        self.assertLess(max(ended), 1.0, "a flooding device was read for its linger time")

        # A device whose address is the service's own and whose port nothing listens on: with a
        # single ephemeral port, the dial-back's socket would connect to itself.
        ports = "/proc/sys/net/ipv4/ip_local_port_range"
        with open(ports) as f:
            saved = f.read()
        def set_ports(text):
            with open(ports, "w") as f:
                f.write(text)

        self.cleanup.append(lambda: set_ports(saved))
        set_ports("50000 50000")
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind((SERVICE_V4, 50000))
        s.connect((SERVICE_V4, 60002))
        s.sendall(frame(1, b"self"))
        self.assertTrue(s.recv(100).startswith(f"{SERVICE_V4}:50000|".encode()))
        # Gone without a trace (no TIME_WAIT holding the port) before the dial-back starts.
        s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        s.close()
        records = d.wait_records(6)
        self.assertEqual(records[-1]["identity"], "self")
        self.assertEqual(records[-1]["dialback"], "refused")

    def test_running_out_of_descriptors_pauses_accepting_and_recovers(self):
        # Three times as many connections as descriptors: the service keeps some for itself,
        # pauses accepting instead of retrying at once, and still answers its metrics.
        d = self.start("--source-connections", "0", "--source-rate", "0",
                       prefix=["prlimit", "--nofile=128"])
        socks = []
        self.cleanup.append(lambda: [s.close() for s in socks])
        for i in range(384):
            s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            s.setblocking(False)
            s.bind((f"10.78.{i // 200}.{i % 200 + 1}", 0))
            s.connect_ex((SERVICE_V4, 60002))
            socks.append(s)
        pauses = 'palvexd_accept_pauses_total{listener="clients"}'
        d.wait_for(lambda: d.metrics()[pauses] >= 1, "an accept pause")
        def ticks():
            with open(f"/proc/{d.proc.pid}/stat", encoding="ascii") as f:
                return sum(map(int, f.read().split()[13:15]))
        before, start = ticks(), time.monotonic()
        for _ in range(3):
            t0 = time.monotonic()
            d.metrics()
            self.assertLess(time.monotonic() - t0, 1.0, "a scrape while accepting is paused")
            time.sleep(0.3)
        cpu = (ticks() - before) / os.sysconf("SC_CLK_TCK") / (time.monotonic() - start)
        self.assertLess(cpu, 0.3, "palvexd spins while descriptors are short")
        self.assertIn("descriptor limit 128: serving at most", d.log())
        self.assertLessEqual(d.log().count("accept paused"), 2)
        for s in socks:
            s.close()
        socks.clear()
        d.wait_for(lambda: d.metrics()["palvexd_open_connections"] == 0, "the flood to end")
        self.assertEqual(self.palvex("-H", SERVICE_V4)["p2pReverse"], 1)
        self.assertIn("accept resumed", d.log())

    def test_per_address_limits_hold_across_workers(self):
        d = self.start("--workers", "2", "--source-connections", "4", "--source-rate", "6")
        held = [self.connect("10.9.0.1") for _ in range(4)]
        self.cleanup.append(lambda: [s.close() for s in held])
        d.wait_for(lambda: d.metrics()["palvexd_open_connections"] == 4, "4 open connections")
        self.assertTrue(self.closed_without_reply(self.connect("10.9.0.1")))
        self.assertEqual(d.rejected("source_connections"), 1)
        # Another address is not held back by the first one's connections.
        other = self.connect("10.9.0.9")
        other.sendall(frame(4, b"x"))
        self.assertTrue(other.recv(100).startswith(b"10.9.0.9:"))
        other.close()

        # Six requests a minute from 10.9.0.2: the seventh is refused.
        for i in range(6):
            s = self.connect("10.9.0.2")
            s.sendall(frame(4, b"rate"))
            self.assertTrue(s.recv(100).startswith(b"10.9.0.2:"), i)
            s.close()
        self.assertTrue(self.closed_without_reply(self.connect("10.9.0.2")))
        self.assertEqual(d.rejected("source_rate"), 1)
        self.assertEqual(d.rejected("source_connections"), 1)
        self.assertEqual(len(d.wait_records(7)), 7)


class DatabaseTest(ServiceCase):
    """Locations from MMDB databases the test writes itself, under a location table."""

    def database(self, name, kind, records):
        path = os.path.join(self.tmp, name)
        networks = json.dumps({"type": kind, "records": records})
        subprocess.run(["perl", os.path.join(HERE, "make_mmdb.pl"), path], input=networks,
                       text=True, check=True)
        return path

    def map_file(self, name, text):
        path = os.path.join(self.tmp, name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
        return path

    def locate(self, src, dst=SERVICE_V4):
        family = socket.AF_INET6 if ":" in src else socket.AF_INET
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.bind((src, 0))
            s.settimeout(5)
            s.connect((dst, 60002))
            s.sendall(frame(4, b"db"))
            return [int(code) for code in s.recv(200).decode().split("|")[1:]]

    def test_codes_from_city_and_asn_databases_under_the_table(self):
        cn = {"country": {"iso_code": "CN"}, "subdivisions": [{"iso_code": "BJ"}],
              "city": {"geoname_id": 1816670}}
        city = self.database("city.mmdb", "City", [
            {"network": "100.128.0.0/10", "data": {"country": {"iso_code": "DE"}}},
            {"network": "100.129.0.0/16", "data": cn},
            {"network": "2001:db8::/32", "data": cn}])
        asn = self.database("asn.mmdb", "ASN", [
            {"network": "100.129.0.0/16", "data": {"autonomous_system_number": 4134}},
            {"network": "2001:db8::/32", "data": {"autonomous_system_number": 4812}}])
        maps = ["--map-province", self.map_file("p.txt", "# ISO 3166-2\nCN-BJ 11\n\n"),
                "--map-city", self.map_file("c.txt", "1816670 1101\n"),
                "--map-isp", self.map_file("i.txt", "AS4134 2\n4812 5  # another\n")]
        self.write_table(TABLE + "100.130.0.0/24 0 0 0 0\n")
        d = self.start("--mmdb-city", city, "--mmdb-asn", asn, *maps, "--source-rate", "0")
        self.assertEqual(self.locate("100.129.0.5"), [156, 11, 1101, 2])
        self.assertEqual(self.locate("2001:db8::5", SERVICE_V6), [156, 11, 1101, 5])
        self.assertEqual(self.locate("100.130.1.5"), [276, 0, 0, 0])  # country only
        self.assertEqual(self.locate("100.130.0.5"), [0, 0, 0, 0])  # a prefix of the table's
        self.assertEqual(self.locate("100.128.0.5"), [156, 11, 1101, 2])  # the table's prefix
        self.assertEqual(self.locate("10.9.9.9"), [0, 0, 0, 0])

        # SIGHUP rereads maps and databases; a bad map keeps the old ones.
        self.map_file("i.txt", "4134 7\n")
        d.send(signal.SIGHUP)
        d.wait_log("location databases reloaded")
        self.assertEqual(self.locate("100.129.0.5"), [156, 11, 1101, 7])
        self.map_file("i.txt", "4134 7\nAS 9\n")
        d.send(signal.SIGHUP)
        d.wait_log("keeping the old databases")
        self.assertIn(f"{self.tmp}/i.txt:2: bad key 'AS'", d.log())
        self.assertEqual(self.locate("100.129.0.5"), [156, 11, 1101, 7])
        d.stop()

        # At start a bad map stops the service with its line.
        self.map_file("c.txt", "1816670 1101\n1816670 1102\n")
        bad = Daemon(self.tmp, "--mmdb-city", city, "--map-city", f"{self.tmp}/c.txt", wait=False)
        self.assertEqual(bad.wait(), 2)
        self.assertEqual(bad.stderr, f"{self.tmp}/c.txt:2: '1816670' given twice\n")


class StunTest(ServiceCase):
    """The STUN service from the wire: what an old client, a bad one and a hostile one get."""

    def test_classic_requests_errors_and_drops(self):
        d = self.start("--stun", f"{SERVICE_V4}:3478")
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.cleanup.append(sock.close)
        sock.bind(("10.5.0.7", 40000))
        sock.settimeout(0.5)

        def ask(body, cookie=True, tid=b"\x01" * 12):
            head = struct.pack(">HH", 1, len(body)) + (b"\x21\x12\xa4\x42" if cookie else b"\x33" * 4)
            sock.sendto(head + tid + body, (SERVICE_V4, 3478))
            try:
                return sock.recv(65536)
            except socket.timeout:
                return None

        # RFC 3489: answered without a cookie, MAPPED-ADDRESS first (the source, unmasked).
        reply = ask(b"", cookie=False)
        self.assertEqual(reply[:2], b"\x01\x01")
        self.assertEqual(reply[4:8], b"\x33" * 4)
        self.assertEqual(reply[20:24], b"\x00\x01\x00\x08")
        self.assertEqual(reply[26:32], struct.pack(">H", 40000) + socket.inet_aton("10.5.0.7"))
        # PADDING beyond one Ethernet frame is answered in kind, no larger than the request.
        reply = ask(struct.pack(">HH", 0x0026, 2976) + b"p" * 2976)
        self.assertEqual((reply[:2], len(reply)), (b"\x01\x01", 3000))
        # An unknown comprehension-required attribute, and a CHANGE-REQUEST with nothing to
        # change to: 420.
        for body in (struct.pack(">HHI", 0x0027, 4, 1), struct.pack(">HHI", 0x0003, 4, 4)):
            reply = ask(body)
            self.assertEqual(reply[:2], b"\x01\x11")
            self.assertIn(b"\x00\x00\x04\x14", reply)  # class 4, number 20
        # Not a request, or a broken one: nothing at all comes back.
        self.assertIsNone(ask(b"\x00\x01\x00\x10abcd"))
        sock.sendto(b"\x00\x01" + b"\xff" * 30, (SERVICE_V4, 3478))
        self.assertIsNone(ask(b"", tid=b""))
        m = d.metrics()
        self.assertEqual(m['palvexd_stun_total{family="ipv4",event="request"}'], 4)
        self.assertEqual(m['palvexd_stun_total{family="ipv4",event="error"}'], 2)
        self.assertEqual(m['palvexd_stun_total{family="ipv4",event="dropped"}'], 3)


class PrometheusTest(ServiceCase):
    """The metrics as Prometheus itself takes them (Debian's prometheus package)."""

    @unittest.skipUnless(shutil.which("prometheus") and shutil.which("promtool"),
                         "prometheus not installed")
    def test_prometheus_scrapes_the_service_and_promtool_accepts_the_text(self):
        d = self.start()
        self.assertEqual(self.palvex("-H", SERVICE_V4)["p2pReverse"], 1)
        with urllib.request.urlopen(f"http://{METRICS}/metrics", timeout=5) as reply:
            text = reply.read()
        lint = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True)
        self.assertEqual(lint.returncode, 0, lint.stdout + lint.stderr)

        config = os.path.join(self.tmp, "prometheus.yml")
        with open(config, "w", encoding="utf-8") as f:
            f.write("global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: palvexd\n"
                    f"    static_configs:\n      - targets: ['{METRICS}']\n")
        server = subprocess.Popen(
            ["prometheus", f"--config.file={config}", "--web.listen-address=127.0.0.1:9090",
             f"--storage.tsdb.path={self.tmp}/tsdb"], stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        self.cleanup.append(lambda: (server.terminate(), server.wait()))
        query = urllib.parse.quote('palvexd_requests_by_isp_total{kind="detect"}')
        value = None
        end = time.monotonic() + 60
        while value is None and time.monotonic() < end:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:9090/api/v1/query?query={query}",
                                            timeout=5) as reply:
                    result = json.load(reply)["data"]["result"]
                if result:
                    value = (result[0]["metric"]["isp"], result[0]["value"][1])
            except OSError:
                pass  # not up yet
            time.sleep(0.2)
        self.assertEqual(value, ("2", "1"))


class OperationTest(ServiceCase):
    def test_start_up_errors(self):
        self.write_table("# ok\n100.128.0.0/16 1 2 3 4\n100.129.0.0/16 1 2 3 x\n")
        d = Daemon(self.tmp, "--locations", self.table, wait=False)
        self.assertEqual(d.wait(), 2)
        self.assertEqual(d.stderr, f"{self.table}:3: bad code 'x' (0-65535)\n")
        os.symlink("/tmp/elsewhere", os.path.join(self.tmp, "link"))
        proc = subprocess.run([DAEMON, "--record",
                               os.path.join(self.tmp, "link")], capture_output=True, text=True,
                              timeout=10)
        self.assertEqual(proc.returncode, 1)
        self.assertIn("link", proc.stderr)
        self.assertFalse(os.path.exists("/tmp/elsewhere"))

    def test_sighup_reloads_the_table_and_reopens_the_record_file(self):
        d = self.start()
        self.assertEqual(self.palvex("-L", "-H", SERVICE_V4)["country"], 156)
        self.write_table("100.128.0.0/16 2 2 2 2\n100.128.0.1/32 3 3 3 3\n")
        os.rename(d.record_path, d.record_path + ".1")
        d.send(signal.SIGHUP)
        d.wait_log("location table reloaded: 2 prefixes")
        self.assertEqual(self.palvex("-L", "-H", SERVICE_V4)["country"], 3)
        self.assertEqual(self.palvex("-L", "-H", "100.128.9.9")["country"], 2)
        self.assertEqual([r["country"] for r in d.records(d.record_path + ".1")], [156])
        self.assertEqual([r["country"] for r in d.wait_records(2)], [3, 2])

        self.write_table("100.128.0.0/16 4 4 4 4\nnonsense\n")
        d.send(signal.SIGHUP)
        d.wait_log("reload failed")
        self.assertIn(f"keeping the old table: {self.table}:2: expected CIDR", d.log())
        self.assertEqual(self.palvex("-L", "-H", SERVICE_V4)["country"], 3)
        m = d.metrics()
        self.assertEqual(m['palvexd_table_reloads_total{result="ok"}'], 1)
        self.assertEqual(m['palvexd_table_reloads_total{result="error"}'], 1)
        self.assertEqual(d.stop(), 0)

    def test_sigterm_stops_accepting_and_drains_dial_backs(self):
        # A dial-back that finishes within the drain time is made and recorded.
        d = self.start("--dialback-delay", "700")
        client = subprocess.Popen([BIN, "-t", "5000", "-H", SERVICE_V4], stdout=subprocess.PIPE,
                                  text=True, preexec_fn=die_with_parent)
        self.cleanup.append(lambda: client.kill() if client.poll() is None else None)
        d.wait_for(lambda: d.metrics()['palvexd_requests_total{version="1"}'] == 1, "request")
        d.send(signal.SIGTERM)

        def refused():
            try:
                self.connect("10.9.0.3").close()
                return False
            except ConnectionRefusedError:
                return True
            except ConnectionResetError:
                return False  # queued as the listener closed: the next try is refused
        d.wait_for(refused, "the listeners to close", 5)
        self.assertIsNone(d.proc.poll(), "still draining its dial-back")
        self.assertEqual(d.stop(), 0)
        self.assertEqual([r["dialback"] for r in d.records()], ["ok"])
        out, _ = client.communicate(timeout=10)
        self.assertIn('"p2pReverse":1', out)

        # One that cannot: cut when the drain time is over, recorded as a timeout.
        d = self.start("--dialback-delay", "10000")
        client = subprocess.Popen([BIN, "-t", "4000", "-H", SERVICE_V4], stdout=subprocess.PIPE,
                                  text=True, preexec_fn=die_with_parent)
        self.cleanup.append(lambda: client.kill() if client.poll() is None else None)
        d.wait_for(lambda: d.metrics()['palvexd_requests_total{version="1"}'] == 1, "request")
        self.assertEqual(d.stop(), 0)
        self.assertEqual([r["dialback"] for r in d.records()], ["timeout"])
        client.communicate(timeout=10)


if __name__ == "__main__":
    harness.main("test_palvexd")
