"""bench/common.py -- what the benchmark scripts share: installing peers,
building tarvo, starting servers and timing clients."""
import os
import shutil
import signal
import socket
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build-bench")
SECONDS = 6
ADDR = "127.0.0.1"


PACKAGE_OF = {"taskset": "util-linux", "ip": "iproute2", "tc": "iproute2"}

# Servers on one core and clients on the other, the same for every tool.
SERVER_CPU = ["taskset", "-c", "0"]
CLIENT_CPU = ["taskset", "-c", "1"]


def needs(*commands):
    """Installs the Debian packages of the commands that are missing (as root)."""
    missing = sorted({PACKAGE_OF.get(c, c) for c in commands if shutil.which(c) is None})
    if not missing:
        return
    if os.geteuid() != 0:
        sys.exit("Missing: %s. Install with: sudo apt-get install %s" % (" ".join(missing), " ".join(missing)))
    env = dict(os.environ, DEBIAN_FRONTEND="noninteractive")
    subprocess.run(["apt-get", "update", "-qq"], check=True, env=env)
    subprocess.run(["apt-get", "install", "-y", "-qq"] + missing, check=True, env=env, stdout=subprocess.DEVNULL)


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD, "-DCMAKE_BUILD_TYPE=RelWithDebInfo", "-DTARVO_TESTS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j", str(os.cpu_count()), "--target", "tarvo"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["g++", "-O2", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-o",
                    os.path.join(BUILD, "minloop"), os.path.join(ROOT, "bench", "minloop.cc")], check=True)


def free_port():
    """A port p with p and p + 1 free for TCP on loopback."""
    for _ in range(100):
        with socket.socket() as s:
            s.bind((ADDR, 0))
            port = s.getsockname()[1]
        if port < 65535:
            try:
                with socket.socket() as s:
                    s.bind((ADDR, port + 1))
                return port
            except OSError:
                pass
    sys.exit("no free port")


class Server:
    """A server process started here and ended here, by its PID."""

    def __init__(self, cmd, stdout=subprocess.DEVNULL):
        self.proc = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.DEVNULL)
        time.sleep(0.5)

    def stop(self):
        self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


def run_client(cmd):
    """Runs a client to its end; returns (stdout, CPU seconds user + system)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    out = proc.stdout.read()
    err = proc.stderr.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = 0  # reaped above
    if status != 0:
        sys.exit("%s failed: %s%s" % (" ".join(cmd), out, err))
    return out, usage.ru_utime + usage.ru_stime


def size_bytes(label):
    return int(label[:-1]) * 1024 if label.endswith("k") else int(label)


PEERS = os.path.join(os.path.dirname(ROOT), "shared", "peers")


def newest_iperf3():
    """The newest iperf3 (3.21, with --gsro, -Z and --skip-rx-copy), built
    once into the bench's build directory from the source in ../shared/peers
    as its README says; None, said on stderr, when the source is not there."""
    binary = os.path.join(BUILD, "iperf3-master", "src", "iperf3")
    if os.path.exists(binary):
        return binary
    source = os.path.join(PEERS, "iperf3-master.tar.gz")
    if not os.path.exists(source):
        print("peer missing: the newest iperf3 (%s is not there); no figures or ratios for it" % source,
              file=sys.stderr)
        return None
    os.makedirs(BUILD, exist_ok=True)
    subprocess.run(["tar", "-xzf", source, "-C", BUILD], check=True)
    tree = os.path.join(BUILD, "iperf3-master")
    subprocess.run(["./configure", "--disable-shared", "--without-openssl"], cwd=tree, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run(["make", "-j", str(os.cpu_count())], cwd=tree, check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    return binary


def race(tools, names, sizes, runs, report, describe):
    """Runs each of tools (name: measure(size)), or only those named in names
    when given, runs times for each size in turn, saying each run's figures
    on stderr with describe(run, name, size, figures); then report(size,
    {name: [figures of each run]}). A tool whose measure returns None does
    not race at that size."""
    if names:
        tools = {name: tools[name] for name in names.split(",") if name in tools}
    for size in sizes.split(","):
        results = {name: [] for name in tools}
        for run in range(runs):
            for name, measure in tools.items():
                figures = measure(size)
                if figures is not None:
                    results[name].append(figures)
                    print(describe(run + 1, name, size, figures), file=sys.stderr)
        report(size, {name: runs for name, runs in results.items() if runs})
