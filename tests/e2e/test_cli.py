"""The command line as a user meets it: version, help, parse errors, the log file.

The binary comes from PALVEX_BIN (run through PALVEX_EMULATOR when set). A case that lets the
program run a mode for real goes through PALVEX_NETNS_RUN (fresh network namespace, private /tmp)
with a loopback target and short timeouts, so it stays offline whatever the detectors do; without
root such cases are skipped. Cases that end in the parser or the logger set-up run directly, and
still pin every target to loopback in case they ever got further.
"""

import datetime
import os
import re
import shlex
import shutil
import subprocess
import tempfile
import unittest

BIN = os.environ.get("PALVEX_BIN", "")
EMULATOR = shlex.split(os.environ.get("PALVEX_EMULATOR", ""))  # runs a cross-built binary
NETNS_RUN = os.environ.get("PALVEX_NETNS_RUN", "")

VERSION_LINE = "palvex 1.2.1 (d75a021c 2024-07-10)\n"
HINT = "Run with --help for more information."

# CLI11's exit codes for the errors below.
CONVERSION_ERROR = 104
EXTRAS_ERROR = 109
ARGUMENT_MISMATCH = 114

# Offline targets for cases that might reach a mode: loopback, a port nothing listens on there.
CLOSED_PORT = "1"
REVERSE_OFFLINE = ["-H", "127.0.0.1", "-P", CLOSED_PORT, "-t", "100"]
PING_OFFLINE = ["ping", "-H", "127.0.0.1", "-P", CLOSED_PORT, "-c", "1", "-i", "200"]

BANNER = re.compile(
    r"^(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3})\t(\d+)\t"
    r"I tovali: ==== palvex 1\.2\.1 \(d75a021c 2024-07-10\) ====\tmain:(\d+)$")
LOG_LINE = re.compile(r"^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3}\t\d+\t[EWID] ")

TOP_OPTIONS = [
    ("-h,--help", None, "Print this help message and exit"),
    ("-v,--version", None, "show version"),
    ("-l,--log_path", "TEXT", "log path, no log when empty"),
    ("-n,--nic", "TEXT", "bind nic"),
    ("-i,--ip", "TEXT", "bind ip (default: 0.0.0.0)"),
    ("-H,--host", "TEXT", "server host (default: empty)"),
    ("-P,--port", "UINT", "server port (default: 60002)"),
    ("-I,--bind_min_port", "UINT", "bind min port (default: 50000)"),
    ("-A,--bind_max_port", "UINT", "bind max port (default: 53000)"),
    ("-t,--timeout", "UINT", "detect timeout (default: 2000 ms)"),
    ("-6,--ipv6", None, "detect ipv6"),
    ("-L,--locate", None, "locate only"),
]

PING_OPTIONS = [
    ("-h,--help", None, "Print this help message and exit"),
    ("-H,--host", "TEXT", None),  # names the built-in default host, checked on its own
    ("-P,--port", "UINT", "ping dest port (default: 80)"),
    ("-c,--count", "UINT", "ping count (default: 10)"),
    ("-i,--interval", "UINT", "ping interval (default: 1000ms)"),
    ("-b,--bind_ip", "TEXT", "bind to ip"),
    ("-n,--bind_nic", "TEXT", "bind to nic"),
    ("-6,--ipv6", None, "detect ipv6"),
]

HELP_ROW = re.compile(r"^  (\S+)(?: (UINT|TEXT))?\s{2,}(.*?)\s*$")


def offline(base, option, value):
    """`base` with the value of `option` replaced (an option may be given only once)."""
    args = list(base)
    if option in args:
        args[args.index(option) + 1] = value
    else:
        args += [option, value]
    return args


def run(args, timeout=30, cwd=None):
    return subprocess.run(EMULATOR + [BIN] + args, capture_output=True, text=True,
                          timeout=timeout, cwd=cwd)


def run_isolated(test, args, timeout=60, cwd=None):
    """Runs the binary in fresh namespaces; skips the test when that is not possible."""
    if os.geteuid() != 0:
        test.skipTest("needs root for a network namespace")
    if not NETNS_RUN or not os.access(NETNS_RUN, os.X_OK):
        test.skipTest("PALVEX_NETNS_RUN is not set")
    return subprocess.run([NETNS_RUN] + EMULATOR + [BIN] + args, capture_output=True, text=True,
                          timeout=timeout, cwd=cwd)


def option_rows(help_text, section="Options:"):
    lines = help_text.split("\n")
    start = lines.index(section) + 1
    rows = []
    for line in lines[start:]:
        if not line.strip():
            break
        match = HELP_ROW.match(line)
        if match is None:
            raise AssertionError("unexpected help line: %r" % line)
        rows.append(match.groups())
    return rows


