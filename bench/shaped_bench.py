#!/usr/bin/env python3
"""bench/shaped_bench.py -- tarvo's and iperf3's figures on links of known
speed (run as root): two namespaces joined by veth, each direction shaped by
a token bucket. The fast table shapes the client's direction to 100 Mbit/s and
the server's to 40 (40 and 25 with a short queue for UDP); the slow table
runs TCP 32k, TCP 1k and UDP 1k at 1, 3, 10 and 100 Mbit/s both ways, with
queues of 64 to 256 KiB at the bottleneck; each figure is printed with its
ratio to the goodput that the shaped rate allows, and iperf3 shows its
sender's and its receiver's figure. The wire table holds each run against
what the link carried in that run, read from a capture of the frames at the
client's end (tools/wire.py): TCP 32k and 1k at 1, 3, 10 and 100 Mbit/s with
queues of 32, 64 and 128 KiB, which drop, and a deep one, and UDP 1k at 3
and 10 Mbit/s over a dropping queue and a deep one. It prints the worst and
the median run of tarvo and of iperf3's receiver against the wire, and
tarvo's medians against the nominal goodput (each rate on a bed of its own,
the four at once: slow links leave the cores idle). Every bed runs cubic,
Linux's default.
Usage: bench/shaped_bench.py [--runs N] [--table fast|slow|wire|all]
"""
import argparse
import json
import os
import re
import statistics
import sys
import threading

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from common import BUILD, SECONDS, Server, build, needs, run_client  # noqa: E402
from netbed import A_ADDR, B_ADDR, NetBed  # noqa: E402

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


def iperf3_once(bed, extra, reverse):
    """One iperf3 run, one way (back to the client with -R in reverse): its
    rate as the receiver and as the sender saw it, in KByte/s."""
    out, _ = run_client(bed.cmd(bed.b, ["iperf3", "-c", A_ADDR, "-t", str(SECONDS), "-J"] + extra + reverse))
    end = json.loads(out)["end"]
    rate = lambda key: end.get(key, end.get("sum"))["bits_per_second"] / 8 / 1024  # noqa: E731
    return rate("sum_received"), rate("sum_sent")


def iperf3(bed, extra):
    """(Tx, Rx) as iperf3's receivers saw them, and (Tx, Rx) as its senders did."""
    tx, rx = iperf3_once(bed, extra, []), iperf3_once(bed, extra, ["-R"])
    return tx[0], rx[0], tx[1], rx[1]


def measure(bed, runs, tx_mbit, rx_mbit, limit, tarvo_args, iperf_args, burst="32kb"):
    bed.shape(bed.b, "%dmbit" % tx_mbit, burst=burst, limit=limit)
    bed.shape(bed.a, "%dmbit" % rx_mbit, burst=burst, limit=limit)
    servers = [Server(bed.cmd(bed.a, [os.path.join(BUILD, "tarvo"), "-s"])),
               Server(bed.cmd(bed.a, ["iperf3", "-s"]))]
    try:
        t = [tarvo(bed, *tarvo_args) for _ in range(runs)]
        p = [iperf3(bed, iperf_args) for _ in range(runs)]
    finally:
        for server in servers:
            server.stop()
    median = lambda rows, i: statistics.median(r[i] for r in rows)  # noqa: E731
    return (median(t, 0), median(t, 1)), tuple(median(p, i) for i in range(4))


TCP_32K = (1448, 1514, ("-t", "32k"), ["-l", "32K", "-w", "128K"])
TCP_1K = (1448, 1514, ("-t", "1k"), ["-l", "1K", "-w", "128K"])
UDP_1K = (1024, 1066, ("-u", "1k"), ["-u", "-b", "0", "-l", "1024"])


