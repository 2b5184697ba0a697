#!/usr/bin/env python3
"""bench/udp_bench.py -- tarvo's UDP figures beside iperf3's (Debian's 3.12
and the newest, 3.21 with --gsro) and iperf 2's, between two network
namespaces joined by veth (run as root), servers pinned to one core and
clients to the other.

Three beds:
- segmenting: both veth ends with tx-udp-segmentation off and gro on, so that
  every datagram crosses the link alone (veth merges nothing with gro alone);
- plain: veth as it comes, where trains of datagrams cross whole, as between
  containers on one host;
- gro: as segmenting, with rx-udp-gro-forwarding on at both ends, so that
  the receiving end merges the datagrams of a flow again, as a receiver
  behind a NIC with GRO sees them.

For each datagram length it prints the medians of each tool's delivered rates
(what the receiving side counted) and losses in both directions as the tool
reports them, the loss as the kernel counted it where it counts per datagram,
the receiving socket's own drops (RcvbufErrors; a train dropped whole
counts once), and the CPU seconds that each client spent per million datagrams it sent or
received. A pfifo queue that never drops on each veth end counts every
datagram sent (a train as its datagrams); the receiving socket's RcvbufErrors
count what it had no room for, but a datagram at a time only for a receiver
that takes no trains. Peers send as fast as they can: iperf3 -u -b 0, iperf
-u -b 100G, the same length.

Every tool runs over IPv4 (10.77.0.1) and over IPv6 (2001:db8:77::1) in
turn within each run, its IPv6 runs named with "-6"; each table is of one
family, and the last line sets tarvo over IPv6 against tarvo over IPv4.
Usage: bench/udp_bench.py [--runs N] [--sizes 1k,32k] [--beds segmenting,plain,gro] [--families 4,6]
                          [--tools NAMES] [--tarvo BINARY]
"""
import argparse
from collections import Counter
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import (BUILD, CLIENT_CPU, SECONDS, SERVER_CPU, Server, build, needs, newest_iperf3,  # noqa: E402
                    race, run_client, size_bytes)
from netbed import A_ADDR, A_ADDR6, NetBed  # noqa: E402

RATE = r"(\d+) (K?)Byte/s \((\d+)%\)"
NEWEST_PORT = 5301
# the receivers that take trains whole: their socket's drops count a train once
TAKES_TRAINS = {"tarvo", "iperf3.21"}


def kbytes(number, k):
    return int(number) if k else int(number) / 1024


def snmp(bed, ns):
    """The Udp and Tcp lines of /proc/net/snmp of host ns, and IPv6's Udp6
    counters of /proc/net/snmp6: the kernel's own counts."""
    out = subprocess.run(bed.cmd(ns, ["cat", "/proc/net/snmp", "/proc/net/snmp6"]), capture_output=True, text=True,
                         check=True).stdout
    counts = {}
    for proto in ("Udp", "Tcp"):
        names, values = [line.split()[1:] for line in out.splitlines() if line.startswith(proto + ":")][:2]
        counts.update({proto + name: int(value) for name, value in zip(names, values)})
    counts.update({line.split()[0]: int(line.split()[1]) for line in out.splitlines() if line.startswith("Udp6")})
    return counts


def queued(bed, ns):
    """The packets that host ns's queue passed: every datagram, those of a train each."""
    dev = bed.dev(ns)
    out = subprocess.run(bed.cmd(ns, ["tc", "-s", "qdisc", "show", "dev", dev]), capture_output=True, text=True,
                         check=True).stdout
    return int(re.search(r"Sent \d+ bytes (\d+) pkt", out).group(1))


def kernel_counts(bed):
    """What the kernel counted for each direction, a datagram at a time: the
    client host b sends Tx (its queue less the control connection's
    segments), the server host a drops what its socket had no room for; Rx
    the other way round. Drops of both families: each run uses one."""
    a, b = snmp(bed, bed.a), snmp(bed, bed.b)
    drops = lambda c: c["UdpRcvbufErrors"] + c["Udp6RcvbufErrors"]  # noqa: E731
    return Counter(tx_sent=queued(bed, bed.b) - b["TcpOutSegs"], tx_dropped=drops(a),
                   rx_sent=queued(bed, bed.a) - a["TcpOutSegs"], rx_dropped=drops(b))


def client(bed, argv):
    """Runs a pinned client on host b: (stdout, CPU seconds, the kernel's counts meanwhile)."""
    before = kernel_counts(bed)
    out, cpu = run_client(bed.cmd(bed.b, CLIENT_CPU + argv))
    after = kernel_counts(bed)
    after.subtract(before)
    return out, cpu, after


