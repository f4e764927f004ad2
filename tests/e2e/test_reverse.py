#!/usr/bin/env python3
"""End-to-end tests of palvex's default mode (reverse detection) against a local service.

A well-behaved service is palvexd, the project's own; the Python helper detect_server.py stands
in only where a case needs a server that misbehaves on purpose (no reply, odd replies, broken
dial-back frames).

The default mode dials the built-in backup server addresses, so every case runs inside fresh
network, mount and UTS namespaces (tests/tools/netns-run): when started outside one, this file
re-executes itself under the wrapper (root only; skipped otherwise). Inside, every address is
local to `lo`, /tmp is a private tmpfs and the host name is "palvex-test", so the test server
answers for whatever address palvex dials and nothing leaves the namespace.

Environment: PALVEX_BIN (the binary), PALVEX_EMULATOR (runs a cross-built binary, optional),
PALVEX_ERRNO (the target's errno numbers, "ECONNRESET=104,EPIPE=32"; default: this machine's),
PALVEX_NETNS_RUN (the wrapper).
"""

import concurrent.futures
import contextlib
import errno
import json
import os
import random
import re
import select
import shlex
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest

import harness
from harness import die_with_parent
from local_service import DAEMON, Daemon

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
SERVER = os.path.join(HERE, "detect_server.py")
BIN = os.environ.get("PALVEX_BIN", os.path.join(SOURCE_DIR, "build", "palvex"))
EMULATOR = shlex.split(os.environ.get("PALVEX_EMULATOR", ""))  # runs a cross-built binary
BACKUP_FILE = os.environ.get("PALVEX_BACKUP_SERVERS",
                             os.path.join(SOURCE_DIR, "src", "main", "backup_servers.txt"))

FULL_KEYS = ["protocol", "localAddr", "mappedAddr", "country", "province", "city", "isp",
             "serverAddr", "detectAddr", "p2pReverse", "p2pStatus", "timestamp"]
LOCATE_KEYS = FULL_KEYS[:7]
IDENTITY_FILES = ["/tmp/miner_sn", "/etc/dorvik/.efuse_sn",
                  "/app/system/plugin-mdata/dorvik/.kube_sn", "/etc/salmar/miner_sn"]
PUBLIC_V4 = "100.128.0.1"  # outside every reserved range, yet only ever reached in the namespace
PUBLIC_V6 = "3fff::10"     # likewise for IPv6

# Stream error codes in the log are 1000 + errno, and errno numbers are the target's.
TARGET_ERRNO = {"ECONNRESET": errno.ECONNRESET, "EPIPE": errno.EPIPE}
for item in filter(None, os.environ.get("PALVEX_ERRNO", "").split(",")):
    name, value = item.split("=")
    TARGET_ERRNO[name] = int(value)
RESET_CODE = 1000 + TARGET_ERRNO["ECONNRESET"]
PIPE_CODE = 1000 + TARGET_ERRNO["EPIPE"]


def load_backup_table(path):
    """{"v4": {"1": [...], ...}, "v6": {...}} from the table file palvex was built with."""
    table = {"v4": {}, "v6": {}}
    with open(path, encoding="utf-8") as f:
        for raw in f:
            line = raw.split("#", 1)[0].split()
            if not line:
                continue
            key, addrs = line[0], line[1:]
            for a in addrs:
                table["v6" if ":" in a else "v4"].setdefault(key, []).append(a)
    return table


def split_addr(text):
    """("ip", port) from "ip:port" or "[ip]:port"."""
    m = re.fullmatch(r"\[([^\]]*)\]:(\d+)|([^:\[\]]*):(\d+)", text)
    if not m:
        raise AssertionError(f"not an address with port: {text!r}")
    if m.group(2) is not None:
        return m.group(1), int(m.group(2))
    return m.group(3), int(m.group(4))


class Result:
    def __init__(self, rc, stdout, stderr, log, records):
        self.rc, self.stdout, self.stderr, self.log, self.records = rc, stdout, stderr, log, records
        self.record = None

    def requests(self):
        return [r for r in self.records if r["event"] == "request"]

    def dialbacks(self):
        return [r for r in self.records if r["event"] == "dialback"]


