#!/usr/bin/env python3
"""bench/udp_bench.py -- tarvo's UDP figures beside iperf3's and iperf 2's
between two network namespaces joined by veth (run as root), servers pinned
to one core and clients to the other.

For each datagram length it prints the medians of each tool's delivered rates
(what the receiving side counted) and losses in both directions, the losses
also as the kernel counted them (RcvbufErrors of the receiving host over
OutDatagrams of the sending host, the same measure for every tool), and the
CPU seconds that each client spent per million datagrams it sent or received
(the kernel's own count, /proc/net/snmp of the client's namespace). Peers send as
fast as they can: iperf3 -u -b 0, iperf -u -b 100G, the same length.
Usage: bench/udp_bench.py [--runs N] [--sizes 1k,32k]
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
from common import BUILD, CLIENT_CPU, SECONDS, SERVER_CPU, Server, build, needs, run_client, size_bytes  # noqa: E402
from netbed import A_ADDR, NetBed  # noqa: E402

RATE = r"(\d+) (K?)Byte/s \((\d+)%\)"


def kbytes(number, k):
    return int(number) if k else int(number) / 1024


def udp_counters(bed, ns):
    """The Udp line of /proc/net/snmp of host ns: the kernel's own counts."""
    out = subprocess.run(bed.cmd(ns, ["cat", "/proc/net/snmp"]), capture_output=True, text=True, check=True).stdout
    names, values = [line.split()[1:] for line in out.splitlines() if line.startswith("Udp:")][:2]
    return dict(zip(names, map(int, values)))


def kernel_counts(bed):
    """What the kernel counted for each direction: the client host b sends Tx
    and the server host a drops what its socket had no room for; Rx the other
    way round. moved is what the client's host sent and read."""
    a, b = udp_counters(bed, bed.a), udp_counters(bed, bed.b)
    return Counter(moved=b["OutDatagrams"] + b["InDatagrams"], tx_sent=b["OutDatagrams"],
                   tx_dropped=a["RcvbufErrors"], rx_sent=a["OutDatagrams"], rx_dropped=b["RcvbufErrors"])


def client(bed, argv):
    """Runs a pinned client on host b: (stdout, CPU seconds, the kernel's counts meanwhile)."""
    before = kernel_counts(bed)
    out, cpu = run_client(bed.cmd(bed.b, CLIENT_CPU + argv))
    after = kernel_counts(bed)
    after.subtract(before)
    return out, cpu, after


def tarvo_run(bed, size):
    out, cpu, counts = client(bed, [os.path.join(BUILD, "tarvo"), "-u", "-b", size, A_ADDR])
    m = re.search("bytes:  " + RATE + " Tx,  " + RATE + " Rx", out)
    if not m:
        sys.exit("unexpected tarvo output: " + out)
    g = m.groups()
    return kbytes(g[0], g[1]), int(g[2]), kbytes(g[3], g[4]), int(g[5]), cpu, counts


def iperf3_run(bed, size):
    figures, cpu, counts = [], 0, Counter()
    for reverse in ([], ["-R"]):
        out, c, m = client(bed, ["iperf3", "-c", A_ADDR, "-u", "-b", "0", "-l", str(size_bytes(size)),
                                 "-t", str(SECONDS), "-J"] + reverse)
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


def iperf2_run(bed, size):
    """iperf 2's receiver figures: the server's report for Tx, the client's own
    for Rx (-R). The rate comes from the datagrams received (total less lost)
    over the report's interval: at 32k its byte count disagrees with its own
    datagram count. Its server is started afresh for each direction, because
    at 32k it dies after a reverse run (double free)."""
    figures, cpu, counts = [], 0, Counter()
    length = size_bytes(size)
    for reverse in ([], ["-R"]):
        with tempfile.NamedTemporaryFile("w+", suffix=".iperf2") as log:
            server = Server(bed.cmd(bed.a, SERVER_CPU + ["iperf", "-s", "-u", "-y", "C"]), stdout=log)
            out, c, m = client(bed, ["iperf", "-c", A_ADDR, "-u", "-b", "100G", "-l", str(length),
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="1k,32k")
    args = parser.parse_args()
    needs("iperf3", "iperf", "cmake", "g++", "ip", "taskset")
    build()
    with NetBed() as bed:
        servers = [Server(bed.cmd(bed.a, SERVER_CPU + [os.path.join(BUILD, "tarvo"), "-s", "-u"])),
                   Server(bed.cmd(bed.a, SERVER_CPU + ["iperf3", "-s"]))]
        tools = {"tarvo": tarvo_run, "iperf3": iperf3_run, "iperf2": iperf2_run}
        try:
            for size in args.sizes.split(","):
                results = {name: [] for name in tools}
                for run in range(args.runs):
                    for name, measure in tools.items():
                        results[name].append(measure(bed, size))
                        print("  run %d %-6s %s: %s" % (run + 1, name, size, results[name][-1]), file=sys.stderr)
                report(size, results)
        finally:
            for server in servers:
                server.stop()


def report(size, results):
    print("\ndatagrams of %s, medians of %d runs, veth between two namespaces, pinned" %
          (size, len(results["tarvo"])))
    print("Loss as the tool reports it (tarvo: whole percent, rounded down) and as the kernel")
    print("counted it (datagrams the receiving socket had no room for, of those sent).")
    print("%-8s %11s %6s %6s %11s %6s %6s %13s" % ("tool", "Tx KByte/s", "loss", "kernel", "Rx KByte/s", "loss",
                                                  "kernel", "CPU s/Mdgram"))
    med = {}
    for name, runs in results.items():
        m = [statistics.median(r[i] for r in runs) for i in range(4)]
        share = lambda c, d, s: c[d] * 100 / c[s] if c[s] else 0  # noqa: E731
        tx_kernel = statistics.median(share(r[5], "tx_dropped", "tx_sent") for r in runs)
        rx_kernel = statistics.median(share(r[5], "rx_dropped", "rx_sent") for r in runs)
        cpu = statistics.median(r[4] / r[5]["moved"] * 1e6 if r[5]["moved"] else 0 for r in runs)
        med[name] = m + [cpu]
        print("%-8s %11.0f %5.1f%% %5.2f%% %11.0f %5.1f%% %5.2f%% %13.3f" %
              (name, m[0], m[1], tx_kernel, m[2], m[3], rx_kernel, cpu))
    t = med["tarvo"]
    ratio = lambda a, b: "%.3f" % (a / b) if b else "n/a"  # noqa: E731 (a peer that moved nothing)
    for name in ("iperf3", "iperf2"):
        p = med[name]
        print("tarvo/%-7s delivered Tx %s  Rx %s  CPU per datagram %s" %
              (name, ratio(t[0], p[0]), ratio(t[2], p[2]), ratio(t[4], p[4])))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
