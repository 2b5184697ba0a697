#!/usr/bin/env python3
"""tools/wire.py -- what a link carried, from a capture of its headers alone
(tcpdump -w, any snap length that keeps the headers), for each direction:

  TCP  A B  FIRST AGAIN LO HI  BYTES SECONDS      payload of A to B, in Byte/s
  UDP  A B  DATAGRAMS BYTES RATE

A TCP stream's payload counts each byte once, when it first crosses: a
retransmission of bytes that crossed before adds nothing, one of bytes lost
before the capture point counts when it crosses. LO and HI bracket its rate:
the slowest and the fastest span of WINDOW seconds (6 unless given) between
two of its segments, of those that begin within the direction's last WINDOW
seconds' worth at its fastest and two socket buffers (262144 bytes each):
where a sender's timed phase and what it leaves in its buffer and the path
lie, whatever lead-in came before. A span runs from one segment to the
first that comes WINDOW seconds or more after it, and counts the bytes that
crossed after the first, so a slow link's rate is not cut to whole segments.
A direction with less than WINDOW seconds of payload has one span, its
whole. FIRST is the span from the direction's first segment of data (where
a receiver's clock starts), AGAIN the span from where data first began
again after all before it had been acknowledged (where a sender's clock
starts after a lead-in), or FIRST when it never did. Segments of a control
block's 8 bytes or less are not data and do not count. Of the TCP
connections each way, the one of the most payload counts (the data, not a
control connection). One capture holds one block size's run. UDP counts
datagrams of the size most have and their payload bytes, and their RATE from
the first to the last: the payload of all but the first over the time between.

Usage: tools/wire.py CAPTURE [WINDOW]
"""
import ipaddress
import struct
import sys


CONTROL = 8  # the bytes of a control block, which the phases' data leave out


def packets(path):
    """(time, src, dst, protocol, sport, dport, seq, ack, payload) of each IP packet."""
    with open(path, "rb") as f:
        data = f.read()
    magic = struct.unpack("<I", data[:4])[0]
    endian, scale = {0xa1b2c3d4: ("<", 1e-6), 0xa1b23c4d: ("<", 1e-9), 0xd4c3b2a1: (">", 1e-6),
                     0x4d3cb2a1: (">", 1e-9)}[magic]
    if struct.unpack(endian + "I", data[20:24])[0] != 1:
        sys.exit("wire.py: not an Ethernet capture")
    at = 24
    while at + 16 <= len(data):
        sec, frac, caught, _ = struct.unpack(endian + "IIII", data[at:at + 16])
        frame = data[at + 16:at + 16 + caught]
        at += 16 + caught
        kind = struct.unpack("!H", frame[12:14])[0]
        ip = frame[14:]
        if kind == 0x0800:
            header, total, protocol = (ip[0] & 15) * 4, struct.unpack("!H", ip[2:4])[0], ip[9]
            src, dst, rest = ip[12:16], ip[16:20], total - header
        elif kind == 0x86dd:
            header, protocol = 40, ip[6]
            src, dst, rest = ip[8:24], ip[24:40], struct.unpack("!H", ip[4:6])[0]
        else:
            continue
        l4 = ip[header:]
        sport, dport = struct.unpack("!HH", l4[:4])
        src, dst = str(ipaddress.ip_address(src)), str(ipaddress.ip_address(dst))
        if protocol == 6:
            seq, ack = struct.unpack("!II", l4[4:12])
            yield sec + frac * scale, src, dst, "TCP", sport, dport, seq, ack, rest - (l4[12] >> 4) * 4
        elif protocol == 17:
            yield sec + frac * scale, src, dst, "UDP", sport, dport, 0, 0, rest - 8