def tarvo_run(bed, size, tarvo, addr):
    out, cpu, counts = client(bed, [tarvo, "-u", "-b", size, addr])
    m = re.search("bytes:  " + RATE + " Tx,  " + RATE + " Rx", out)
    if not m:
        sys.exit("unexpected tarvo output: " + out)
    g = m.groups()
    return kbytes(g[0], g[1]), int(g[2]), kbytes(g[3], g[4]), int(g[5]), cpu, counts


def iperf3_run(bed, size, addr, binary="iperf3", extra=()):
    figures, cpu, counts = [], 0, Counter()
    family = ["-6"] if ":" in addr else []
    for reverse in ([], ["-R"]):
        out, c, m = client(bed, [binary, "-c", addr] + family + ["-u", "-b", "0", "-l", str(size_bytes(size)),
                                 "-t", str(SECONDS), "-J"] + list(extra) + reverse)
        end = json.loads(out)["end"]
        received = end.get("sum_received", end["sum"])
        figures += [received["bits_per_second"] / 8 / 1024, end["sum"].get("lost_percent", 0.0)]
        cpu, counts = cpu + c, counts + m
    return tuple(figures) + (cpu, counts)


def server_report(log):
    """What iperf 2's server wrote to log: its report comes once its interval is over."""
    for _ in range(50):
        log.seek(0)
        out = log.read()
        if out.strip():
            break
        time.sleep(0.2)
    return out


def iperf2_run(bed, size, addr):
    """iperf 2's receiver figures: the server's report for Tx, the client's own
    for Rx (-R). The rate comes from the datagrams received (total less lost)
    over the report's interval: at 32k its byte count disagrees with its own
    datagram count. Its server is started afresh for each direction, because
    at 32k it dies after a reverse run (double free)."""
    figures, cpu, counts = [], 0, Counter()
    length = size_bytes(size)
    family = ["-V"] if ":" in addr else []
    for reverse in ([], ["-R"]):
        with tempfile.NamedTemporaryFile("w+", suffix=".iperf2") as log:
            server = Server(bed.cmd(bed.a, SERVER_CPU + ["iperf", "-s", "-u", "-y", "C"] + family), stdout=log)
            out, c, m = client(bed, ["iperf", "-c", addr] + family + ["-u", "-b", "100G", "-l", str(length),
                                     "-t", str(SECONDS), "-y", "C"] + reverse)
            if not reverse:
                out = server_report(log)
            server.stop()
        # CSV: ..., interval, bytes, bits/s, jitter, lost, total, percent, out of order
        fields = out.strip().splitlines()[-1].split(",")
        start, end = map(float, fields[6].split("-"))
        lost, total = int(fields[10]), int(fields[11])
        figures += [(total - lost) * length / (end - start) / 1024, float(fields[12])]
        cpu, counts = cpu + c, counts + m
    return tuple(figures) + (cpu, counts)


def set_up(bed, kind):
    """A queue that never drops and counts every datagram on both ends; on the
    segmenting and gro beds, no segmentation offload and GRO on (off first:
    veth takes its receive path only when GRO is asked for); on the gro bed,
    merging of forwarded UDP flows too, which veth needs to merge any."""
    for ns in (bed.a, bed.b):
        dev = bed.dev(ns)
        subprocess.run(bed.cmd(ns, ["tc", "qdisc", "replace", "dev", dev, "root", "pfifo", "limit", "100000"]),
                       check=True)
        if kind in ("segmenting", "gro"):
            settings = [["tx-udp-segmentation", "off", "gro", "off"], ["gro", "on"]]
            if kind == "gro":
                settings.append(["rx-udp-gro-forwarding", "on"])
            for setting in settings:
                subprocess.run(bed.cmd(ns, ["ethtool", "-K", dev] + setting), check=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="1k,32k")
    parser.add_argument("--beds", default="segmenting,plain,gro")
    parser.add_argument("--families", default="4,6")
    parser.add_argument("--tools", help="race only these, as tarvo,iperf3,iperf2,iperf3.21")
    parser.add_argument("--tarvo", help="a tarvo binary to race instead of this tree's (an earlier build)")
    args = parser.parse_args()
    needs("iperf3", "iperf", "cmake", "g++", "ip", "taskset", "ethtool")
    build()
    tarvo = os.path.abspath(args.tarvo) if args.tarvo else os.path.join(BUILD, "tarvo")
    newest = newest_iperf3()
    for kind in args.beds.split(","):
        with NetBed() as bed:
            set_up(bed, kind)
            servers = [Server(bed.cmd(bed.a, SERVER_CPU + [tarvo, "-s", "-u"])),
                       Server(bed.cmd(bed.a, SERVER_CPU + ["iperf3", "-s"]))]
            if newest:
                servers.append(Server(bed.cmd(bed.a, SERVER_CPU + [newest, "-s", "-p", str(NEWEST_PORT)])))
            tools = {}
            for family in args.families.split(","):
                addr, tag = (A_ADDR, "") if family == "4" else (A_ADDR6, "-6")
                tools.update({"tarvo" + tag: lambda s, a=addr: tarvo_run(bed, s, tarvo, a),
                              "iperf3" + tag: lambda s, a=addr: iperf3_run(bed, s, a),
                              "iperf2" + tag: lambda s, a=addr: iperf2_run(bed, s, a)})
                if newest:
                    tools["iperf3.21" + tag] = lambda s, a=addr: iperf3_run(bed, s, a, newest,
                                                                            ["-p", str(NEWEST_PORT), "--gsro"])
            try:
                race(tools, args.tools, args.sizes, args.runs, lambda size, results: report(kind, size, results),
                     lambda run, name, size, figures: "  %s run %d %-9s %s: %s" % (kind, run, name, size, figures))
            finally:
                for server in servers:
                    server.stop()