class ReverseCase(unittest.TestCase):
    table = None

    @classmethod
    def setUpClass(cls):
        harness.require(BIN, DAEMON)
        cls.table = load_backup_table(BACKUP_FILE)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="reverse-", dir="/tmp")
        self.reset_files()
        self.mounts = []
        self.server = None
        self.service = None
        self.extra = []
        # No real name server is ever asked: lookups of unknown names go to a closed local port.
        self.mount_file("/etc/resolv.conf", "nameserver 127.0.0.1\noptions timeout:1 attempts:1\n")
        self.mount_file("/etc/hosts", "127.0.0.1 localhost\n::1 localhost\n")

    def tearDown(self):
        self.stop_server()
        for s in self.extra:
            s.close()
        for target in reversed(self.mounts):
            subprocess.run(["umount", target], check=False)
        subprocess.run(["rm", "-rf", self.tmp], check=False)

    # ---- helpers ---------------------------------------------------------------------------

    @staticmethod
    def reset_files():
        for path in ["/tmp/isp", "/tmp/miner_sn"]:
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)

    def mount_file(self, target, content):
        path = os.path.join(self.tmp, os.path.basename(target) + ".mnt")
        with open(path, "w", encoding="utf-8") as f:
            f.write(content)
        subprocess.run(["mount", "--bind", path, target], check=True)
        self.mounts.append(target)

    def start_server(self, *args, port=60002):
        self.stop_server()
        self.record_path = os.path.join(self.tmp, "server.jsonl")
        with contextlib.suppress(FileNotFoundError):
            os.remove(self.record_path)
        cmd = [sys.executable, SERVER, "--port", str(port), "--record", self.record_path, *args]
        self.server = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True,
                                       preexec_fn=die_with_parent)
        ready, _, _ = select.select([self.server.stdout], [], [], 10)
        self.assertTrue(ready, "test server did not start")
        self.assertEqual(self.server.stdout.readline().strip(), "ready")

    def start_service(self, codes=(156, 11, 1101, 2), port=60002):
        """palvexd on both families, every address located at `codes`."""
        self.stop_server()
        table = os.path.join(self.tmp, "locations.txt")
        with open(table, "w", encoding="utf-8") as f:
            line = " ".join(str(c) for c in codes)
            f.write(f"0.0.0.0/0 {line}\n::/0 {line}\n")
        self.service = Daemon(self.tmp, "--locations", table, "--listen", f"0.0.0.0:{port}",
                              "--listen", f"[::]:{port}")
        self.record_path = self.service.record_path

    def stop_server(self):
        if self.server is not None:
            self.server.terminate()
            self.server.wait(10)
            self.server.stdout.close()
            self.server = None
        if self.service is not None:
            self.assertEqual(self.service.stop(), 0)
            self.service = None

    def records(self):
        """The helper's events; palvexd's records read as the helper's request events."""
        path = getattr(self, "record_path", None)
        if not path or not os.path.exists(path):
            return []
        with open(path, encoding="utf-8") as f:
            events = [json.loads(line) for line in f if line.strip()]
        if self.service is None:
            return events
        return [{"event": "request", "peer": r["peer"], "local": r["local"],
                 "version": r["version"], "payload": r["identity"],
                 "length": len(r["identity"].encode())} for r in events]

    def wait_for(self, predicate, what, limit=10.0):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if predicate():
                return
            time.sleep(0.01)
        self.fail(f"gave up waiting for {what}")

    def run_palvex(self, *args, timeout_ms=3000, stage=None, sig=None):
        """Runs palvex with -l and -t; `stage(proc, log_path)` may wait for a point and `sig` is
        sent then. Returns a Result whose `record` is the parsed JSON line, checked for shape."""
        log_path = os.path.join(self.tmp, "palvex.log")
        with contextlib.suppress(FileNotFoundError):
            os.remove(log_path)
        if getattr(self, "record_path", None) and os.path.exists(self.record_path):
            open(self.record_path, "w").close()  # the server appends: one run's events only
        cmd = [*EMULATOR, BIN, "-l", log_path, "-t", str(timeout_ms), *args]
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=die_with_parent)
        if stage is not None:
            try:
                stage(proc, log_path)
                if sig is not None:
                    proc.send_signal(sig)
            except BaseException:
                proc.kill()
                proc.communicate()
                raise
        try:
            out, err = proc.communicate(timeout=timeout_ms / 1000.0 + 10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            self.fail(f"palvex did not end: {cmd}")
        if self.service is not None and b'"mappedAddr":""' not in out:
            # palvexd writes its record just after the reply or the dial-back frame.
            self.wait_for(lambda: self.records(), "palvexd's record")
        log = ""
        if os.path.exists(log_path):
            with open(log_path, encoding="utf-8", errors="replace") as f:
                log = f.read()
        res = Result(proc.returncode, out.decode(), err.decode(), log, self.records())
        res.record = self.check_shape(res, args)
        return res

    def check_shape(self, res, args):
        """Exactly one JSON line on stdout, members in order, exit code 0."""
        self.assertEqual(res.rc, 0, f"exit code; stderr: {res.stderr}")
        lines = res.stdout.split("\n")
        self.assertEqual(len(lines), 2, f"want one line: {res.stdout!r}")
        self.assertEqual(lines[1], "")
        pairs = json.loads(lines[0], object_pairs_hook=list)
        self.assertEqual(lines[0], json.dumps(dict(pairs), separators=(",", ":"),
                                              ensure_ascii=False), "compact form")
        keys = [k for k, _ in pairs]
        want = list(LOCATE_KEYS if ("-L" in args or "--locate" in args) else FULL_KEYS)
        if "-n" in args:
            want.insert(0, "nic")
        self.assertEqual(keys, want)
        record = dict(pairs)
        self.assertIn(record["protocol"], ("tcp", "tcp6"))
        for k in ("country", "province", "city", "isp"):
            self.assertIsInstance(record[k], int)
        if "p2pReverse" in record:
            self.assertIn(record["p2pReverse"], (-1, 1))
            self.assertEqual(record["p2pReverse"], record["p2pStatus"])
            self.assertIsInstance(record["timestamp"], int)
            self.assertLessEqual(abs(record["timestamp"] - time.time()), 120)
        self.assertIn(f"detect result: {lines[0]}", res.log)
        return record

    def assert_backup(self, server_addr, key="1", v6=False):
        ip, port = split_addr(server_addr)
        self.assertEqual(port, 60002)
        self.assertIn(ip, self.table["v6" if v6 else "v4"][key], f"not in backup list {key}")

    def assert_success(self, res, v6=False):
        rec = res.record
        self.assertEqual(rec["p2pReverse"], 1, res.log)
        server_ip, _ = split_addr(rec["serverAddr"])
        _, listen_port = split_addr(rec["localAddr"])
        _, mapped_port = split_addr(rec["mappedAddr"])
        self.assertEqual(mapped_port, listen_port, "the sender must use the listening port")
        detect_ip, _ = split_addr(rec["detectAddr"])
        self.assertEqual(detect_ip, server_ip, "the server dials back from its own address")
        self.assertEqual(rec["protocol"], "tcp6" if v6 else "tcp")
        self.assertEqual(rec["detectAddr"].startswith("["), v6)
        self.assertEqual((rec["country"], rec["province"], rec["city"], rec["isp"]),
                         (156, 11, 1101, 2))
        reqs = res.requests()
        self.assertEqual(len(reqs), 1)
        self.assertEqual(reqs[0]["version"], 1)
        self.assertEqual(reqs[0]["local"], server_ip)
        return rec

    def count(self, res, text):
        return res.log.count(text)


class DefaultPathTest(ReverseCase):
    """No -H: the server address comes from the backup table chosen by /tmp/isp."""

    def test_success_with_isp_file_absent_then_written(self):
        self.start_service()
        res = self.run_palvex()
        rec = self.assert_success(res)
        self.assert_backup(rec["serverAddr"], "1")
        self.assertIn("[DTR] skip resolve, use ip: ", res.log)
        self.assertNotIn("begin to resolve", res.log)
        self.assertNotIn("read isp", res.log)
        _, port = split_addr(rec["localAddr"])
        self.assertTrue(rec["localAddr"].startswith(":"))
        self.assertTrue(50000 <= port <= 53000)
        self.assertEqual(res.requests()[0]["payload"], "palvex-test")
        with open("/tmp/isp", "rb") as f:
            self.assertEqual(f.read(), b"2")
        # The next run picks list "2" from the file just written.
        res = self.run_palvex()
        self.assert_backup(self.assert_success(res)["serverAddr"], "2")
        self.assertIn("[DTR] read isp: 2", res.log)

    def test_isp_file_selects_the_list(self):
        self.start_service(codes=(1, 2, 3, 0))
        for content, key in [(b"2\n", "2"), (b" 5\t", "5"), (b"3", "1"), (b"12", "1"),
                             (b"", "1")]:
            with self.subTest(content=content):
                with open("/tmp/isp", "wb") as f:
                    f.write(content)
                res = self.run_palvex()
                self.assertEqual(res.record["p2pReverse"], 1)
                self.assert_backup(res.record["serverAddr"], key)
                # isp 0 leaves the file as it was.
                with open("/tmp/isp", "rb") as f:
                    self.assertEqual(f.read(), content)

    def test_ipv6_default_path(self):
        with open("/tmp/isp", "w") as f:
            f.write("5")
        self.start_service()
        res = self.run_palvex("-6")
        rec = self.assert_success(res, v6=True)
        self.assert_backup(rec["serverAddr"], "5", v6=True)
        self.assertTrue(rec["mappedAddr"].startswith("["))

    def test_other_server_port(self):
        self.start_service(port=61234)
        res = self.run_palvex("-P", "61234")
        rec = self.assert_success(res)
        self.assertTrue(rec["serverAddr"].endswith(":61234"))

    def test_port_zero_lets_the_kernel_choose(self):
        self.start_service()
        rec = self.assert_success(self.run_palvex("-I", "0", "-A", "0"))
        self.assertNotEqual(split_addr(rec["localAddr"])[1], 0)


class HostTest(ReverseCase):
    """-H: a numeric or named host, public or not."""

    def test_public_ipv4_address_is_used(self):
        self.start_service()
        res = self.run_palvex("-H", PUBLIC_V4)
        rec = self.assert_success(res)
        self.assertEqual(rec["serverAddr"], f"{PUBLIC_V4}:60002")
        self.assertIn(f"[DTR] begin to resolve '{PUBLIC_V4}'", res.log)
        self.assertNotIn("use backup ip", res.log)

    def test_private_address_falls_back_to_backup(self):
        self.start_service()
        for host in ["127.0.0.1", "10.1.2.3", "192.168.1.1"]:
            with self.subTest(host=host):
                self.reset_files()
                res = self.run_palvex("-H", host)
                rec = self.assert_success(res)
                self.assert_backup(rec["serverAddr"], "1")
                ip, _ = split_addr(rec["serverAddr"])
                self.assertEqual(
                    self.count(res, f"[DTR] resolved ip {host} is not public, use backup ip: {ip}"),
                    1)

    def test_host_name_from_hosts_file(self):
        self.mount_file("/etc/hosts", f"127.0.0.1 localhost\n{PUBLIC_V4} detect.palvex.test\n"
                                      "10.9.9.9 private.palvex.test\n")
        self.start_service()
        res = self.run_palvex("-H", "detect.palvex.test")
        self.assertEqual(self.assert_success(res)["serverAddr"], f"{PUBLIC_V4}:60002")
        self.reset_files()
        res = self.run_palvex("-H", "private.palvex.test")
        rec = self.assert_success(res)
        self.assert_backup(rec["serverAddr"])
        self.assertIn("[DTR] resolved ip 10.9.9.9 is not public, use backup ip: ", res.log)

    def test_unknown_name_falls_back_to_backup(self):
        self.start_service()
        res = self.run_palvex("-H", "nowhere.palvex.test")
        rec = self.assert_success(res)
        self.assert_backup(rec["serverAddr"])
        self.assertRegex(res.log, r"\[DTR\] (no ip resolved|resolve failed: 3), use backup ip: ")

    def test_ipv6_hosts(self):
        self.start_service()
        res = self.run_palvex("-6", "-H", PUBLIC_V6)
        rec = self.assert_success(res, v6=True)
        self.assertEqual(rec["serverAddr"], f"[{PUBLIC_V6}]:60002")
        self.reset_files()
        res = self.run_palvex("-6", "-H", "::1")
        rec = self.assert_success(res, v6=True)
        ip, _ = split_addr(rec["serverAddr"])
        self.assertIn(ip, self.table["v6"]["1"])
        self.assertIn(f"[DTR] resolved ip ::1 is not public, use backup ip: {ip}", res.log)
        # An IPv4 text is no IPv6 address: it is looked up as a name and finds nothing.
        self.reset_files()
        res = self.run_palvex("-6", "-H", PUBLIC_V4)
        self.assertIn(split_addr(self.assert_success(res, v6=True)["serverAddr"])[0],
                      self.table["v6"]["1"])


class OptionTest(ReverseCase):
    def test_locate(self):
        self.start_service()
        res = self.run_palvex("-L", timeout_ms=5000)
        rec = res.record
        self.assertEqual(res.requests()[0]["version"], 4)
        _, port = split_addr(rec["localAddr"])
        self.assertEqual(rec["mappedAddr"], f"{res.requests()[0]['local']}:{port}")
        self.assertEqual(rec["isp"], 2)
        self.assertNotIn("detect timeout", res.log)
        with open("/tmp/isp") as f:
            self.assertEqual(f.read(), "2")

    def test_locate_without_reply_times_out(self):
        self.start_server("--reply-mode", "none", "--dialback", "none")
        res = self.run_palvex("-L", "-6", timeout_ms=400)
        self.assertEqual(res.record["protocol"], "tcp6")
        self.assertEqual(res.record["mappedAddr"], "")
        self.assertEqual(self.count(res, "[DTR] detect timeout"), 1)

    def test_bind_ip(self):
        self.start_service()
        res = self.run_palvex("-i", "203.0.113.200")
        rec = self.assert_success(res)
        self.assertTrue(rec["localAddr"].startswith("203.0.113.200:"))
        self.assertTrue(rec["mappedAddr"].startswith("203.0.113.200:"))
        self.assertIn("[DTR] sender bind to ip: 203.0.113.200", res.log)
        self.assertIn("[DTR] listen '203.0.113.200:", res.log)
        res = self.run_palvex("-6", "-i", "2001:db8::77")
        rec = self.assert_success(res, v6=True)
        self.assertTrue(rec["localAddr"].startswith("[2001:db8::77]:"))
        self.assertTrue(rec["mappedAddr"].startswith("[2001:db8::77]:"))

    def test_nic(self):
        self.start_service()
        res = self.run_palvex("-n", "lo")
        rec = self.assert_success(res)
        self.assertEqual(rec["nic"], "lo")
        self.assertIn("[DTR] listner bind to nic: lo", res.log)
        self.assertIn("[DTR] sender bind to nic: lo", res.log)

    def test_identity_file_and_host_name(self):
        with open("/tmp/miner_sn", "w") as f:
            f.write("  SN 0042\n\n")
        self.start_service()
        res = self.run_palvex()
        self.assert_success(res)
        self.assertEqual(res.requests()[0]["payload"], "SN 0042")
        self.assertEqual(res.requests()[0]["length"], 7)
        os.remove("/tmp/miner_sn")
        if any(os.path.exists(p) for p in IDENTITY_FILES):
            self.skipTest("an identity file of this machine hides the host name")
        res = self.run_palvex("-L")
        self.assertEqual(res.requests()[0]["payload"], "palvex-test")

    def test_swapped_bind_port_bounds(self):
        self.start_service()
        res = self.run_palvex("-I", "50010", "-A", "50000")
        _, port = split_addr(self.assert_success(res)["localAddr"])
        self.assertTrue(50000 <= port <= 50010, port)

    def test_listen_failure_when_the_only_port_is_taken(self):
        blocker = socket.socket()
        blocker.bind(("0.0.0.0", 0))
        blocker.listen()
        self.extra.append(blocker)
        port = blocker.getsockname()[1]
        self.start_service()
        res = self.run_palvex("-I", str(port), "-A", str(port), timeout_ms=20000)
        rec = res.record
        self.assertEqual(rec["localAddr"], f":{port}")
        self.assertEqual(rec["p2pReverse"], -1)
        self.assertEqual(rec["serverAddr"], ":60002")
        self.assertEqual(rec["mappedAddr"], "")
        self.assertEqual(self.count(res, f"[DTR] listen ':{port}' failed: 4"), 1)
        self.assertNotIn("detect timeout", res.log)
        self.assertEqual(res.requests(), [])


class OutcomeTest(ReverseCase):
    """Timeout, refusal, and the server's reply variants."""

    def test_timeout_without_dial_back(self):
        self.start_server("--dialback", "none")
        res = self.run_palvex(timeout_ms=1500)
        rec = res.record
        self.assertEqual(rec["p2pReverse"], -1)
        self.assertEqual(rec["detectAddr"], "")
        _, port = split_addr(rec["localAddr"])
        self.assertEqual(split_addr(rec["mappedAddr"])[1], port)
        self.assertEqual(self.count(res, "[DTR] detect timeout"), 1)

    def test_refused(self):
        res = self.run_palvex(timeout_ms=400)
        rec = res.record
        self.assertEqual((rec["mappedAddr"], rec["detectAddr"], rec["p2pReverse"]), ("", "", -1))
        self.assert_backup(rec["serverAddr"])
        self.assertEqual(self.count(res, "[DTR] on sender error: 7"), 1)
        self.assertEqual(self.count(res, "[DTR] detect timeout"), 1)
        self.assertFalse(os.path.exists("/tmp/isp"))

    def test_reply_variants(self):
        cases = [
            ("a||1|2|3|4|", "a", (1, 2, 3, 4), 0),
            ("no separators", "no separators", (0, 0, 0, 0), 0),
            ("a|1|2|3", "a|1|2|3", (0, 0, 0, 0), 0),
            ("a|x|2|3|4", "a", (0, 0, 0, 0), 1),
            ("a|1|y|3|4", "a", (1, 0, 0, 0), 1),
            ("a|70000| 7|12abc|-1", "a", (4464, 7, 12, 65535), 0),
        ]
        for reply, mapped, codes, errors in cases:
            with self.subTest(reply=reply):
                self.start_server("--reply", reply)
                res = self.run_palvex()
                rec = res.record
                self.assertEqual(rec["p2pReverse"], 1)
                self.assertEqual(rec["mappedAddr"], mapped)
                self.assertEqual((rec["country"], rec["province"], rec["city"], rec["isp"]), codes)
                self.assertEqual(self.count(res, "[DTR] parse locate info failed"), errors)
                self.assertIn(f"[DTR] on sender data: {reply}", res.log)

    def test_foreign_bytes_keep_record_and_log_valid(self):
        # Not UTF-8 (a stray byte, an overlong form, a cut character) and a zero byte, from the
        # server and from the command line: still one JSON line, and a log, in valid UTF-8 that
        # give back the well-formed text unchanged.
        self.start_server("--reply-escapes", "--reply",
                          r"\xff\xc0\xaf{addr}\x00\xc3\xa9\xe2\x82|1|2|3|4")
        res = self.run_palvex()
        self.assertEqual(res.record["p2pReverse"], 1)
        _, port = split_addr(res.record["localAddr"])
        addr = f"{res.requests()[0]['local']}:{port}"
        self.assertEqual(res.record["mappedAddr"], f"\ufffd\ufffd\ufffd{addr}\x00\u00e9\ufffd")
        self.assertEqual(res.record["isp"], 4)
        self.assert_log_is_utf8()
        self.assertIn("[DTR] on sender data: \ufffd\ufffd\ufffd", res.log)

        res = self.run_palvex("-n", b"\xffeth", "-i", b"\xc0\xaf192.0.2.1", timeout_ms=400)
        self.assertEqual(res.record["nic"], "\ufffdeth")
        self.assertTrue(res.record["localAddr"].startswith("\ufffd\ufffd192.0.2.1:"))
        self.assert_log_is_utf8()

    def assert_log_is_utf8(self):
        with open(os.path.join(self.tmp, "palvex.log"), "rb") as f:
            f.read().decode("utf-8")  # strict: raises on anything ill-formed

    def test_reply_split_over_two_deliveries(self):
        # Each delivery stands alone: the last one decides.
        self.start_server("--reply", "mapped|1|2|3|5", "--reply-mode", "split", "--split-at", "9",
                          "--dialback-delay-ms", "100")
        res = self.run_palvex()
        rec = res.record
        self.assertEqual(rec["mappedAddr"], "2|3|5")
        self.assertEqual((rec["country"], rec["isp"]), (0, 0))
        self.assertIn("[DTR] on sender data: mapped|1|", res.log)
        self.assertIn("[DTR] on sender data: 2|3|5", res.log)

    def test_server_closing_the_request_connection(self):
        self.start_server("--reply-mode", "close")
        res = self.run_palvex()
        self.assertEqual(res.record["p2pReverse"], 1)
        self.assertEqual(res.record["mappedAddr"], "")
        self.assertEqual(self.count(res, "[DTR] on sender error: 8"), 1)
        self.start_server("--reply-mode", "close-at-once")
        res = self.run_palvex()
        self.assertEqual(res.record["p2pReverse"], 1)
        self.assertRegex(res.log, rf"\[DTR\] on sender error: (8|{RESET_CODE}|{PIPE_CODE})\b")


class InboundTest(ReverseCase):
    """Frames on the reverse connections."""

    def run_dialback(self, sequence, timeout_ms=3000, *extra):
        self.start_server("--dialback", sequence, *extra)
        return self.run_palvex(timeout_ms=timeout_ms)

    def test_complete_frames(self):
        for seq, con, size in [("full", 1, 16), ("pieces", 1, 16), ("zero", 1, 6),
                               ("double", 1, 16), ("maxsize", 1, 65542)]:
            with self.subTest(seq=seq):
                res = self.run_dialback(seq)
                self.assert_success(res)
                self.assertEqual(self.count(res, "receive message: "), 1)
                self.assertIn(f"[CON {con}] receive message: size={size} version=2", res.log)

    def test_incomplete_frame_waits_until_timeout(self):
        res = self.run_dialback("partial", 1500)
        self.assertEqual(res.record["p2pReverse"], -1)
        self.assertEqual(res.record["detectAddr"], "")
        self.assertNotIn("receive message", res.log)
        self.assertIn("[CON 1] DELETE", res.log)
        self.assertEqual(self.count(res, "[DTR] detect timeout"), 1)

    def test_failing_connections_do_not_end_the_run(self):
        res = self.run_dialback("five,close,full")
        self.assert_success(res)
        self.assertRegex(res.log, r"\[CON 1\] stream error: 8\b")
        self.assertRegex(res.log, rf"\[CON 2\] stream error: (8|{RESET_CODE})\b")
        self.assertIn("[CON 3] receive message: size=16 version=2 message=reverse-ok", res.log)

    def test_second_connection_wins_first_is_torn_down(self):
        res = self.run_dialback("idle,full")
        self.assert_success(res)
        self.assertIn("[CON 2] receive message", res.log)
        self.assertEqual(self.count(res, "[CON 1] DELETE"), 1)
        self.assertNotIn("stream error", res.log)

    def test_oversized_frame_drops_only_that_connection(self):
        res = self.run_dialback("oversized,full")
        self.assert_success(res)
        self.assertEqual(self.count(res, "[CON 1] frame too large: 65537"), 1)
        self.assertIn("[CON 2] receive message", res.log)

    def test_hostile_connections_do_not_lock_out_the_dial_back(self):
        """500 peers of every kind keep the listening port busy (renewing what palvex closes)
        while the server waits before its genuine dial-back, which must still get through."""
        self.start_server("--dialback-delay-ms", "700")
        stop = threading.Event()
        flood = []

        def stage(proc, log_path):
            self.wait_for(lambda: self.listen_port(log_path), "the listening port")
            flood.append(threading.Thread(target=hostile_flood,
                                          args=(self.listen_port(log_path), stop, 500)))
            flood[0].start()

        try:
            res = self.run_palvex(timeout_ms=4000, stage=stage)
        finally:
            stop.set()
            for t in flood:
                t.join(10)
        self.assertEqual(res.record["p2pReverse"], 1, "the dial-back was locked out")
        self.assert_success(res)
        self.assertTrue("[DTR] too many inbound connections (64), close the oldest" in res.log,
                        "the flood never filled the inbound set")

    @staticmethod
    def listen_port(log_path):
        try:
            with open(log_path, encoding="utf-8", errors="replace") as f:
                m = re.search(r"listen ':(\d+)' success", f.read())
        except FileNotFoundError:
            return None
        return int(m.group(1)) if m else None


def hostile_flood(port, stop, count):
    """Holds `count` connections to 127.0.0.1:<port>, each of one hostile kind, reconnecting
    whichever the other side closes, until `stop` is set."""
    kinds = ["idle", "slow", "random", "huge", "half"]
    conns = {}  # socket -> [kind, bytes sent, next send time]

    def opened(kind):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setblocking(False)
        s.connect_ex(("127.0.0.1", port))
        conns[s] = [kind, 0, time.monotonic() + 0.05]

    for i in range(count):
        opened(kinds[i % len(kinds)])
    header = {"slow": struct.pack(">HI", 2, 40), "random": struct.pack(">HI", 2, 60000),
              "huge": struct.pack(">HI", 2, 0xFFFFFFFF)}
    while not stop.is_set():
        now = time.monotonic()
        for s, state in list(conns.items()):
            kind, sent, due = state
            try:
                if s.recv(4096, socket.MSG_DONTWAIT) == b"":
                    raise ConnectionResetError
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                s.close()
                del conns[s]
                opened(kind)
                continue
            if now < due or kind == "idle":
                continue
            try:
                if kind == "half":
                    s.shutdown(socket.SHUT_WR)
                    state[2] = float("inf")
                elif kind == "slow":
                    s.send(header["slow"][sent:sent + 1] if sent < 6 else b"x")
                    state[1], state[2] = sent + 1, now + 0.1
                elif kind == "random":
                    s.send(header["random"] if sent == 0 else os.urandom(512))
                    state[1], state[2] = sent + 1, now + 0.02
                else:
                    s.send(header["huge"])
                    state[2] = float("inf")
            except (BlockingIOError, InterruptedError):
                pass
            except OSError:
                state[2] = float("inf")
        time.sleep(0.005)
    for s in conns:
        s.close()


class LinkTest(ReverseCase):
    """/tmp is writable by every user: links planted at its fixed names are never followed."""

    def test_links_at_the_fixed_names_leave_their_targets_alone(self):
        decoys = {}
        for name, content in [("isp", "5"), ("miner_sn", "SECRET-SN"), ("pl.log", "decoy\n")]:
            decoy = os.path.join(self.tmp, "decoy-" + name)
            with open(decoy, "w", encoding="utf-8") as f:
                f.write(content)
            os.symlink(decoy, "/tmp/" + name)
            decoys[decoy] = content
        self.addCleanup(os.remove, "/tmp/pl.log")

        # A link at the log path: no log file, the same as any other failure to open it.
        proc = subprocess.run([*EMULATOR, BIN, "-l", "pl.log", "-t", "300"], capture_output=True,
                              timeout=20)
        self.assertEqual((proc.returncode, proc.stdout, proc.stderr),
                         (1, b"", b"init logger failed\n"))

        self.start_server()
        res = self.run_palvex()
        # Neither link was read: the ISP file counts as absent, the identity falls through.
        self.assert_backup(self.assert_success(res)["serverAddr"], "1")
        self.assertNotIn("read isp", res.log)
        payload = res.requests()[0]["payload"]
        self.assertNotEqual(payload, "SECRET-SN")
        if not any(os.path.exists(p) for p in IDENTITY_FILES[1:]):
            self.assertEqual(payload, "palvex-test")
            self.assertIn("read hostname from system: palvex-test", res.log)
        # The link at /tmp/isp was replaced by a regular file, and no temporary file is left.
        self.assertFalse(os.path.islink("/tmp/isp"))
        with open("/tmp/isp", "rb") as f:
            self.assertEqual(f.read(), b"2")
        self.assertEqual([n for n in os.listdir("/tmp") if n.startswith(".isp")], [])
        for decoy, content in decoys.items():
            with open(decoy, encoding="utf-8") as f:
                self.assertEqual(f.read(), content, decoy)


class SignalTest(ReverseCase):
    """SIGINT and SIGTERM at different stages: always one report, exit 0."""

    def log_has(self, text):
        def stage(proc, log_path):
            def ready():
                if proc.poll() is not None:
                    return True
                try:
                    with open(log_path, encoding="utf-8", errors="replace") as f:
                        return text in f.read()
                except FileNotFoundError:
                    return False
            self.wait_for(ready, f"log line {text!r}")
        return stage

    def server_has(self, event):
        def stage(proc, log_path):
            self.wait_for(lambda: any(r["event"] == event for r in self.records())
                          or proc.poll() is not None, f"server event {event}")
        return stage

    def test_right_after_construction(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(sig=sig):
                res = self.run_palvex("-H", PUBLIC_V4, timeout_ms=20000,
                                      stage=self.log_has("[DTR] CREATE"), sig=sig)
                self.assertEqual(res.record["p2pReverse"], -1)
                self.assertEqual(self.count(res, f"catch signal: {int(sig)}"), 1)

    def test_waiting_for_reply_and_for_dial_back(self):
        for sig, mode in ((signal.SIGINT, "none"), (signal.SIGTERM, "normal")):
            with self.subTest(sig=sig, mode=mode):
                self.start_server("--reply-mode", mode, "--dialback", "partial")
                res = self.run_palvex(timeout_ms=20000, stage=self.server_has("dialback"), sig=sig)
                rec = res.record
                self.assertEqual(rec["p2pReverse"], -1)
                self.assertEqual(rec["mappedAddr"] != "", mode == "normal")
                self.assertIn("[CON 1] DELETE", res.log)
                self.assertNotIn("detect timeout", res.log)


class HungLookupTest(ReverseCase):
    """A name server that takes the query and never answers, with the system's default resolver
    options: the lookup then blocks for about ten seconds, and the run must not wait for it."""

    def setUp(self):
        super().setUp()
        self.mount_file("/etc/resolv.conf", "nameserver 127.0.0.1\n")
        self.ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.ns.bind(("127.0.0.1", 53))
        self.extra.append(self.ns)

    def query_arrived(self):
        ready, _, _ = select.select([self.ns], [], [], 10)
        self.assertTrue(ready, "no query reached the name server")
        while select.select([self.ns], [], [], 0)[0]:
            self.ns.recv(512)

    def test_timeout_ends_the_run_on_time(self):
        start = time.monotonic()
        res = self.run_palvex("-H", "slow.palvex.test", timeout_ms=1000)
        took = time.monotonic() - start
        self.query_arrived()
        rec = res.record
        self.assertEqual((rec["serverAddr"], rec["mappedAddr"], rec["p2pReverse"]),
                         (":60002", "", -1))
        self.assertEqual(self.count(res, "[DTR] detect timeout"), 1)
        self.assertLess(took, 3.0, "the exit waited for the lookup")

    def test_signal_ends_the_run_on_time(self):
        for sig in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(sig=sig):
                sent = []

                def stage(proc, log_path):
                    self.query_arrived()
                    sent.append(time.monotonic())

                res = self.run_palvex("-H", "slow.palvex.test", timeout_ms=20000, stage=stage,
                                      sig=sig)
                took = time.monotonic() - sent[0]
                rec = res.record
                self.assertEqual((rec["serverAddr"], rec["mappedAddr"], rec["p2pReverse"]),
                                 (":60002", "", -1))
                self.assertEqual(self.count(res, f"catch signal: {int(sig)}"), 1)
                self.assertLess(took, 2.0, "the exit waited for the lookup")


class SignalStormTest(ReverseCase):
    """SIGTERM or SIGINT at random moments of many runs, some twice in quick succession, some
    in a burst that lasts until the process is gone: before the run context watches them, while
    the run goes on, and while it ends. Every run still prints one JSON line and exits 0."""

    RUNS = 40

    def test_signal_storm(self):
        # A run that no signal ends succeeds some 30 ms in, inside the signals' window.
        self.start_server("--dialback-delay-ms", "30")
        seed = random.randrange(1 << 30)
        rng = random.Random(seed)
        plans = []
        for i in range(self.RUNS):
            sigs = [rng.choice((signal.SIGTERM, signal.SIGINT)) for _ in range(2)]
            if i % 4 == 0:
                plans.append(("start", [(rng.uniform(0, 0.060), sigs[0]),
                                        (rng.uniform(0, 0.002), sigs[1])]))
            elif i % 2 == 1:
                plans.append(("burst", [(rng.uniform(0, 0.060), sigs[0])]))
            else:
                plans.append(("start", [(rng.uniform(0, 0.060), sigs[0])]))
        with concurrent.futures.ThreadPoolExecutor(2) as pool:
            results = list(pool.map(self.storm_run, range(self.RUNS), plans))
        for i, ((mode, plan), (rc, out, log)) in enumerate(zip(plans, results)):
            shown = [(round(d * 1000, 2), int(s)) for d, s in plan]
            with self.subTest(run=i, mode=mode, plan=shown, seed=seed):
                self.assertEqual(rc, 0)
                lines = out.split("\n")
                self.assertEqual((len(lines), lines[-1]), (2, ""), out)
                self.assertEqual(list(json.loads(lines[0])), FULL_KEYS)
                self.assertIn(f"detect result: {lines[0]}", log)

    def storm_run(self, index, plan):
        """Sends the plan's signals, each its delay after the one before (the first after the
        start); returns (exit code, stdout, log)."""
        mode, signals = plan
        log_path = os.path.join(self.tmp, f"storm-{index}.log")
        proc = subprocess.Popen([*EMULATOR, BIN, "-l", log_path, "-t", "3000"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                preexec_fn=die_with_parent)
        at = time.monotonic()
        # Before main nothing in the program can hold a signal back, so the first one also waits
        # for the log file, which main opens before it builds the run context.
        while not os.path.exists(log_path) and proc.poll() is None and time.monotonic() < at + 5:
            time.sleep(0.0001)
        for delay, sig in signals:
            at += delay
            time.sleep(max(0.0, at - time.monotonic()))
            at = time.monotonic()
            proc.send_signal(sig)
        # A burst goes on until the process is gone, so that some signal lands while it ends.
        while mode == "burst" and proc.poll() is None:
            proc.send_signal(signals[-1][1])
        try:
            out, _ = proc.communicate(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, _ = proc.communicate()
        log = ""
        if os.path.exists(log_path):
            with open(log_path, encoding="utf-8", errors="replace") as f:
                log = f.read()
        return proc.returncode, out.decode(), log


if __name__ == "__main__":
    harness.main("test_reverse")
