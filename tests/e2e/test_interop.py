"""palvex and palvexd against Debian's STUN software (coturn's turnserver, turnutils_natdiscovery
and turnutils_stunclient; stun-client's classic `stun`), through the kernel's own NAT in the
routers of test_nat.py, IPv4 and IPv6. Environment: PALVEX_BIN, PALVEXD_BIN, PALVEX_NETNS_RUN.
"""

import re
import shutil
import subprocess
import time
import unittest

from harness import die_with_parent, main
from test_nat import (FIREWALL, MASQUERADE, OTHER_PORT, PORT, RANDOM_PORTS, S1, S1_6, S2, S2_6,
                      UDP_FORWARD_ALL, UDP_FORWARD_CONTACTED, NatCase, Topology, ipv6_rules)

NATDISCOVERY_GRADES = {
    "Endpoint Independent": "endpoint-independent", "Address Dependent": "address-dependent",
    "Address and Port Dependent": "address-and-port-dependent"}


@unittest.skipUnless(shutil.which("turnserver") and shutil.which("turnutils_natdiscovery")
                     and shutil.which("stun"), "coturn and stun-client not installed")
class InteropTest(NatCase):
    ipv6 = False

    @property
    def s1(self):
        return S1_6 if self.ipv6 else S1

    @property
    def s2(self):
        return S2_6 if self.ipv6 else S2

    """palvex and palvexd against Debian's third-party STUN server and clients, both ways."""

    def turnserver(self):
        # Two addresses and an alternate port, on the command line only (-n): Debian's own
        # configuration file turns RFC 5780 off.
        proc = subprocess.Popen(
            ["ip", "netns", "exec", self.net.srv, "turnserver", "-n", "-S", "--no-cli", "--no-tls",
             "--no-dtls", "-L", self.s1, "-L", self.s2, "-p", "3478", "--alt-listening-port",
             str(OTHER_PORT), "--log-file", "stdout", "--simple-log"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=die_with_parent)
        self.addCleanup(lambda: (proc.poll() is None and proc.terminate(), proc.wait()))
        time.sleep(1)  # it answers within a few hundred ms
        return proc

    def natdiscovery(self):
        """(mapping, filtering) by turnutils_natdiscovery, each from a port of the range the
        routers forward, on a socket of its own (so that the mapping test's packets to S2 do not
        open the filter the filtering test measures)."""
        verdicts = []
        for flag, port, what in (("-m", 51001, "Mapping"), ("-f", 51002, "Filtering")):
            self.net.forget()
            out = subprocess.run(["ip", "netns", "exec", self.net.dev, "timeout", "30",
                                  "turnutils_natdiscovery", flag, "-L",
                                  self.net.device_ip6 if self.ipv6 else self.net.device_ip, "-l",
                                  str(port), self.s1], capture_output=True, text=True).stdout
            found = re.findall(rf"NAT with (.*?) {what}!", out)
            verdicts.append(NATDISCOVERY_GRADES[found[-1]] if found else "none")
        return tuple(verdicts)

    def classic(self):
        """The RFC 3489 client's verdict and exit status (it speaks IPv4 only)."""
        if self.ipv6:
            return None
        self.net.forget()
        proc = subprocess.run(["ip", "netns", "exec", self.net.dev, "timeout", "30", "stun", S1],
                              capture_output=True, text=True)
        return proc.returncode, proc.stdout.splitlines()[-2:]

    def stunclient(self):
        """turnutils_stunclient's first response as it prints it, the reflexive port (a new
        local port each run) left out. Its later requests ask for RESPONSE-PORT, a reply to
        another port than the request's, which palvexd never sends; the client then waits for
        ever, hence the timeout."""
        out = subprocess.run(["ip", "netns", "exec", self.net.dev, "timeout", "3",
                              "turnutils_stunclient", self.s1], capture_output=True,
                             text=True).stdout
        first = out.split("RFC 5780 response 1", 1)[-1].split("RFC 5780 response 2", 1)[0]
        return sorted(re.sub(r"(reflexive addr: \[?[0-9a-f.:]+?\]?):\d+$", r"\1", line).strip()
                      for line in first.splitlines() if ": " in line)

    def test_verdicts_agree_with_third_party_software(self):
        cases = [("public", True, ""), ("masquerade", False, MASQUERADE),
                 ("random ports", False, RANDOM_PORTS),
                 ("forward to anyone", False, MASQUERADE + "\n" + UDP_FORWARD_ALL),
                 ("forward to contacted", False, MASQUERADE + "\n" + UDP_FORWARD_CONTACTED),
                 ("firewall", True, FIREWALL)]
        for name, public, rules in cases:
            with self.subTest(name):
                self.net = Topology(public=public, rules4="" if self.ipv6 else rules,
                                    rules6=ipv6_rules(rules) if self.ipv6 else "")
                turn = self.turnserver()
                self.net.forget()
                ours = self.grade("-u", "-P", "3478", host=self.s1, ipv6=self.ipv6)
                theirs = self.natdiscovery()
                classic_theirs = self.classic()
                # Only where nothing is filtered: the client waits for ever for what is.
                unfiltered = ours["filtering"] == "endpoint-independent"
                fields_theirs = self.stunclient() if unfiltered else None
                turn.terminate()
                turn.wait()
                # palvex against turnserver agrees with turnserver's own client, which calls a
                # public address's mapping endpoint-independent rather than "No NAT".
                mapping = "endpoint-independent" if ours["mapping"] == "none" else ours["mapping"]
                self.assertEqual((mapping, ours["filtering"]), theirs, ours)
                stun = f"[{self.s1}]:3478" if self.ipv6 else f"{self.s1}:3478"
                self.serve("--listen", f"{S1}:{PORT}", "--other-address", self.s2,
                           "--other-port", str(OTHER_PORT), "--stun", stun)
                # Their clients against palvexd: the same verdicts as against turnserver.
                self.assertEqual(self.natdiscovery(), theirs)
                self.assertEqual(self.classic(), classic_theirs)
                if unfiltered:
                    self.assertEqual(self.stunclient(), fields_theirs)
                    self.assertTrue(fields_theirs)
                self.daemon.stop()
                self.daemon = None
                self.net.close()
                self.net = None



class InteropIpv6Test(InteropTest):
    ipv6 = True


if __name__ == "__main__":
    main("test_interop")
