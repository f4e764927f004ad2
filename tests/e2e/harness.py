"""What the end-to-end files share: the test namespace they run in, and their child processes.

A file calls main(name) at the bottom. Started outside the namespace it re-executes itself under
tests/tools/netns-run (root only; exit 77, skipped, otherwise); inside, it runs its cases only
when inside_namespace() holds, so that no case ever touches the machine itself.
"""

import ctypes
import os
import signal
import socket
import sys
import unittest

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
NETNS_RUN = os.environ.get("PALVEX_NETNS_RUN", os.path.join(SOURCE_DIR, "tests", "tools",
                                                            "netns-run"))
MARK = "PALVEX_E2E_OUTER_NETNS"  # set on re-execution: the network namespace left behind


def inside_namespace():
    """True only in the wrapper's namespaces: the mark, the host name, and a network namespace
    other than the one the file was started in."""
    outer = os.environ.get(MARK, "")
    if not outer or socket.gethostname() != "palvex-test":
        return False
    try:
        return os.readlink("/proc/self/ns/net") != outer
    except OSError:
        return False


def require(*binaries):
    """For setUpClass: skips the cases outside the test namespace or without the binaries."""
    if not inside_namespace():
        raise unittest.SkipTest("needs the test namespace (run as root)")
    for path in binaries:
        if not os.access(path, os.X_OK):
            raise unittest.SkipTest(f"binary not found: {path}")


def die_with_parent():
    """In a child before exec: SIGKILL it when this test process dies, however it dies."""
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


def main(name):
    if MARK in os.environ:
        # Re-executed already: never wrap again, and never run outside the namespace.
        if not inside_namespace():
            print(f"{name}: not inside the test namespace; refusing to run", file=sys.stderr)
            sys.exit(1)
    else:
        if os.geteuid() != 0:
            print(f"{name}: needs root for its network namespace; skipped", file=sys.stderr)
            sys.exit(77)
        env = dict(os.environ, **{MARK: os.readlink("/proc/self/ns/net")})
        script = os.path.abspath(sys.modules["__main__"].__file__)
        os.execve(NETNS_RUN, [NETNS_RUN, sys.executable, script, *sys.argv[1:]], env)
    unittest.main(module="__main__")
