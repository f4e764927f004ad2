"""palvex nat against palvexd through the kernel's own NAT.

Each case builds three network namespaces joined by veth pairs: a device (behind a private or a
public address), a router whose nftables rules are the NAT or firewall under test, and a server
holding the two public addresses palvexd grades from. Everything exists only inside the test's
namespaces. Environment: PALVEX_BIN, PALVEXD_BIN, PALVEX_NETNS_RUN.
"""

import itertools
import json
import os
import signal
import subprocess
import tempfile
import time
import unittest

from harness import SOURCE_DIR, die_with_parent, main, require
from local_service import Daemon

BIN = os.environ.get("PALVEX_BIN", os.path.join(SOURCE_DIR, "build", "palvex"))
DAEMON = os.environ.get("PALVEXD_BIN", os.path.join(SOURCE_DIR, "build", "palvexd"))

S1, S2, S1_6, S2_6 = "100.128.0.21", "100.128.0.22", "3fff::21", "3fff::22"
PORT, OTHER_PORT = 60002, 60003
GRADE_KEYS = ["protocol", "localAddr", "serverAddr", "otherAddr", "mappedAddr", "mappedAddrs",
              "country", "province", "city", "isp", "nat", "portPreserved", "mapping",
              "filtering", "natType", "timestamp"]

MASQUERADE = 'chain post { type nat hook postrouting priority 100; oifname "rs" masquerade; }'
RANDOM_PORTS = ('chain post { type nat hook postrouting priority 100; '
                'oifname "rs" masquerade random; }')
# Inbound connections to the device's port range are forwarded to it: from anyone, or only from
# addresses the device has sent to.
FORWARD_ALL = ('chain pre { type nat hook prerouting priority -100; '
               'iifname "rs" tcp dport 50000-53000 dnat to 10.0.0.2; }')
FORWARD_CONTACTED = """
  set contacted { type ipv4_addr; flags dynamic,timeout; timeout 5m; }
  chain fw { type filter hook forward priority 0; iifname "rd" update @contacted { ip daddr }; }
  chain pre { type nat hook prerouting priority -100;
    iifname "rs" ip saddr @contacted tcp dport 50000-53000 dnat to 10.0.0.2; }"""
FIREWALL = ('chain fw { type filter hook forward priority 0; '
            'iifname "rs" ct state new drop; }')
REJECTING_FIREWALL = FIREWALL.replace("drop", "reject with tcp reset")

_names = itertools.count(1)


def sh(*args):
    subprocess.run(args, check=True, capture_output=True, text=True)


class Topology:
    """device --veth-- router --veth-- server; `rules` go into the router's tables."""

    def __init__(self, public=False, rules4="", rules6=""):
        n = next(_names)
        self.dev, self.rtr, self.srv = f"dev{n}", f"rtr{n}", f"srv{n}"
        for ns in (self.dev, self.rtr, self.srv):
            sh("ip", "netns", "add", ns)
            self.run(ns, "sysctl", "-qw", "net.ipv6.conf.all.accept_dad=0",
                     "net.ipv6.conf.default.accept_dad=0", "net.ipv4.ip_forward=1",
                     "net.ipv6.conf.all.forwarding=1")
            self.run(ns, "ip", "link", "set", "lo", "up")
        sh("ip", "link", "add", "dv", "netns", self.dev, "type", "veth", "peer", "rd", "netns",
           self.rtr)
        sh("ip", "link", "add", "rs", "netns", self.rtr, "type", "veth", "peer", "sr", "netns",
           self.srv)
        inner4, inner6 = ("100.129.0", "3fff:1:") if public else ("10.0.0", "fd00:")
        self.device_ip = f"{inner4}.2"
        self.device_ip6 = f"{inner6}:2"
        self.address(self.dev, "dv", f"{inner4}.2/24", f"{inner6}:2/64")
        self.address(self.rtr, "rd", f"{inner4}.1/24", f"{inner6}:1/64")
        self.address(self.rtr, "rs", "100.128.0.1/24", "3fff::1/64")
        self.address(self.srv, "sr", f"{S1}/24", f"{S1_6}/64", f"{S2}/24", f"{S2_6}/64")
        for ns, gw4, gw6 in ((self.dev, f"{inner4}.1", f"{inner6}:1"),
                             (self.srv, "100.128.0.1", "3fff::1")):
            self.run(ns, "ip", "route", "add", "default", "via", gw4)
            self.run(ns, "ip", "-6", "route", "add", "default", "via", gw6)
        tables = ""
        if rules4:
            tables += f"table ip grade {{\n{rules4}\n}}\n"
        if rules6:
            tables += f"table ip6 grade {{\n{rules6}\n}}\n"
        if tables:
            subprocess.run(["ip", "netns", "exec", self.rtr, "nft", "-f", "-"], input=tables,
                           text=True, check=True, capture_output=True)

    def address(self, ns, dev, *addrs):
        for addr in addrs:
            self.run(ns, "ip", "addr", "add", addr, "dev", dev, "nodad")
        self.run(ns, "ip", "link", "set", dev, "up")

    def run(self, ns, *cmd):
        sh("ip", "netns", "exec", ns, *cmd)

    def forget(self):
        """Forgets whom the device contacted, for a router that forwards only from those."""
        for family in ("ip", "ip6"):
            subprocess.run(["ip", "netns", "exec", self.rtr, "nft", "flush", "set", family,
                            "grade", "contacted"], capture_output=True)

    def close(self):
        for ns in (self.dev, self.rtr, self.srv):
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