class CliTestCase(unittest.TestCase):
    def setUp(self):
        if not BIN or not os.access(BIN, os.X_OK):
            self.fail("PALVEX_BIN does not name the built binary")
        # Beside the binary, not under /tmp: the namespace wrapper mounts its own /tmp.
        self.dir = tempfile.mkdtemp(prefix="e2e-cli-", dir=os.path.dirname(BIN))
        self.addCleanup(shutil.rmtree, self.dir, True)

    def path(self, name):
        return os.path.join(self.dir, name)

    def assertNoFiles(self):
        self.assertEqual(os.listdir(self.dir), [])

    def assertParseError(self, args, code, first_line):
        result = run(args)
        self.assertEqual(result.returncode, code, result.stderr)
        self.assertEqual(result.stdout, "")
        lines = result.stderr.splitlines()
        self.assertEqual(lines, [first_line, HINT])


class VersionTest(CliTestCase):
    def test_version_alone(self):
        for flag in ("-v", "--version"):
            with self.subTest(flag=flag):
                result = run_isolated(self, [flag], cwd=self.dir)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, VERSION_LINE)
                self.assertEqual(result.stderr, "")
        self.assertNoFiles()

    def test_version_wins_over_the_ping_subcommand(self):
        for args in (["-v"] + PING_OFFLINE, ["-l", self.path("v.log"), "-v"] + PING_OFFLINE):
            with self.subTest(args=args):
                result = run(args, cwd=self.dir)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, VERSION_LINE)
                self.assertEqual(result.stderr, "")
        self.assertNoFiles()

    def test_version_with_reverse_options_creates_no_log(self):
        args = ["-n", "lo", "-i", "127.0.0.1", "-I", "50000", "-A", "50001", "-6", "-L", "-l",
                self.path("v.log")] + REVERSE_OFFLINE
        for position in (0, len(args)):
            with self.subTest(position=position):
                result = run(args[:position] + ["--version"] + args[position:], cwd=self.dir)
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, VERSION_LINE)
                self.assertEqual(result.stderr, "")
        self.assertNoFiles()


class HelpTest(CliTestCase):
    def test_top_level_help(self):
        for flag in ("-h", "--help"):
            with self.subTest(flag=flag):
                result = run([flag])
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stderr, "")
                self.assertTrue(result.stdout.startswith("Usage: "), result.stdout)
                self.assertIn("[OPTIONS] [SUBCOMMAND]", result.stdout.split("\n")[0])
                self.assertEqual(option_rows(result.stdout), TOP_OPTIONS)
                subcommands = option_rows(result.stdout, "Subcommands:")
                self.assertEqual(subcommands, [("ping", None, ""), ("nat", None, "grade tcp nat")])

    def test_ping_help(self):
        result = run(["ping", "--help"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, "")
        rows = option_rows(result.stdout)
        self.assertEqual([(name, kind) for name, kind, _ in rows],
                         [(name, kind) for name, kind, _ in PING_OPTIONS])
        for (name, _, got), (_, _, want) in zip(rows, PING_OPTIONS):
            if want is not None:
                self.assertEqual(got, want, name)
        self.assertRegex(rows[1][2], r"^ping dest host \(default: [A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+\)$")

    def test_nat_help(self):
        # The default mode's options, less --locate and --version, with the grading's timeout.
        want = [(n, k, {"-t,--timeout": "grading timeout (default: 3000 ms)",
                        "-6,--ipv6": "grade ipv6"}.get(n, d))
                for n, k, d in TOP_OPTIONS if n not in ("-v,--version", "-L,--locate")]
        want.append(("-u,--udp", None, "grade udp with stun (port default: 3478)"))
        self.assertEqual(option_rows(run(["nat", "--help"]).stdout), want)

    def test_help_wins_over_other_options(self):
        result = run(REVERSE_OFFLINE + ["-l", self.path("h.log"), "--help"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(option_rows(result.stdout), TOP_OPTIONS)
        self.assertNoFiles()


    @unittest.skipUnless(os.environ.get("PALVEXD_BIN"), "palvexd not built")
    def test_palvexd_defaults_in_help_and_man_page_agree(self):
        # CLI11 shows each default as the option's own value ("--workers UINT...=1"); the man
        # page says "Default N." under the same option.
        out = subprocess.run([os.environ["PALVEXD_BIN"], "--help"], capture_output=True,
                             text=True, timeout=10).stdout
        shown = dict(re.findall(r"^  (--[a-z-]+) \S+?=(\S+)", out, re.M))
        self.assertGreaterEqual(len(shown), 10)
        page = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
            os.path.abspath(__file__)))), "src", "server", "palvexd.8")
        with open(page, encoding="utf-8") as f:
            entries = re.split(r"^\.TP\n", f.read(), flags=re.M)
        documented = {}
        for entry in entries:
            name = re.match(r"\.BI? (\\-\\-[a-z\\-]+)", entry)
            default = re.search(r"^Default (\S+)\.$", entry, re.M)
            if name and default:
                documented[name.group(1).replace("\\", "")] = default.group(1)
        self.assertEqual(shown, {k: documented.get(k) for k in shown})