class Stream:
    """One direction of a TCP connection: the byte ranges that crossed, and
    when each segment added new bytes, and how many."""

    def __init__(self, seq):
        self.base, self.high, self.holes, self.crossed = seq, 0, [], []
        self.sent = self.acked = 0  # the highest byte sent and acknowledged, control blocks too
        self.start = None  # where in crossed the data first began again with nothing unacknowledged

    def ack(self, ack):
        """An acknowledgement from the other end."""
        self.acked = max(self.acked, (ack - self.base) % 2**32)

    def segment(self, time, seq, length):
        start = (seq - self.base) % 2**32
        if start > 2**31:  # before the first segment seen
            return
        if length <= CONTROL:
            self.sent = max(self.sent, start + length)
            return
        if self.crossed and self.start is None and self.acked >= self.sent:
            self.start = len(self.crossed)
        self.sent = max(self.sent, start + length)
        end, new = start + length, 0
        if end > self.high:  # past all before it; what it skips is a hole
            if start > self.high:
                self.holes.append([self.high, start])
            new += end - max(start, self.high)
            self.high = end
        for hole in list(self.holes):  # and what it fills of earlier holes
            lo, hi = max(hole[0], start), min(hole[1], end)
            if lo < hi:
                new += hi - lo
                self.holes.remove(hole)
                if hole[0] < lo:
                    self.holes.append([hole[0], lo])
                if hi < hole[1]:
                    self.holes.append([hi, hole[1]])
        if new:
            self.crossed.append((time, new))


def phase(crossed, window):
    """The rate over the span from the first of crossed to the first segment
    window seconds or more after it, or to the last."""
    if len(crossed) < 2:
        return 0
    end = next((i for i, (t, _) in enumerate(crossed) if t - crossed[0][0] >= window), len(crossed) - 1)
    return sum(n for _, n in crossed[1:end + 1]) / (crossed[end][0] - crossed[0][0])


def bracket(crossed, window, tail):
    """The slowest and fastest rates over spans of window seconds that begin
    within the last tail bytes, the bytes and the seconds in all."""
    times = [t for t, _ in crossed]
    sums = [0]
    for _, n in crossed:
        sums.append(sums[-1] + n)
    if len(crossed) < 2:
        return 0, 0, sums[-1], 0
    whole = times[-1] - times[0]
    if whole < window:
        rate = (sums[-1] - sums[1]) / whole
        return rate, rate, sums[-1], whole
    rates, j = [], 0
    for i in range(len(times)):
        while j < len(times) and times[j] - times[i] < window:
            j += 1
        if j == len(times):
            break
        if sums[-1] - sums[i] <= tail or not rates and j == len(times) - 1:
            rates.append((sums[j + 1] - sums[i + 1]) / (times[j] - times[i]))
    return min(rates), max(rates), sums[-1], whole


def main():
    if len(sys.argv) not in (2, 3):
        sys.exit(__doc__)
    window = float(sys.argv[2]) if len(sys.argv) == 3 else 6.0
    streams, datagrams = {}, {}
    for time, src, dst, protocol, sport, dport, seq, ack, length in packets(sys.argv[1]):
        if protocol == "UDP":
            count = datagrams.setdefault((src, dst, length), [0, 0, time, time, length])
            count[0] += 1
            count[1] += length
            count[3] = time
            continue
        back = streams.get((dst, src, dport, sport))
        if back is not None:
            back.ack(ack)
        if length > 0:
            streams.setdefault((src, dst, sport, dport), Stream(seq)).segment(time, seq, length)
    # the stream of the most payload each way between two hosts: the data
    # connection, not a control one
    best = {}
    for (src, dst, _, _), stream in streams.items():
        total = sum(n for _, n in stream.crossed)
        if total > best.get((src, dst), (0, None))[0]:
            best[(src, dst)] = (total, stream)
    for (src, dst), (_, stream) in sorted(best.items()):
        # a sender's phase lies within its last window's worth and what
        # its buffer and the path's queue hold when it ends, at most two
        # socket buffers; a lead-in before it is no part of it
        _, fastest, _, _ = bracket(stream.crossed, window, float("inf"))
        lo, hi, total, seconds = bracket(stream.crossed, window, window * fastest + 2 * 262144)
        first = phase(stream.crossed, window)
        again = phase(stream.crossed[stream.start:], window) if stream.start else first
        print("TCP %s %s %.1f %.1f %.1f %.1f %d %.3f" % (src, dst, first, again, lo, hi, total, seconds))
    # the datagrams of the size most of them have each way: the data, not a
    # greeting of a few bytes before it
    most = {}
    for (src, dst, _), count in datagrams.items():
        if count[0] > most.get((src, dst), [0])[0]:
            most[(src, dst)] = count
    for (src, dst), (count, total, first, last, first_bytes) in sorted(most.items()):
        rate = (total - first_bytes) / (last - first) if last > first else 0
        print("UDP %s %s %d %d %.1f" % (src, dst, count, total, rate))


if __name__ == "__main__":
    main()
