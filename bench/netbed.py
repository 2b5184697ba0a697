"""bench/netbed.py -- two test hosts of our own: network namespaces joined by a
veth pair, host a at 10.77.0.1 and host b at 10.77.0.2. Everything is removed
again on leaving the `with` block, also after an error or an interrupt."""
import os
import shutil
import subprocess
import sys

A_ADDR = "10.77.0.1"
B_ADDR = "10.77.0.2"


def ip():
    return shutil.which("ip") or "/usr/sbin/ip"


class NetBed:
    def __init__(self, tag=None):
        tag = tag or str(os.getpid())
        self.a, self.b = "tarvo-bench-%s-a" % tag, "tarvo-bench-%s-b" % tag
        self.a_dev, self.b_dev = "tb%sa" % tag, "tb%sb" % tag

    def __enter__(self):
        if os.geteuid() != 0:
            sys.exit("the namespace test bed needs root")
        try:
            for ns in (self.a, self.b):
                self._ip("netns", "add", ns)
            self._ip("link", "add", self.a_dev, "netns", self.a, "type", "veth",
                     "peer", "name", self.b_dev, "netns", self.b)
            for ns, dev, addr in ((self.a, self.a_dev, A_ADDR), (self.b, self.b_dev, B_ADDR)):
                self._ip("-n", ns, "addr", "add", addr + "/24", "dev", dev)
                self._ip("-n", ns, "link", "set", "lo", "up")
                self._ip("-n", ns, "link", "set", dev, "up")
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for ns in (self.a, self.b):
            subprocess.run([ip(), "netns", "del", ns], stderr=subprocess.DEVNULL)

    def _ip(self, *args):
        subprocess.run([ip()] + list(args), check=True)

    def shape(self, ns, rate, burst="16kb", limit_frames=None, latency="50ms"):
        """tbf on the veth of host ns (its sending direction)."""
        dev = self.a_dev if ns == self.a else self.b_dev
        args = ["-n", ns, "qdisc", "replace", "dev", dev, "root", "tbf", "rate", rate, "burst", burst]
        args += ["limit", str(limit_frames * 1600)] if limit_frames else ["latency", latency]
        self._ip(*args)

    def cmd(self, ns, argv):
        """argv run in namespace ns; ip execs it in place, so its PID is the program's."""
        return [ip(), "netns", "exec", ns] + list(argv)