def report(kind, size, results):
    """A table for each family, then tarvo over IPv6 against tarvo over IPv4."""
    v4 = {name: runs for name, runs in results.items() if not name.endswith("-6")}
    v6 = {name[:-2]: runs for name, runs in results.items() if name.endswith("-6")}
    tarvo = {}
    for family, figures in (("IPv4", v4), ("IPv6", v6)):
        if figures:
            tarvo[family] = report_family(kind, size, family, figures)
    if tarvo.get("IPv4") and tarvo.get("IPv6"):
        t4, t6 = tarvo["IPv4"], tarvo["IPv6"]
        print("tarvo IPv6/IPv4: delivered Tx %.3f  Rx %.3f" % (t6[0] / t4[0] if t4[0] else 0, t6[2] / t4[2] if t4[2] else 0))
    sys.stdout.flush()


def report_family(kind, size, family, results):
    """The family's table and tarvo's ratios to the peers; tarvo's medians."""
    runs = len(next(iter(results.values())))
    print("\n%s veth, %s, datagrams of %s, medians of %d runs, pinned" % (kind, family, size, runs))
    print("Loss as the tool reports it (tarvo: whole percent, rounded down) and as the kernel counted it")
    print("(datagrams the receiving socket had no room for, of those sent); '-' where the receiver takes")
    print("trains whole (tarvo, iperf3.21 --gsro), whose drops the kernel counts a train at a time.")
    print("%-9s %11s %6s %6s %11s %6s %6s %13s %17s" % ("tool", "Tx KByte/s", "loss", "kernel", "Rx KByte/s", "loss",
                                                        "kernel", "CPU s/Mdgram", "socket drops T/R"))
    med = {}
    for name, runs in results.items():
        m = [statistics.median(r[i] for r in runs) for i in range(4)]
        share = lambda c, d, s: c[d] * 100 / c[s] if c[s] else 0  # noqa: E731
        kernel = ["%5.2f%%" % statistics.median(share(r[5], d + "_dropped", d + "_sent") for r in runs)
                  if name not in TAKES_TRAINS else "     -" for d in ("tx", "rx")]
        moved = lambda c: c["tx_sent"] + c["rx_sent"]  # noqa: E731
        # a tool that moved (next to) nothing has no CPU per datagram to speak of
        cpu = statistics.median(r[4] / moved(r[5]) * 1e6 if moved(r[5]) > 1000 else 0 for r in runs)
        drops = [statistics.median(r[5][d + "_dropped"] for r in runs) for d in ("tx", "rx")]
        med[name] = m + [cpu] + drops
        print("%-9s %11.0f %5.1f%% %s %11.0f %5.1f%% %s %13.3f %8d/%-8d" %
              (name, m[0], m[1], kernel[0], m[2], m[3], kernel[1], cpu, drops[0], drops[1]))
    if "tarvo" not in med:
        return None
    t = med["tarvo"]
    ratio = lambda a, b: "%.3f" % (a / b) if b else "n/a"  # noqa: E731 (a peer that moved nothing)
    for name in ("iperf3", "iperf2", "iperf3.21"):
        if name not in med:
            print("tarvo/%-9s no figures: the peer is missing or was not raced" % name)
            continue
        if not med[name][0] or not med[name][2]:
            print("tarvo/%-9s none: the peer moved nothing (iperf3.21 --gsro sends nothing where a "
                  "datagram exceeds the MTU)" % name)
            continue
        p = med[name]
        print("tarvo/%-9s delivered Tx %s  Rx %s  CPU per datagram %s" %
              (name, ratio(t[0], p[0]), ratio(t[2], p[2]), ratio(t[4], p[4])))
    return t


if __name__ == "__main__":
    main()