def fast_table(bed, runs):
    cases = [("TCP 32k", 100, 40, 200000, TCP_32K), ("TCP 1k", 100, 40, 200000, TCP_1K),
             ("UDP 1k", 40, 25, 40 * 1066, UDP_1K)]
    for name, tx_mbit, rx_mbit, limit, (payload, frame, tarvo_args, iperf_args) in cases:
        t, p = measure(bed, runs, tx_mbit, rx_mbit, limit, tarvo_args, iperf_args)
        truth = (goodput(tx_mbit, payload, frame), goodput(rx_mbit, payload, frame))
        print("\n%s: %d Mbit/s client to server, %d Mbit/s back; medians of %d runs" % (name, tx_mbit, rx_mbit, runs))
        print("%-8s %12s %7s %12s %7s" % ("", "Tx KByte/s", "ratio", "Rx KByte/s", "ratio"))
        print("%-8s %12.0f %7s %12.0f %7s" % ("goodput", truth[0], "1", truth[1], "1"))
        for tool, (tx, rx) in (("tarvo", t), ("iperf3", p[:2])):
            print("%-8s %12.0f %7.3f %12.0f %7.3f" % (tool, tx, tx / truth[0], rx, rx / truth[1]))
        sys.stdout.flush()


def slow_table(bed, runs):
    print("\nSlow links, both ways at the rate given, tbf burst 8kb (32kb at 100 Mbit/s) and the queue given;"
          " medians of %d runs."
          % runs)
    print("Ratios to the goodput; iperf3 as its receiver / its sender saw it.")
    print("%-8s %5s %5s %10s | %7s %7s | %15s %15s" %
          ("case", "Mbit", "queue", "goodput", "tarvo", "tarvo", "iperf3 Tx", "iperf3 Rx"))
    print("%-8s %5s %5s %10s | %7s %7s | %15s %15s" % ("", "", "KiB", "KByte/s", "Tx", "Rx", "recv/send", "recv/send"))
    for name, case in (("TCP 32k", TCP_32K), ("TCP 1k", TCP_1K), ("UDP 1k", UDP_1K)):
        payload, frame, tarvo_args, iperf_args = case
        for mbit, queue in ((1, 64), (1, 256), (3, 128), (10, 256), (100, 256)):
            burst = "8kb" if mbit <= 10 else "32kb"  # a bucket must hold what its rate passes in a timer tick
            t, p = measure(bed, runs, mbit, mbit, queue * 1024, tarvo_args, iperf_args, burst)
            truth = goodput(mbit, payload, frame)
            print("%-8s %5d %5d %10.1f | %7.3f %7.3f | %7.3f/%7.3f %7.3f/%7.3f" %
                  (name, mbit, queue, truth, t[0] / truth, t[1] / truth,
                   p[0] / truth, p[2] / truth, p[1] / truth, p[3] / truth))
            sys.stdout.flush()


DEEP = 400000  # deeper than any sender's buffer here: the queue never drops


def against_wire(bed, proto, client, tcp_tx):
    """One run of client (a function of no arguments that runs one block
    size each way, or one direction) with its figures, in KByte/s, against
    what the wire carried in the same run: TCP's Rx (and a Tx without a
    lead-in) against the span from the first data, a tarvo Tx against the
    bracket of spans where its phase lies (1 within it), UDP's against the
    rate of its datagrams. The ratios, and the width of the Tx bracket."""
    with bed.wire(bed.b) as w:
        figures = client()
    b_to_a, a_to_b = (proto, B_ADDR, A_ADDR), (proto, A_ADDR, B_ADDR)
    ratios, width = [], 0
    for figure, key in zip(figures, (b_to_a, a_to_b)):
        if figure is None:
            continue
        figure, line = figure * 1024, w[key]
        if proto == "UDP":
            ratios.append(figure / line[2])
        elif key == b_to_a and tcp_tx == "bracket":
            lo, hi = line[2], line[3]
            ratios.append(figure / min(max(figure, lo), hi))
            width = hi / lo - 1
        else:
            ratios.append(figure / line[0])
    return ratios, width