class NatCase(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        require(BIN, DAEMON)
        # Named namespaces live in a private /run/netns of this mount namespace.
        os.makedirs("/run/netns", exist_ok=True)
        sh("mount", "-t", "tmpfs", "tmpfs", "/run/netns")

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="nat-")
        self.net = None
        self.daemon = None

    def tearDown(self):
        if self.daemon is not None:
            self.daemon.stop()
        if self.net is not None:
            self.net.close()

    def serve(self, *args, **kw):
        self.daemon = Daemon(self.dir, *args, prefix=("ip", "netns", "exec", self.net.srv), **kw)
        return self.daemon

    def serve_both(self, *extra, ipv6=False, **kw):
        listen = [f"[{S1_6}]:{PORT}"] if ipv6 else [f"{S1}:{PORT}"]
        other = S2_6 if ipv6 else S2
        return self.serve("--listen", listen[0], "--other-address", other, "--other-port",
                          str(OTHER_PORT), *extra, **kw)

    def grade(self, *args, host=S1, timeout=3000, ipv6=False, stop=None):
        cmd = ["ip", "netns", "exec", self.net.dev, BIN, "-l", os.path.join(self.dir, "p.log"),
               "nat", "-H", host, "-t", str(timeout)] + (["-6"] if ipv6 else []) + list(args)
        start = time.monotonic()
        proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                preexec_fn=die_with_parent)
        if stop is not None:
            time.sleep(stop)
            proc.send_signal(signal.SIGTERM)
        out, err = proc.communicate(timeout=timeout / 1000 + 10)
        self.elapsed = time.monotonic() - start
        self.assertEqual(proc.returncode, 0, err)
        lines = out.splitlines()
        self.assertEqual(len(lines), 1, out)
        result = json.loads(lines[0], object_pairs_hook=list)
        self.assertEqual([k for k, _ in result], GRADE_KEYS)
        return dict(result)

    def grade_record(self):
        """The grading request's record, once palvexd has written it."""
        def graded():
            with open(self.daemon.record_path, encoding="utf-8") as f:
                return [r for r in map(json.loads, f) if r.get("test") == "grade"]
        self.daemon.wait_for(lambda: os.path.exists(self.daemon.record_path) and graded(),
                             "the grading record")
        return graded()[0]

    def expect(self, result, mapping, filtering, nat_type, nat=1, preserved=1):
        got = (result["nat"], result["portPreserved"], result["mapping"], result["filtering"],
               result["natType"])
        want = (nat, got[1] if preserved is None else preserved, mapping, filtering, nat_type)
        self.assertEqual(got, want, result)


