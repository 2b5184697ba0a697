"""bench/netbed.py -- two test hosts of our own: network namespaces joined by a
veth pair, host a at 10.77.0.1 and host b at 10.77.0.2. Everything is removed
again on leaving the `with` block, also after an error or an interrupt."""
import os
import shutil
import signal
import subprocess
import sys

A_ADDR = "10.77.0.1"
B_ADDR = "10.77.0.2"
A_MAC = "02:00:0a:4d:00:01"
B_MAC = "02:00:0a:4d:00:02"


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
        # a SIGTERM unwinds like an interrupt, so that the bed is removed
        signal.signal(signal.SIGTERM, lambda *_: sys.exit("terminated"))
        try:
            for ns in (self.a, self.b):
                self._ip("netns", "add", ns)
            self._ip("link", "add", self.a_dev, "netns", self.a, "address", A_MAC, "type", "veth",
                     "peer", "name", self.b_dev, "netns", self.b, "address", B_MAC)
            for ns, dev, addr, peer, peer_mac in ((self.a, self.a_dev, A_ADDR, B_ADDR, B_MAC),
                                                  (self.b, self.b_dev, B_ADDR, A_ADDR, A_MAC)):
                self._ip("-n", ns, "addr", "add", addr + "/24", "dev", dev)
                self._ip("-n", ns, "link", "set", "lo", "up")
                self._ip("-n", ns, "link", "set", dev, "up")
                # a fixed neighbour: a host whose queue is full of its own datagrams
                # would drop its ARP probes and lose its peer for a second
                self._ip("-n", ns, "neigh", "replace", peer, "lladdr", peer_mac, "nud", "permanent", "dev", dev)
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for ns in (self.a, self.b):
            subprocess.run([ip(), "netns", "del", ns], stderr=subprocess.DEVNULL)

    def _ip(self, *args):
        subprocess.run([ip()] + list(args), check=True)

    def shape(self, ns, rate, burst="32kb", limit=200000):
        """A token bucket on the veth of host ns, shaping what that host sends;
        limit is the queue in bytes (a short one drops rather than blocks)."""
        dev = self.a_dev if ns == self.a else self.b_dev
        subprocess.run(["tc", "-n", ns, "qdisc", "replace", "dev", dev, "root", "tbf", "rate", rate,
                        "burst", burst, "limit", str(limit)], check=True)

    def cmd(self, ns, argv):
        """argv run in namespace ns; ip execs it in place, so its PID is the program's."""
        return [ip(), "netns", "exec", ns] + list(argv)
