#!/usr/bin/env python3
"""bench/tcp_bench.py -- tarvo's TCP figures on loopback beside iperf3, nuttcp
and a minimal blocking loop, measured in one go on this machine.

For each block size and direction it prints the median rate of every tool
(KByte/s), tarvo's rate as a ratio to each of the others, and each client's
CPU seconds per GB moved. Usage: bench/tcp_bench.py [--runs N] [--sizes 32k,1k]
"""
import argparse
import json
import os
import re
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from common import ADDR, BUILD, CLIENT_CPU, SECONDS, SERVER_CPU, Server, build, free_port, needs, size_bytes  # noqa: E402
from common import run_client as run_unpinned  # noqa: E402


def run_client(argv):
    return run_unpinned(CLIENT_CPU + argv)


def tarvo_run(size, port):
    out, cpu = run_client([os.path.join(BUILD, "tarvo"), "-t", "-b", size, "-p", str(port), ADDR])
    m = re.search(r"bytes:  (\d+) KByte/s Tx,  (\d+) KByte/s Rx", out)
    if not m:
        sys.exit("unexpected tarvo output: " + out)
    tx, rx = int(m.group(1)), int(m.group(2))
    moved = (tx + rx) * 1024 * SECONDS
    return tx, rx, cpu, moved


def minloop_run(size_bytes, port):
    rates, cpu, moved = [], 0.0, 0
    for direction in ("tx", "rx"):
        out, c = run_client([os.path.join(BUILD, "minloop"), "-c", ADDR, str(port), str(size_bytes),
                             str(SECONDS), direction])
        rate, nbytes = out.split()
        rates.append(int(rate))
        cpu += c
        moved += int(nbytes)
    return rates[0], rates[1], cpu, moved


def iperf3_run(size_bytes, port):
    rates, cpu, moved = [], 0.0, 0
    for reverse in ([], ["-R"]):
        out, c = run_client(["iperf3", "-c", ADDR, "-p", str(port), "-l", str(size_bytes), "-w", "128K",
                             "-t", str(SECONDS), "-J"] + reverse)
        end = json.loads(out)["end"]["sum_received"]
        rates.append(int(end["bits_per_second"] / 8 / 1024))
        cpu += c
        moved += end["bytes"]
    return rates[0], rates[1], cpu, moved


def nuttcp_run(size_bytes, port):
    rates, cpu, moved = [], 0.0, 0
    for flag in ("-t", "-r"):
        # a one-shot server per transfer: nuttcp's server puts itself in the background
        subprocess.run(SERVER_CPU + ["nuttcp", "-1", "-P", str(port), "-p", str(port + 1)], check=True)
        time.sleep(0.3)
        out, c = run_client(["nuttcp", flag, "-fparse", "-l%d" % size_bytes, "-w128", "-ws128",
                             "-T%d" % SECONDS, "-P", str(port), "-p", str(port + 1), ADDR])
        fields = dict(kv.split("=") for kv in out.split())
        rates.append(int(float(fields["rate_Mbps"]) * 1e6 / 8 / 1024))
        cpu += c
        moved += int(float(fields["megabytes"]) * 1024 * 1024)
        time.sleep(0.3)
    return rates[0], rates[1], cpu, moved


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--sizes", default="32k,1k")
    args = parser.parse_args()

    needs("iperf3", "nuttcp", "cmake", "g++", "taskset")
    build()
    tarvo_port, iperf_port, nuttcp_port, loop_port = free_port(), free_port(), free_port(), free_port()
    servers = [Server(SERVER_CPU + [os.path.join(BUILD, "tarvo"), "-s", "-t", "-h", ADDR, "-p", str(tarvo_port)]),
               Server(SERVER_CPU + ["iperf3", "-s", "-B", ADDR, "-p", str(iperf_port)]),
               Server(SERVER_CPU + [os.path.join(BUILD, "minloop"), "-s", str(loop_port)])]
    tools = {
        "tarvo": lambda s: tarvo_run(s, tarvo_port),
        "minloop": lambda s: minloop_run(size_bytes(s), loop_port),
        "iperf3": lambda s: iperf3_run(size_bytes(s), iperf_port),
        "nuttcp": lambda s: nuttcp_run(size_bytes(s), nuttcp_port),
    }
    try:
        for size in args.sizes.split(","):
            results = {name: [] for name in tools}
            for run in range(args.runs):
                for name, measure in tools.items():
                    results[name].append(measure(size))
                    print("  run %d %-8s %s: Tx %d Rx %d KByte/s, CPU %.2f s" %
                          ((run + 1, name, size) + results[name][-1][:3]), file=sys.stderr)
            report(size, results)
    finally:
        for server in servers:
            server.stop()


def report(size, results):
    med = {name: (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs),
                  statistics.median(r[2] / (r[3] / 1e9) for r in runs)) for name, runs in results.items()}
    print("\nblock %s, medians of %d runs, %d-second phases, loopback" % (size, len(results["tarvo"]), SECONDS))
    print("%-8s %14s %14s %14s" % ("tool", "Tx KByte/s", "Rx KByte/s", "CPU s/GB"))
    for name, (tx, rx, cpu) in med.items():
        print("%-8s %14.0f %14.0f %14.3f" % (name, tx, rx, cpu))
    t = med["tarvo"]
    for name, (tx, rx, cpu) in med.items():
        if name != "tarvo":
            print("tarvo/%-8s Tx %.3f  Rx %.3f  CPU/GB %.3f" % (name, t[0] / tx, t[1] / rx, t[2] / cpu))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