class TopologyTest(NatCase):
    """Each NAT the router can be made into gets its grade, from the device and the service."""

    def check(self, public, rules, mapping, filtering, nat_type, nat=1, preserved=1, ipv6=False,
              rules6=""):
        self.net = Topology(public=public, rules4=rules, rules6=rules6)
        # Two workers: a grading's requests may land on either, and are tied by their nonce.
        self.serve_both("--workers", "2", "--metrics", f"[{S1_6}]:9100" if ipv6 else f"{S1}:9100",
                        ipv6=ipv6)
        result = self.grade(host=S1_6 if ipv6 else S1, ipv6=ipv6)
        self.expect(result, mapping, filtering, nat_type, nat, preserved)
        self.assertEqual(result["protocol"], "tcp6" if ipv6 else "tcp")
        other = f"[{S2_6}]:{OTHER_PORT}" if ipv6 else f"{S2}:{OTHER_PORT}"
        self.assertEqual(result["otherAddr"], other)
        self.assertNotIn("", result["mappedAddrs"])
        record = self.grade_record()
        # The service reaches the same verdict from its side of the same connections.
        self.assertEqual([record["mapping"], record["filtering"], record["natType"]],
                         [mapping, filtering, nat_type], record)
        self.assertEqual(record["mapped"], result["mappedAddrs"])
        proto = "tcp6" if ipv6 else "tcp"
        url = f"http://{'[' + S1_6 + ']' if ipv6 else S1}:9100/metrics"
        metrics = subprocess.run(
            ["ip", "netns", "exec", self.net.srv, "python3", "-c",
             f"import urllib.request; print(urllib.request.urlopen('{url}').read().decode())"],
            capture_output=True, text=True, check=True).stdout
        self.assertIn(f'palvexd_nat_grades_total{{protocol="{proto}",isp="0",nat_type="{nat_type}"}}'
                      " 1\n", metrics)
        return result

    def test_public_address(self):
        result = self.check(True, "", "none", "endpoint-independent", 0, nat=0)
        self.assertEqual(result["mappedAddr"].split(":")[0], "100.129.0.2")

    def test_masquerade_is_port_restricted(self):
        self.check(False, MASQUERADE, "endpoint-independent", "address-and-port-dependent", 3)

    def test_random_ports_are_symmetric(self):
        result = self.check(False, RANDOM_PORTS, "address-and-port-dependent",
                            "address-and-port-dependent", 4, preserved=None)
        self.assertEqual(len(set(result["mappedAddrs"])), 3, result)

    def test_forward_to_anyone_is_full_cone(self):
        self.check(False, MASQUERADE + "\n" + FORWARD_ALL, "endpoint-independent",
                   "endpoint-independent", 1)

    def test_forward_to_contacted_is_restricted_cone(self):
        self.check(False, MASQUERADE + "\n" + FORWARD_CONTACTED, "endpoint-independent",
                   "address-dependent", 2)

    def test_stateful_firewall_on_a_public_address(self):
        # Dropped: the service's 1 s connect timeout decides, well inside the device's wait.
        self.check(True, FIREWALL, "none", "address-and-port-dependent", 3, nat=0)
        self.assertLess(self.elapsed, 2.5)

    def test_rejecting_firewall_on_a_public_address(self):
        # Refused: reported at once, so the run takes nowhere near the wait.
        self.check(True, REJECTING_FIREWALL, "none", "address-and-port-dependent", 3, nat=0)
        self.assertLess(self.elapsed, 1.0)

    def test_ipv6_masquerade(self):
        self.check(False, "", "endpoint-independent", "address-and-port-dependent", 3, ipv6=True,
                   rules6=MASQUERADE)


def ipv6_rules(rules):
    """The same router for IPv6: the device's address, sets and matches of that family."""
    for old, new in (("10.0.0.2", "fd00::2"), ("ipv4_addr", "ipv6_addr"), ("ip daddr", "ip6 daddr"),
                     ("ip saddr", "ip6 saddr")):
        rules = rules.replace(old, new)
    return rules


UDP_FORWARD_ALL = FORWARD_ALL.replace("tcp dport", "meta l4proto udp udp dport")
UDP_FORWARD_CONTACTED = FORWARD_CONTACTED.replace("tcp dport", "meta l4proto udp udp dport")


class UdpTest(NatCase):
    """palvex nat --udp against palvexd's STUN service, through the same routers."""

    def test_udp_grades_through_each_router(self):
        cases = [
            ("public", True, "", "none", "endpoint-independent", 0, 0),
            ("masquerade", False, MASQUERADE, "endpoint-independent", "address-and-port-dependent",
             3, 1),
            ("random ports", False, RANDOM_PORTS, "address-and-port-dependent",
             "address-and-port-dependent", 4, 1),
            ("forward to anyone", False, MASQUERADE + "\n" + UDP_FORWARD_ALL,
             "endpoint-independent", "endpoint-independent", 1, 1),
            ("forward to contacted", False, MASQUERADE + "\n" + UDP_FORWARD_CONTACTED,
             "endpoint-independent", "address-dependent", 2, 1),
            ("firewall", True, FIREWALL, "none", "address-and-port-dependent", 3, 0),
        ]
        for name, public, rules, mapping, filtering, nat_type, nat in cases:
            with self.subTest(name):
                self.net = Topology(public=public, rules4=rules)
                self.serve_both("--stun", f"{S1}:3478")
                result = self.grade("-u")
                self.assertEqual(result["protocol"], "udp")
                self.assertEqual(result["serverAddr"], f"{S1}:3478")
                self.assertEqual(result["otherAddr"], f"{S2}:{OTHER_PORT}")
                self.assertEqual(result["isp"], 0)
                self.expect(result, mapping, filtering, nat_type, nat,
                            None if "random" in name else 1)
                self.daemon.stop()
                self.daemon = None
                self.net.close()
                self.net = None

    def test_udp_ipv6_and_a_server_without_other_address(self):
        self.net = Topology(rules6=MASQUERADE)
        self.serve_both("--stun", f"[{S1_6}]:3478", ipv6=True)
        result = self.grade("-u", host=S1_6, ipv6=True)
        self.assertEqual(result["protocol"], "udp6")
        self.expect(result, "endpoint-independent", "address-and-port-dependent", 3)
        self.daemon.stop()
        # Without an other address and port (and over IPv4, which this router does not translate):
        # no OTHER-ADDRESS, so only M1 and that it is not translated are provable.
        self.daemon = self.serve("--listen", f"{S1}:{PORT}", "--stun", f"{S1}:3478")
        result = self.grade("-u")
        self.assertEqual((result["otherAddr"], result["mappedAddrs"][1:]), ("", ["", ""]))
        self.expect(result, "none", "unknown", -1, nat=0)


