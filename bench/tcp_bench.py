#!/usr/bin/env python3
"""bench/tcp_bench.py -- tarvo's TCP figures on loopback beside the floor (a
bare loop, bench/minloop.cc: one blocking send a block, and a receiver that
takes 64 KiB a call and has the kernel discard them), from 16 KiB the floor
of a receiver that looks at every block's first byte as tarvo's does
(floor-marks: it sleeps until a whole block waits, then takes that byte and
discards the rest, two calls a block), iperf3 (Debian's 3.12,
and the newest, 3.21, in each of its modes: plain, -Z for a send without
copies, --skip-rx-copy for a receive that discards, and both) and nuttcp,
measured in one go on this machine, over IPv4 (127.0.0.1) and IPv6 (::1) in
turn within each run; a tool's IPv6 runs are named with "-6". Each server
serves both families from one process.

For each block size, family and direction it prints the median rate of every
tool (KByte/s), tarvo's rate as a ratio to each of the others of its family,
each client's CPU seconds per GB moved, tarvo's ratios to the floor and to
the best mode of the newest iperf3 against the targets (at least 0.95 of
the floor at 32k, 0.90 at 1k, 1.0 of the best mode), and tarvo over IPv6
against tarvo over IPv4. Beside each ratio of medians stands the median of
each run's own ratio, which a host whose speed drifts over minutes sways
less.
Usage: bench/tcp_bench.py [--runs N] [--sizes 32k,1k] [--families 4,6] [--tools NAMES] [--tarvo BINARY]
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

from common import (BUILD, CLIENT_CPU, SECONDS, SERVER_CPU, Server, build, free_port, needs,  # noqa: E402
                    newest_iperf3, race, size_bytes)
from common import run_client as run_unpinned  # noqa: E402


def run_client(argv):
    return run_unpinned(CLIENT_CPU + argv)


NEWEST_MODES = {"3.21": [], "3.21-Z": ["-Z"], "3.21-skip": ["--skip-rx-copy"],
                "3.21-Z-skip": ["-Z", "--skip-rx-copy"]}


ADDRS = {"4": "127.0.0.1", "6": "::1"}


def tarvo_run(tarvo, size, port, addr):
    out, cpu = run_client([tarvo, "-t", "-b", size, "-p", str(port), addr])
    m = re.search(r"bytes:  (\d+) KByte/s Tx,  (\d+) KByte/s Rx", out)
    if not m:
        sys.exit("unexpected tarvo output: " + out)
    tx, rx = int(m.group(1)), int(m.group(2))
    moved = (tx + rx) * 1024 * SECONDS
    return tx, rx, cpu, moved


# Below this block size tarvo reads many blocks a call, and a floor that
# reads two calls a block says nothing of it.
MARKS_FROM = 16384


def floor_run(size_bytes, port, addr, marks=False):
    if marks and size_bytes < MARKS_FROM:
        return None
    rates, cpu, moved = [], 0.0, 0
    for direction in ("tx", "rx"):
        out, c = run_client([os.path.join(BUILD, "minloop"), "-c", addr, str(port), str(size_bytes),
                             str(SECONDS), direction] + (["marks"] if marks else []))
        rate, nbytes = out.split()
        rates.append(int(rate))
        cpu += c
        moved += int(nbytes)
    return rates[0], rates[1], cpu, moved


def iperf3_run(size_bytes, port, addr, binary="iperf3", mode=()):
    rates, cpu, moved = [], 0.0, 0
    family = ["-6"] if ":" in addr else []
    for reverse in ([], ["-R"]):
        out, c = run_client([binary, "-c", addr] + family + ["-p", str(port), "-l", str(size_bytes), "-w", "128K",
                             "-t", str(SECONDS), "-J"] + list(mode) + reverse)
        end = json.loads(out)["end"]["sum_received"]
        rates.append(int(end["bits_per_second"] / 8 / 1024))
        cpu += c
        moved += end["bytes"]
    return rates[0], rates[1], cpu, moved


def nuttcp_run(size_bytes, port, addr):
    rates, cpu, moved = [], 0.0, 0
    family = ["-6"] if ":" in addr else []
    for flag in ("-t", "-r"):
        # a one-shot server per transfer: nuttcp's server puts itself in the background
        subprocess.run(SERVER_CPU + ["nuttcp", "-1"] + family + ["-P", str(port), "-p", str(port + 1)], check=True)
        time.sleep(0.3)
        out, c = run_client(["nuttcp", flag] + family + ["-fparse", "-l%d" % size_bytes, "-w128", "-ws128",
                             "-T%d" % SECONDS, "-P", str(port), "-p", str(port + 1), addr])
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
    parser.add_argument("--families", default="4,6")
    parser.add_argument("--tools", help="race only these (tarvo, floor, iperf3, nuttcp, 3.21, 3.21-Z, ...)")
    parser.add_argument("--tarvo", help="a tarvo binary to race instead of this tree's (an earlier build)")
    args = parser.parse_args()

    needs("iperf3", "nuttcp", "cmake", "g++", "taskset")
    build()
    tarvo = os.path.abspath(args.tarvo) if args.tarvo else os.path.join(BUILD, "tarvo")
    newest = newest_iperf3()
    tarvo_port, iperf_port, nuttcp_port, loop_port = free_port(), free_port(), free_port(), free_port()
    newest_port = free_port()
    servers = [Server(SERVER_CPU + [tarvo, "-s", "-t", "-p", str(tarvo_port)]),
               Server(SERVER_CPU + ["iperf3", "-s", "-p", str(iperf_port)]),
               Server(SERVER_CPU + [os.path.join(BUILD, "minloop"), "-s", str(loop_port)])]
    if newest:
        servers.append(Server(SERVER_CPU + [newest, "-s", "-p", str(newest_port)]))
    tools = {}
    for family in args.families.split(","):
        addr, tag = ADDRS[family], "" if family == "4" else "-6"
        tools.update({
            "tarvo" + tag: lambda s, addr=addr: tarvo_run(tarvo, s, tarvo_port, addr),
            "iperf3" + tag: lambda s, addr=addr: iperf3_run(size_bytes(s), iperf_port, addr),
            "nuttcp" + tag: lambda s, addr=addr: nuttcp_run(size_bytes(s), nuttcp_port, addr),
            "floor" + tag: lambda s, addr=addr: floor_run(size_bytes(s), loop_port, addr),
            "floor-marks" + tag: lambda s, addr=addr: floor_run(size_bytes(s), loop_port, addr, True),
        })
        if newest:
            for name, mode in NEWEST_MODES.items():
                tools[name + tag] = lambda s, mode=mode, addr=addr: iperf3_run(size_bytes(s), newest_port, addr,
                                                                               newest, mode)
    try:
        race(tools, args.tools, args.sizes, args.runs, report,
             lambda run, name, size, figures: "  run %d %-8s %s: Tx %d Rx %d KByte/s, CPU %.2f s" %
             ((run, name, size) + figures[:3]))
    finally:
        for server in servers:
            server.stop()


def report(size, results):
    """A table for each family, then tarvo over IPv6 against tarvo over IPv4."""
    med = {name: (statistics.median(r[0] for r in runs), statistics.median(r[1] for r in runs),
                  statistics.median(r[2] / (r[3] / 1e9) for r in runs)) for name, runs in results.items()}
    runs = len(next(iter(results.values())))
    for family, six in (("IPv4", False), ("IPv6", True)):
        ours = {name[:-2] if six else name: name for name in med if name.endswith("-6") == six}
        if ours:
            report_family(size, runs, family, {short: med[name] for short, name in ours.items()},
                          {short: results[name] for short, name in ours.items()})
    if "tarvo" in med and "tarvo-6" in med:
        print("tarvo IPv6/IPv4: Tx %.3f  Rx %.3f  CPU/GB %.3f" %
              tuple(med["tarvo-6"][i] / med["tarvo"][i] for i in range(3)))
    sys.stdout.flush()


def own_ratio(results, name, direction):
    """The median of tarvo's ratio to name within each run: on a host whose
    speed drifts over minutes, tools raced seconds apart are compared alike."""
    return statistics.median(t[direction] / o[direction] for t, o in zip(results["tarvo"], results[name]))


def report_family(size, runs, family, med, results):
    print("\nblock %s, %s, medians of %d runs, %d-second phases, loopback" % (size, family, runs, SECONDS))
    print("%-12s %14s %14s %14s" % ("tool", "Tx KByte/s", "Rx KByte/s", "CPU s/GB"))
    for name, (tx, rx, cpu) in med.items():
        print("%-12s %14.0f %14.0f %14.3f" % (name, tx, rx, cpu))
    if "tarvo" not in med:
        return
    t = med["tarvo"]
    print("tarvo against each, as ratios of the medians, then as the median of each run's own ratio:")
    for name, (tx, rx, cpu) in med.items():
        if name != "tarvo":
            print("tarvo/%-12s Tx %.3f  Rx %.3f  CPU/GB %.3f    run by run: Tx %.3f  Rx %.3f" %
                  (name, t[0] / tx, t[1] / rx, t[2] / cpu, own_ratio(results, name, 0), own_ratio(results, name, 1)))
    modes = [name for name in NEWEST_MODES if name in med]
    if not modes:
        print("the newest iperf3 is missing or was not raced: no ratio against its best mode")
    floor_target = 0.95 if size_bytes(size) >= 32768 else 0.90
    for direction, label in ((0, "Tx"), (1, "Rx")):
        if "floor" in med:
            ratio = t[direction] / med["floor"][direction]
            print("tarvo/floor %s: rate %.3f (target %.2f: %s; run by run %.3f)  CPU/GB %.3f" %
                  (label, ratio, floor_target, "met" if ratio >= floor_target else "NOT met",
                   own_ratio(results, "floor", direction), t[2] / med["floor"][2]))
        if modes:
            best = max(modes, key=lambda name: med[name][direction])
            ratio = t[direction] / med[best][direction]
            print("tarvo/best 3.21 mode %s (%s): rate %.3f (target 1.00: %s; run by run %.3f)  CPU/GB %.3f" %
                  (label, best, ratio, "met" if ratio >= 1 else "NOT met", own_ratio(results, best, direction),
                   t[2] / med[best][2]))


if __name__ == "__main__":
    main()
