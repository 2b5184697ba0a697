#!/bin/sh
# tools/netbed.sh -- the two test hosts of the tests and of the benchmarks:
# host a (10.77.0.1, 2001:db8:77::1, fe80::1) in namespace tarvo-TAG-a and
# host b (10.77.0.2, 2001:db8:77::2, fe80::2) in tarvo-TAG-b, joined by the
# veth pair tvTAGa/tvTAGb. Needs root. The IPv6 addresses are of the
# documentation prefix, which the resolver ranks above IPv4 as it does a
# real global one.
#   netbed.sh up TAG                         make the pair (and say nothing)
# A TAG that starts with a PID (the tests' 1234x0, the benchmarks' b1234)
# marks beds that "up" removes once that process is gone: a killed run
# leaves nothing behind for long.
#   netbed.sh down TAG                       remove it; the veth goes with it, and
#                                            /etc/netns/tarvo-TAG-* (hosts files a test made)
#   netbed.sh link TAG a|b up|down           take a host's end of the link down, or up again
#   netbed.sh shape TAG a|b RATE BURST LIMIT a token bucket on what that host sends
#   netbed.sh capture TAG a|b FILE           the headers of every frame that crosses
#                                            that host's end, into FILE, until
#                                            interrupted; tcpdump runs in place of
#                                            this script (its PID is the caller's);
#                                            tools/wire.py reads FILE
set -eu
A_ADDR=10.77.0.1 B_ADDR=10.77.0.2 A_ADDR6=2001:db8:77::1 B_ADDR6=2001:db8:77::2
A_MAC=02:00:0a:4d:00:01 B_MAC=02:00:0a:4d:00:02
IP=$(command -v ip || echo /usr/sbin/ip)
TC=$(command -v tc || echo /usr/sbin/tc)
cmd=$1 tag=$2
a=tarvo-$tag-a b=tarvo-$tag-b

# Fixed neighbours: a host whose queue is full of its own datagrams would
# drop its ARP probes and lose its peer for a second, which no tool could
# measure through. And Linux's default congestion control, cubic, on the
# link's route, whatever this machine runs: it fills a queue until it drops,
# as most hosts' TCP does (a namespace may not pick it for itself). Going
# down removes both, so coming up sets them again.
fixed() {  # host
    local ns=tarvo-$tag-$1 dev=tv$tag$1 src peer peer6 peer_ll mac p net
    if [ "$1" = a ]; then
        src=$A_ADDR peer=$B_ADDR peer6=$B_ADDR6 peer_ll=fe80::2 mac=$B_MAC
    else
        src=$B_ADDR peer=$A_ADDR peer6=$A_ADDR6 peer_ll=fe80::1 mac=$A_MAC
    fi
    "$IP" -n "$ns" neigh replace "$peer" lladdr "$mac" nud permanent dev "$dev"
    "$IP" -n "$ns" route replace 10.77.0.0/24 dev "$dev" src "$src" congctl cubic
    for p in "$peer6" "$peer_ll"; do
        "$IP" -n "$ns" -6 neigh replace "$p" lladdr "$mac" nud permanent dev "$dev"
    done
    for net in 2001:db8:77::/64 fe80::/64; do
        "$IP" -n "$ns" -6 route replace "$net" dev "$dev" congctl cubic
    done
}

case $cmd in
up)
    for ns in $("$IP" netns list | awk '{print $1}'); do
        old=${ns#tarvo-}; old=${old%-a}
        pid=${old#b}; pid=${pid%%x*}
        case $ns:$pid in
        tarvo-*-a:*[!0-9]* | tarvo-*-a:) ;;
        tarvo-*-a:*) kill -0 "$pid" 2>/dev/null || "$0" down "$old" ;;
        esac
    done
    "$IP" netns add "$a"
    "$IP" netns add "$b"
    "$IP" link add "tv${tag}a" netns "$a" address "$A_MAC" type veth peer name "tv${tag}b" netns "$b" address "$B_MAC"
    "$IP" -n "$a" addr add "$A_ADDR/24" dev "tv${tag}a"
    "$IP" -n "$b" addr add "$B_ADDR/24" dev "tv${tag}b"
    # IPv6 addresses of fixed names, usable at once (no duplicate detection)
    "$IP" -n "$a" link set "tv${tag}a" addrgenmode none
    "$IP" -n "$b" link set "tv${tag}b" addrgenmode none
    "$IP" -n "$a" addr add "$A_ADDR6/64" dev "tv${tag}a" nodad noprefixroute
    "$IP" -n "$b" addr add "$B_ADDR6/64" dev "tv${tag}b" nodad noprefixroute
    "$IP" -n "$a" addr add fe80::1/64 dev "tv${tag}a" nodad noprefixroute
    "$IP" -n "$b" addr add fe80::2/64 dev "tv${tag}b" nodad noprefixroute
    for host in a b; do
        ns=tarvo-$tag-$host
        # the IPv6 addresses outlive the link's going down, as IPv4's do
        "$IP" netns exec "$ns" sysctl -qw "net.ipv6.conf.tv$tag$host.keep_addr_on_down=1"
        "$IP" -n "$ns" link set lo up
        "$IP" -n "$ns" link set "tv$tag$host" up
        fixed "$host"
    done
    ;;
down)
    "$IP" netns del "$a" 2>/dev/null || true
    "$IP" netns del "$b" 2>/dev/null || true
    rm -rf "/etc/netns/$a" "/etc/netns/$b"
    ;;
link)
    "$IP" -n "tarvo-$tag-$3" link set "tv$tag$3" "$4"
    [ "$4" = down ] || fixed "$3"
    ;;
shape)
    "$IP" netns exec "tarvo-$tag-$3" "$TC" qdisc replace dev "tv$tag$3" root tbf rate "$4" burst "$5" limit "$6"
    ;;
capture)
    # the IP, TCP and UDP headers; the time from the kernel, in nanoseconds;
    # a frame written as it comes, so an interrupt loses none
    exec "$IP" netns exec "tarvo-$tag-$3" tcpdump -i "tv$tag$3" -Z root -n -s 128 -B 8192 -U --time-stamp-precision=nano \
        -w "$4" 'tcp or udp'
    ;;
*)
    echo "usage: netbed.sh up|down|link|shape|capture TAG ..." >&2
    exit 2
    ;;
esac
