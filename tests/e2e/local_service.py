"""palvexd for the end-to-end tests: start it, read its records, log and metrics, stop it.

Used inside the tests' own network namespaces only. Environment: PALVEXD_BIN (the binary).
"""

import contextlib
import json
import os
import signal
import subprocess
import time
import urllib.request

from harness import die_with_parent

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
DAEMON = os.environ.get("PALVEXD_BIN", os.path.join(SOURCE_DIR, "build", "palvexd"))
RECORD_KEYS = ["time", "peer", "local", "version", "identity", "country", "province", "city",
               "isp", "dialback"]


class Daemon:
    """One palvexd process writing its records and debug log into `workdir`."""

    def __init__(self, workdir, *args, prefix=(), metrics=None, wait=True):
        self.record_path = os.path.join(workdir, "records.jsonl")
        self.log_path = os.path.join(workdir, "palvexd.log")
        for path in (self.record_path, self.log_path):
            with contextlib.suppress(FileNotFoundError):
                os.remove(path)
        self.metrics_addr = metrics
        cmd = [*prefix, DAEMON, "-l", self.log_path, "--record", self.record_path, *args]
        if metrics:
            cmd += ["--metrics", metrics]
        self.proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True, preexec_fn=die_with_parent)
        self.stdout = self.stderr = ""
        if wait:
            self.wait_log("serving on", what="palvexd to start")

    def log(self):
        try:
            with open(self.log_path, encoding="utf-8", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def wait_for(self, predicate, what, limit=10.0):
        end = time.monotonic() + limit
        while time.monotonic() < end:
            if predicate():
                return
            if self.proc.poll() is not None:
                out, err = self.proc.communicate()
                raise AssertionError(f"palvexd ended (rc={self.proc.returncode}) while waiting "
                                     f"for {what}: {err}")
            time.sleep(0.01)
        raise AssertionError(f"gave up waiting for {what}")

    def wait_log(self, text, count=1, what=None):
        self.wait_for(lambda: self.log().count(text) >= count, what or f"log line {text!r}")

    def records(self, path=None):
        try:
            with open(path or self.record_path, encoding="utf-8") as f:
                lines = f.read().splitlines()
        except FileNotFoundError:
            return []
        out = []
        for line in lines:
            pairs = json.loads(line, object_pairs_hook=list)
            keys = [k for k, _ in pairs]
            want = RECORD_KEYS + (["dialbackMs"] if dict(pairs)["dialback"] == "ok" else [])
            if keys != want:
                raise AssertionError(f"record members: {keys}")
            if line != json.dumps(dict(pairs), separators=(",", ":"), ensure_ascii=False):
                raise AssertionError(f"record not compact: {line}")
            out.append(dict(pairs))
        return out

    def wait_records(self, count):
        self.wait_for(lambda: len(self.records()) >= count, f"{count} records")
        return self.records()

    def metrics(self):
        """{"name{labels}": value} from /metrics."""
        url = f"http://{self.metrics_addr}/metrics"
        with urllib.request.urlopen(url, timeout=5) as reply:
            text = reply.read().decode()
        values = {}
        for line in text.splitlines():
            if line and not line.startswith("#"):
                key, value = line.rsplit(" ", 1)
                values[key] = float(value)
        return values

    def rejected(self, reason):
        return int(self.metrics()[f'palvexd_rejected_total{{reason="{reason}"}}'])

    def send(self, sig):
        self.proc.send_signal(sig)

    def stop(self, sig=signal.SIGTERM, timeout=10):
        """Signals palvexd and returns its exit code."""
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait(timeout)

    def wait(self, timeout=10):
        """Waits for palvexd to end by itself; returns its exit code."""
        try:
            self.stdout, self.stderr = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.communicate()
            raise AssertionError("palvexd did not stop")
        return self.proc.returncode
