#!/usr/bin/env python3
"""bench/udp_bench.py -- tarvo's UDP figures beside iperf3's between two
network namespaces joined by veth (run as root).

For each datagram length it prints the medians of tarvo's Tx and Rx rates and
losses and of iperf3's receiver figures (-u -b 0, same length), and tarvo's
delivered rate as a ratio to iperf3's. Usage: bench/udp_bench.py [--runs N]
"""
import argparse
import json
import os
import re
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import BUILD, SECONDS, Server, build, needs, run_client, size_bytes  # noqa: E402
from netbed import A_ADDR, NetBed  # noqa: E402

RATE = r"(\d+) (K?)Byte/s \((\d+)%\)"

# Servers on one core and clients on the other, the same for both tools.
SERVER_CPU = ["taskset", "-c", "0"]
CLIENT_CPU = ["taskset", "-c", "1"]


def kbytes(number, k):
    return int(number) if k else int(number) / 1024


def tarvo_run(bed, size):
    out, _ = run_client(bed.cmd(bed.b, CLIENT_CPU + [os.path.join(BUILD, "tarvo"), "-u", "-b", size, A_ADDR]))
    m = re.search("bytes:  " + RATE + " Tx,  " + RATE + " Rx", out)
    if not m:
        sys.exit("unexpected tarvo output: " + out)
    g = m.groups()
    return kbytes(g[0], g[1]), int(g[2]), kbytes(g[3], g[4]), int(g[5])


def iperf3_run(bed, size):
    figures = []
    for reverse in ([], ["-R"]):
        out, _ = run_client(bed.cmd(bed.b, CLIENT_CPU + ["iperf3", "-c", A_ADDR, "-u", "-b", "0", "-l", str(size_bytes(size)),
                                            "-t", str(SECONDS), "-J"] + reverse))
        end = json.loads(out)["end"]
        received = end.get("sum_received", end["sum"])
        figures += [received["bits_per_second"] / 8 / 1024, end["sum"].get("lost_percent", 0.0)]
    return tuple(figures)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="1k,32k")
    args = parser.parse_args()
    needs("iperf3", "cmake", "g++", "ip", "taskset")
    build()
    with NetBed() as bed:
        servers = [Server(bed.cmd(bed.a, SERVER_CPU + [os.path.join(BUILD, "tarvo"), "-s", "-u"])),
                   Server(bed.cmd(bed.a, SERVER_CPU + ["iperf3", "-s"]))]
        try:
            for size in args.sizes.split(","):
                tarvo, iperf = [], []
                for run in range(args.runs):
                    tarvo.append(tarvo_run(bed, size))
                    iperf.append(iperf3_run(bed, size))
                    print("  run %d %s: tarvo %s, iperf3 %s" % (run + 1, size, tarvo[-1], iperf[-1]), file=sys.stderr)
                t = [statistics.median(r[i] for r in tarvo) for i in range(4)]
                p = [statistics.median(r[i] for r in iperf) for i in range(4)]
                print("\ndatagrams of %s, medians of %d runs, veth between two namespaces" % (size, args.runs))
                print("%-8s %12s %6s %12s %6s" % ("tool", "Tx KByte/s", "loss", "Rx KByte/s", "loss"))
                print("%-8s %12.0f %5.0f%% %12.0f %5.0f%%" % ("tarvo", t[0], t[1], t[2], t[3]))
                print("%-8s %12.0f %5.1f%% %12.0f %5.1f%%" % ("iperf3", p[0], p[1], p[2], p[3]))
                print("tarvo/iperf3 delivered: Tx %.3f  Rx %.3f" % (t[0] / p[0], t[2] / p[2]))
                sys.stdout.flush()
        finally:
            for server in servers:
                server.stop()


if __name__ == "__main__":
    main()
