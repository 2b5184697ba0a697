#!/usr/bin/env bash
# tests/image_test.sh SOURCE_DIR BINARY -- the container image: at most
# 5 MB, a user that is not root, the benchmark's ports, "tarvo -s" by
# default. Its root, chrooted in two network namespaces of the test's own,
# serves a TCP and a UDP run of a client from the same root, which finds the
# server by a name in /etc/hosts, and resolves another name by DNS.
set -euo pipefail
src=$1 binary=$2
. "$src/tests/image_lib.sh"
skip_unless_images
scratch=$(mktemp -d /tmp/tarvo-test-image-XXXXXX)
tag=${$}x0
pids=()  # ip, chroot and the interpreter exec in place: each PID is the program's own
cleanup() {
    stop "${pids[@]}"
    "$src/tools/netbed.sh" down "$tag"
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

root=$scratch/root
mkdir "$root"
facts=$(image_root "$binary" "$root") || fail "the image was not built: $facts"
size=$(echo "$facts" | head -n 1) config=$(echo "$facts" | tail -n 1)
echo "image size: $size bytes"
[ "$size" -le 5000000 ] || fail "the image is $size bytes, over 5 MB"
[ "$config" = "65532:65532 map[18767/tcp:{} 18768/tcp:{} 18768/udp:{}] [/usr/bin/tarvo] [-s]" ] ||
    fail "the image's user, ports or command: $config"

# what a runtime puts in: the hosts file, and a name server on the server's host
printf '127.0.0.1 localhost\n10.77.0.1 tarvo-server\n' >"$root/etc/hosts"
printf 'nameserver 10.77.0.1\n' >"$root/etc/resolv.conf"
"$src/tools/netbed.sh" up "$tag"
a=tarvo-$tag-a b=tarvo-$tag-b
ip netns exec "$a" chroot --userspec=65532:65532 "$root" /usr/bin/tarvo -s >"$scratch/server" 2>&1 &
pids+=($!)
# a name server of the test's own: every question about an A record of
# tarvo.test gets 10.77.0.1
# (the interpreter itself, not a wrapper that would fork it)
python=$(python3 -c 'import sys; print(sys.executable)')
ip netns exec "$a" "$python" -c '
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("10.77.0.1", 53))
while True:
    q, peer = s.recvfrom(512)
    end = q.index(b"\0", 12) + 5
    name = q[12:end - 4]
    known = name.endswith(b"\x05tarvo\x04test\x00")
    found = known and q[end - 4:end - 2] == b"\0\1"
    flags = 0x8180 if known else 0x8183
    answer = b"\xc0\x0c\0\1\0\1\0\0\0\x3c\0\4" + socket.inet_aton("10.77.0.1") if found else b""
    s.sendto(q[:2] + struct.pack(">HHHHH", flags, 1, int(found), 0, 0) + q[12:end] + answer, peer)
' >/dev/null 2>&1 &
pids+=($!)
wait_listening "$scratch/server" || fail "the server did not listen: $(cat "$scratch/server")"
uid=$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/${pids[0]}/status")
[ "$uid" = 65532 ] || fail "the server runs as uid $uid"

out=$(in_root "$b" "$root" -t -b 1k tarvo-server 2>&1) || fail "TCP run: $out"
grep -q '^Packet size  1k bytes:  [0-9]* KByte/s Tx,  [0-9]* KByte/s Rx\.$' <<<"$out" || fail "TCP run: $out"
out=$(in_root "$b" "$root" -u -b 1k tarvo-server 2>&1) || fail "UDP run: $out"
grep -q '^Packet size  1k bytes:  [0-9]* KByte/s ([0-9]*%) Tx,  [0-9]* KByte/s ([0-9]*%) Rx\.$' <<<"$out" ||
    fail "UDP run: $out"
# a name only the name server knows: resolved, then refused on a port nobody serves
out=$(in_root "$b" "$root" -t -p 9 server.tarvo.test 2>&1) && fail "a run to port 9 succeeded: $out"
grep -qx 'connect(): Connection refused' <<<"$out" || fail "DNS: $out"
echo "the image's root served a TCP and a UDP run, as user 65532, and resolved by hosts file and DNS"
