#!/usr/bin/env bash
# tests/mesh_test.sh SOURCE_DIR BINARY -- deploy/mesh.sh over three "nodes"
# of the test's own: each a server namespace and a client namespace (the
# server's and the client's pods), all joined by a bridge in a namespace of
# their own, every tarvo run from the image's root (built from BINARY) with
# chroot. Node b serves nothing, and node c's clients reach nobody (their
# frames go to an address no host has): the mesh must say so in their rows
# and go on. Every other cell must be what the runs printed.
set -euo pipefail
src=$1 binary=$2
. "$src/tests/image_lib.sh"
skip_unless_images
scratch=$(mktemp -d /tmp/tarvo-test-mesh-XXXXXX)
prefix=tarvo-m$$
nodes="a b c"
pids=()  # ip and chroot exec in place: each PID is the server's own
cleanup() {
    stop "${pids[@]}"
    for ns in $(ip netns list | awk '{print $1}' | grep "^$prefix-"); do ip netns del "$ns"; done
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

root=$scratch/root
mkdir "$root"
image_root "$binary" "$root" >/dev/null || fail "the image was not built"

sw=$prefix-sw
ip netns add "$sw"
ip -n "$sw" link add br0 type bridge
ip -n "$sw" link set br0 up
i=1
for node in $nodes; do
    for role in srv cli; do
        ns=$prefix-$node$role
        ip netns add "$ns"
        ip link add eth0 netns "$ns" type veth peer name "p$node$role" netns "$sw"
        ip -n "$sw" link set "p$node$role" master br0 up
        ip -n "$ns" addr add "10.78.0.$([ $role = srv ] && echo 1 || echo 2)$i/24" dev eth0
        ip -n "$ns" link set eth0 up
        ip -n "$ns" link set lo up
    done
    i=$((i + 1))
done
# c's clients send to a hardware address that no host has
for server in 11 12 13; do
    ip -n "$prefix-ccli" neigh replace "10.78.0.$server" lladdr 02:00:00:00:00:99 nud permanent dev eth0
done
for node in a c; do
    ip netns exec "$prefix-${node}srv" chroot --userspec=65532:65532 "$root" /usr/bin/tarvo -s >"$scratch/$node.out" 2>&1 &
    pids+=($!)
done
for node in a c; do
    wait_listening "$scratch/$node.out" || fail "$node's server did not listen: $(cat "$scratch/$node.out")"
done

printf '# node  its server\na 10.78.0.11\nb 10.78.0.12\nc 10.78.0.13\n' >"$scratch/nodes"
"$src/deploy/mesh.sh" -b 1k -w 8 -o "$scratch/mesh.csv" -l "$scratch/mesh.log" "$scratch/nodes" \
    "ip netns exec $prefix-{node}cli chroot --userspec=65532:65532 $root" 2>"$scratch/progress" ||
    fail "mesh.sh failed: $(cat "$scratch/progress")"
cat "$scratch/mesh.csv"

[ "$(head -n 1 "$scratch/mesh.csv")" = \
  "client_node,server_node,protocol,block_size,tx_bytes_per_s,rx_bytes_per_s,tx_loss_pct,rx_loss_pct,status" ] ||
    fail "header: $(head -n 1 "$scratch/mesh.csv")"
[ "$(tail -n 1 "$scratch/progress")" = "[12/12] c -> b UDP 1k" ] || fail "progress: $(cat "$scratch/progress")"
[ "$(wc -l <"$scratch/mesh.csv")" -eq 13 ] || fail "not 12 rows"

# Each run's own result line, read afresh from the log, in the CSV's units.
expected() {  # client server protocol
    awk -v want="## $1 $2 $3 1k" '
        $0 == want { take = 1; next }
        /^## / { take = 0 }
        take && /^Packet size .* Rx\.$/ {
            n = 0
            for (i = 1; i <= NF; ++i) {
                if ($i ~ /^[0-9]+$/) value = $i
                else if ($i == "KByte/s" || $i == "Byte/s") rate[++n] = ($i == "KByte/s") ? value * 1024 : value
                else if ($i ~ /^\([0-9]+%\)$/) { gsub(/[(%)]/, "", $i); loss[n] = $i }
            }
            printf "%.0f,%.0f,%s,%s,ok\n", rate[1], rate[2], loss[1], loss[2]
        }' "$scratch/mesh.log"
}
for protocol in TCP UDP; do
    for pair in "a c" "b a" "b c"; do
        set -- $pair
        row=$(grep "^$1,$2,$protocol,1k," "$scratch/mesh.csv") || fail "no row $1 -> $2 $protocol"
        want=$(expected "$1" "$2" "$protocol")
        [ -n "$want" ] && [ "$row" = "$1,$2,$protocol,1k,$want" ] || fail "row '$row', the run printed '$want'"
        case ,$(cut -d, -f5,6 <<<"$row"), in *,0,*) fail "a rate of 0: $row" ;; esac
    done
    grep -qx "a,b,$protocol,1k,,,,,failed: connect(): Connection refused" "$scratch/mesh.csv" ||
        fail "a -> b $protocol: $(grep "^a,b,$protocol" "$scratch/mesh.csv")"
    for server in a b; do
        grep -qx "c,$server,$protocol,1k,,,,,hung: no end after 8 s" "$scratch/mesh.csv" ||
            fail "c -> $server $protocol: $(grep "^c,$server,$protocol" "$scratch/mesh.csv")"
    done
done
echo "the mesh measured every pair, said which failed and which hung, and went on"