class PartialServiceTest(NatCase):
    """Less than two addresses and two ports, or a bad one: what is provable, and nothing more."""

    def setUp(self):
        super().setUp()
        self.net = Topology(rules4=MASQUERADE)

    def test_service_without_other_address_or_port(self):
        self.serve("--listen", f"{S1}:{PORT}")
        result = self.grade()
        self.assertEqual(result["otherAddr"], "")
        self.assertEqual(result["mappedAddrs"][1:], ["", ""])
        # The dial-back from another port was filtered: port-dependent, whatever S2 would say.
        self.expect(result, "unknown", "address-and-port-dependent", -1)

    def test_service_with_other_port_only(self):
        self.serve("--listen", f"{S1}:{PORT}", "--other-port", str(OTHER_PORT))
        result = self.grade()
        self.assertEqual(result["otherAddr"], f"{S1}:{OTHER_PORT}")
        self.assertEqual(result["mappedAddrs"][1], "")
        self.assertEqual(result["mappedAddrs"][2], result["mappedAddr"])
        self.expect(result, "unknown", "address-and-port-dependent", -1)

    def test_private_advertised_other_address_is_never_contacted(self):
        self.serve_both("--other-advertised", "10.9.9.9")
        self.assertIn("other address 10.9.9.9 is not public", self.daemon.log())
        result = self.grade()
        self.assertEqual(result["otherAddr"], f"10.9.9.9:{OTHER_PORT}")
        self.assertEqual(result["mappedAddrs"][1:], ["", ""])
        self.expect(result, "unknown", "address-and-port-dependent", -1)
        with open(self.daemon.record_path, encoding="utf-8") as f:
            self.assertNotIn('"mapping"', [json.loads(line)["test"] for line in f])

    def test_gradings_that_cannot_be_told_apart_stop_the_start(self):
        for args in (["--other-address", S2],  # M2 and M3 would be the same request
                     ["--other-address", S2, "--other-port", str(PORT)],
                     ["--listen", f"{S2}:{PORT}", "--other-address", S2, "--other-port", "1"]):
            proc = subprocess.run([DAEMON, *args], capture_output=True, text=True)
            self.assertEqual(proc.returncode, 2, args)
            self.assertIn("--other-", proc.stderr)


class EndingTest(NatCase):
    """The line comes, with what was decided, whatever ends the run."""

    def test_unreachable_server(self):
        self.net = Topology(rules4=MASQUERADE)
        result = self.grade(timeout=1000)  # nothing listens there: refused at once
        self.expect(result, "unknown", "unknown", -1, nat=-1, preserved=-1)
        self.assertEqual(result["mappedAddrs"], ["", "", ""])
        self.assertLess(self.elapsed, 1.0)

    def test_sigterm_while_dialbacks_are_pending(self):
        self.net = Topology(public=True, rules4=FIREWALL)
        self.serve_both("--grading-timeout", "5000")
        result = self.grade(stop=0.5)
        self.assertNotEqual(result["mappedAddr"], "")
        self.assertEqual(result["filtering"], "unknown")
        self.assertEqual(result["natType"], -1)
        # Stopping palvexd with the dial-backs still out writes the held record.
        self.assertEqual(self.daemon.stop(), 0)
        record = self.grade_record()
        self.assertEqual(record["otherPort"], "timeout")
        self.daemon = None


if __name__ == "__main__":
    main("test_nat")