def wire_rows(mbit, runs, cases, rows):
    """The wire table's rows of one rate, on a bed of their own."""
    burst = "1600" if mbit <= 10 else "32kb"  # one frame: no head start on an idle link
    with NetBed("b%dx%d" % (os.getpid(), mbit)) as bed:
        for name, (payload, frame, tarvo_args, iperf_args), queue in cases:
            proto = name.split()[0]
            bed.shape(bed.b, "%dmbit" % mbit, burst=burst, limit=queue)
            bed.shape(bed.a, "%dmbit" % mbit, burst=burst, limit=queue)
            servers = [Server(bed.cmd(bed.a, [os.path.join(BUILD, "tarvo"), "-s", tarvo_args[0]])),
                       Server(bed.cmd(bed.a, ["iperf3", "-s"]))]
            t, p, nominal, widths = [], [], [], []
            try:
                def run_tarvo():
                    nominal.append(tarvo(bed, *tarvo_args))
                    return nominal[-1]

                for _ in range(runs):
                    ratios, width = against_wire(bed, proto, run_tarvo, "bracket")
                    t.append(ratios)
                    widths.append(width)
                    tx, _ = against_wire(bed, proto, lambda: (iperf3_once(bed, iperf_args, [])[0], None), "first")
                    rx, _ = against_wire(bed, proto, lambda: (None, iperf3_once(bed, iperf_args, ["-R"])[0]), "first")
                    p.append(tx + rx)
            finally:
                for server in servers:
                    server.stop()
            truth = goodput(mbit, payload, frame)
            rows[(name, mbit, queue)] = (t, p, [(tx / truth, rx / truth) for tx, rx in nominal], max(widths))


def wire_table(runs):
    tcp = [(name, case, queue) for name, case in (("TCP 32k", TCP_32K), ("TCP 1k", TCP_1K))
           for queue in (32 * 1024, 64 * 1024, 128 * 1024, DEEP)]
    udp = [("UDP 1k", UDP_1K, queue) for queue in (32 * 1024, DEEP)]
    rows = {}
    threads = [threading.Thread(target=wire_rows, args=(mbit, runs, tcp + (udp if mbit in (3, 10) else []), rows))
               for mbit in (1, 3, 10, 100)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    print("\nAgainst the wire: both ways at the rate given, tbf burst of one frame (32kb at 100 Mbit/s), queue in"
          " KiB (%d: deep, it never drops); %d runs a row." % (DEEP // 1024, runs))
    print("Ratios to what the wire carried in the same run, the worst run (farthest from 1) and the median;"
          " iperf3 as its receiver saw it.")
    print("tarvo's medians against the nominal goodput; the widest bracket of a tarvo Tx's wire truth, in %.")
    print("%-8s %5s %5s | %15s %15s | %15s %15s | %15s | %7s" %
          ("case", "Mbit", "queue", "tarvo Tx", "tarvo Rx", "iperf3 Tx", "iperf3 Rx", "tarvo/nominal", "bracket"))
    print("%-8s %5s %5s | %15s %15s | %15s %15s | %15s | %7s" %
          ("", "", "KiB", "worst / median", "worst / median", "worst / median", "worst / median", "Tx / Rx", "%"))
    worst = lambda values: max(values, key=lambda v: abs(v - 1))  # noqa: E731
    both = lambda values: (worst(values), statistics.median(values))  # noqa: E731
    for key in sorted(rows, key=lambda k: (k[0][:3], k[0] != "TCP 32k", k[1], k[2])):
        t, p, nominal, width = rows[key]
        figures = sum((both([r[i] for r in runs]) for runs in (t, p) for i in (0, 1)), ())
        medians = tuple(statistics.median(r[i] for r in nominal) for i in (0, 1))
        print("%-8s %5d %5d | %7.3f/%7.3f %7.3f/%7.3f | %7.3f/%7.3f %7.3f/%7.3f | %7.3f/%7.3f | %7.2f" %
              (key[:2] + (key[2] // 1024,) + figures + medians + (width * 100,)))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--table", choices=("fast", "slow", "wire", "all"), default="all")
    args = parser.parse_args()
    needs("iperf3", "cmake", "g++", "ip", "tc", "tcpdump")
    build()
    if args.table in ("fast", "slow", "all"):
        with NetBed() as bed:
            if args.table in ("fast", "all"):
                fast_table(bed, args.runs)
            if args.table in ("slow", "all"):
                slow_table(bed, args.runs)
    if args.table in ("wire", "all"):
        wire_table(args.runs)


if __name__ == "__main__":
    main()
