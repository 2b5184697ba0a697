"""bench/netbed.py -- the two test hosts of tools/netbed.sh, which the tests use
too: network namespaces joined by a veth pair, host a at 10.77.0.1 and
2001:db8:77::1, host b at 10.77.0.2 and 2001:db8:77::2. Everything is removed again on leaving the `with` block, also
after an error or an interrupt."""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading

A_ADDR = "10.77.0.1"
B_ADDR = "10.77.0.2"
A_ADDR6 = "2001:db8:77::1"
TOOLS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools")
NETBED = os.path.join(TOOLS, "netbed.sh")


# ip netns add is not safe to run twice at once: beds of several threads
# are made and removed one after another
_BEDS = threading.Lock()


def ip():
    return shutil.which("ip") or "/usr/sbin/ip"


class NetBed:
    """The bed of tools/netbed.sh, which the tests use too."""

    def __init__(self, tag=None):
        self.tag = tag or "b%d" % os.getpid()
        self.a, self.b = "tarvo-%s-a" % self.tag, "tarvo-%s-b" % self.tag

    def __enter__(self):
        if os.geteuid() != 0:
            sys.exit("the namespace test bed needs root")
        # a SIGTERM unwinds like an interrupt, so that the bed is removed
        # (a handler can only be set from the main thread)
        if threading.current_thread() is threading.main_thread():
            signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
        try:
            with _BEDS:
                subprocess.run([NETBED, "up", self.tag], check=True)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        with _BEDS:
            subprocess.run([NETBED, "down", self.tag])

    def shape(self, ns, rate, burst="32kb", limit=200000):
        """A token bucket on the veth of host ns, shaping what that host sends;
        limit is the queue in bytes (a short one drops rather than blocks)."""
        host = "a" if ns == self.a else "b"
        subprocess.run([NETBED, "shape", self.tag, host, rate, burst, str(limit)], check=True)

    def dev(self, ns):
        """The veth end of host ns."""
        return "tv%s%s" % (self.tag, "a" if ns == self.a else "b")

    def cmd(self, ns, argv):
        """argv run in namespace ns; ip execs it in place, so its PID is the program's."""
        return [ip(), "netns", "exec", ns] + list(argv)

    @contextlib.contextmanager
    def wire(self, ns):
        """What crossed host ns's end of the link while the block ran, as
        tools/wire.py reads it from a capture of the frames' headers: a dict
        that the block's end fills, keyed by ("TCP" or "UDP", from, to), of
        the numbers of each line."""
        lines = {}
        fd, path = tempfile.mkstemp(prefix="tarvo-wire-")
        os.close(fd)
        try:
            capture = subprocess.Popen([NETBED, "capture", self.tag, "a" if ns == self.a else "b", path],
                                       stderr=subprocess.PIPE, text=True)
            try:
                while "listening on" not in capture.stderr.readline():
                    if capture.poll() is not None:
                        sys.exit("tcpdump did not start")
                yield lines
            finally:
                capture.send_signal(signal.SIGINT)
                capture.communicate(timeout=30)
            out = subprocess.run([os.path.join(TOOLS, "wire.py"), path], capture_output=True, text=True,
                                 check=True).stdout
            for line in out.splitlines():
                words = line.split()
                lines[tuple(words[:3])] = [float(w) for w in words[3:]]
        finally:
            os.unlink(path)