class ParseErrorTest(CliTestCase):
    def test_values_that_do_not_fit_are_rejected(self):
        cases = [
            ("-P", "70000", "Could not convert: --port = 70000"),
            ("-P", "65536", "Could not convert: --port = 65536"),
            ("-P", "-1", "Could not convert: --port = -1"),
            ("-I", "abc", "Could not convert: --bind_min_port = abc"),
            ("-t", "4294967296", "Could not convert: --timeout = 4294967296"),
        ]
        for option, value, message in cases:
            with self.subTest(option=option, value=value):
                self.assertParseError(offline(REVERSE_OFFLINE, option, value), CONVERSION_ERROR,
                                      message)

    def test_ping_values_that_do_not_fit_are_rejected(self):
        cases = [
            ("-c", "x", "Could not convert: --count = x"),
            ("-P", "70000", "Could not convert: --port = 70000"),
            ("-i", "1.5", "Could not convert: --interval = 1.5"),
        ]
        for option, value, message in cases:
            with self.subTest(option=option, value=value):
                self.assertParseError(offline(PING_OFFLINE, option, value), CONVERSION_ERROR,
                                      message)

    def test_an_option_given_twice_is_rejected(self):
        self.assertParseError(REVERSE_OFFLINE + ["-t", "200"], ARGUMENT_MISMATCH,
                              "--timeout: At Most 1 required but received 2")

    def test_unknown_option_and_missing_value(self):
        self.assertParseError(REVERSE_OFFLINE + ["--bogus"], EXTRAS_ERROR,
                              "The following argument was not expected: --bogus")
        self.assertParseError(REVERSE_OFFLINE + ["-l"], ARGUMENT_MISMATCH,
                              "--log_path: 1 required TEXT missing")


class LogFileTest(CliTestCase):
    def assertInitFails(self, log_path):
        result = run(["-l", log_path] + REVERSE_OFFLINE)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr, "init logger failed\n")
        self.assertEqual(result.stdout, "")

    def test_unwritable_log_directory(self):
        self.assertInitFails(self.path("missing/palvex.log"))
        with open(self.path("plain"), "w"):
            pass
        self.assertInitFails(self.path("plain/palvex.log"))
        # No one may create files in /proc, root included.
        self.assertInitFails("/proc/palvex-e2e.log")
        self.assertEqual(os.listdir(self.dir), ["plain"])
        # nat takes -l before or after its name, and fails the same way.
        for args in (["-l", "/proc/palvex-e2e.log", "nat"], ["nat", "-l", "/proc/palvex-e2e.log"]):
            result = run(args + REVERSE_OFFLINE)
            self.assertEqual((result.returncode, result.stderr, result.stdout),
                             (1, "init logger failed\n", ""))

    def test_read_only_directory_for_a_user(self):
        if os.geteuid() == 0:
            self.skipTest("root writes into any directory")
        os.mkdir(self.path("ro"), 0o555)
        self.assertInitFails(self.path("ro/palvex.log"))

    def test_banner_line_in_the_log_file(self):
        log = self.path("palvex.log")
        before = datetime.datetime.now().replace(microsecond=0)
        for _ in range(2):
            result = run_isolated(self, ["-l", log, "-t", "100"])
            self.assertEqual(result.returncode, 0, result.stderr)
        after = datetime.datetime.now()
        with open(log) as f:
            text = f.read()
        self.assertTrue(text.endswith("\n"))
        banners = [line for line in text.split("\n") if BANNER.match(line)]
        self.assertEqual(len(banners), 2, text)  # the second run appended
        self.assertRegex(text.split("\n")[0], BANNER)
        for line in banners:
            stamp = datetime.datetime.strptime(BANNER.match(line).group(1),
                                               "%Y-%m-%d %H:%M:%S.%f")
            self.assertGreaterEqual(stamp, before)
            self.assertLessEqual(stamp, after)
        # Logging goes only to the file.
        for line in (result.stdout + result.stderr).splitlines():
            self.assertNotRegex(line, LOG_LINE)

    def test_default_mode_without_log_path_logs_nothing(self):
        result = run_isolated(self, ["-t", "100"], cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        for line in (result.stdout + result.stderr).splitlines():
            self.assertNotRegex(line, LOG_LINE)
        self.assertNoFiles()

    def test_ping_ignores_the_log_path(self):
        result = run_isolated(self, ["-l", self.path("ping.log")] + PING_OFFLINE, cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        for line in (result.stdout + result.stderr).splitlines():
            self.assertNotRegex(line, LOG_LINE)
        # Given after the subcommand, the option is not the subcommand's: still no file.
        run_isolated(self, PING_OFFLINE + ["-l", self.path("ping.log")], cwd=self.dir)
        self.assertNoFiles()


if __name__ == "__main__":
    unittest.main()
