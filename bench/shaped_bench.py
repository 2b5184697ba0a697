#!/usr/bin/env python3
"""bench/shaped_bench.py -- tarvo's and iperf3's figures on a link of known
speed (run as root): two namespaces joined by veth, the client's direction
shaped to 100 Mbit/s and the server's to 40 Mbit/s by token buckets (25 and
40 Mbit/s with a short queue for UDP). Each figure is printed with its ratio
to the goodput that the shaped rate allows, so it shows which tool is closer
to the truth. Usage: bench/shaped_bench.py [--runs N]
"""
import argparse
import json
import os
import re
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import BUILD, SECONDS, Server, build, needs, run_client  # noqa: E402
from netbed import A_ADDR, NetBed  # noqa: E402

RATE = r"(\d+) (K?)Byte/s(?: \((\d+)%\))?"


def goodput(mbit, payload, frame):
    """KByte/s of payload when tbf passes mbit of whole Ethernet frames."""
    return mbit * 1e6 / 8 * payload / frame / 1024


def tarvo(bed, proto, size):
    out, _ = run_client(bed.cmd(bed.b, [os.path.join(BUILD, "tarvo"), proto, "-b", size, A_ADDR]))
    m = re.search("bytes:  " + RATE + " Tx,  " + RATE + " Rx", out)
    if not m:
        sys.exit("unexpected tarvo output: " + out)
    g = m.groups()
    kb = lambda n, k: int(n) if k else int(n) / 1024  # noqa: E731
    return kb(g[0], g[1]), kb(g[3], g[4])


def iperf3(bed, extra):
    rates = []
    for reverse in ([], ["-R"]):
        out, _ = run_client(bed.cmd(bed.b, ["iperf3", "-c", A_ADDR, "-t", str(SECONDS), "-J"] + extra + reverse))
        end = json.loads(out)["end"]
        received = end.get("sum_received", end.get("sum"))
        rates.append(received["bits_per_second"] / 8 / 1024)
    return tuple(rates)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    needs("iperf3", "cmake", "g++", "ip", "tc")
    build()
    cases = [
        # name, tx Mbit/s, rx Mbit/s, payload, frame, queue limit, tarvo args, iperf3 args
        ("TCP 32k", 100, 40, 1448, 1514, 200000, ("-t", "32k"), ["-l", "32K", "-w", "128K"]),
        ("TCP 1k", 100, 40, 1448, 1514, 200000, ("-t", "1k"), ["-l", "1K", "-w", "128K"]),
        ("UDP 1k", 40, 25, 1024, 1066, 40 * 1066, ("-u", "1k"), ["-u", "-b", "0", "-l", "1024"]),
    ]
    with NetBed() as bed:
        for name, tx_mbit, rx_mbit, payload, frame, limit, tarvo_args, iperf_args in cases:
            bed.shape(bed.b, "%dmbit" % tx_mbit, limit=limit)
            bed.shape(bed.a, "%dmbit" % rx_mbit, limit=limit)
            servers = [Server(bed.cmd(bed.a, [os.path.join(BUILD, "tarvo"), "-s"])),
                       Server(bed.cmd(bed.a, ["iperf3", "-s"]))]
            try:
                t = [tarvo(bed, *tarvo_args) for _ in range(args.runs)]
                p = [iperf3(bed, iperf_args) for _ in range(args.runs)]
            finally:
                for server in servers:
                    server.stop()
            truth = (goodput(tx_mbit, payload, frame), goodput(rx_mbit, payload, frame))
            print("\n%s: %d Mbit/s client to server, %d Mbit/s back; medians of %d runs" %
                  (name, tx_mbit, rx_mbit, args.runs))
            print("%-8s %12s %7s %12s %7s" % ("", "Tx KByte/s", "ratio", "Rx KByte/s", "ratio"))
            print("%-8s %12.0f %7s %12.0f %7s" % ("goodput", truth[0], "1", truth[1], "1"))
            for tool, runs in (("tarvo", t), ("iperf3", p)):
                tx, rx = statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs)
                print("%-8s %12.0f %7.3f %12.0f %7.3f" % (tool, tx, tx / truth[0], rx, rx / truth[1]))
            sys.stdout.flush()


if __name__ == "__main__":
    main()
