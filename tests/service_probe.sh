#!/bin/sh
# tests/service_probe.sh TARVO REPORT -- runs inside the container that
# packaging_test.sh boots, as a service after tarvo.service: checks the
# service as systemd runs it, with TARVO for the client runs too, writes "ok"
# or what failed to REPORT, then powers the container off.
tarvo=$1 report=$2
failed=""
fail() { failed="$failed$*
"; }
state() { systemctl show -p "$1" --value tarvo; }
running() {  # waits up to 15 s for the service to run with a main process other than $1
    i=0
    while [ $i -lt 150 ]; do
        [ "$(state SubState)" = running ] && [ "$(state MainPID)" != 0 ] && [ "$(state MainPID)" != "$1" ] && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}
main() {
    running 0 || { fail "not running: $(systemctl status tarvo 2>&1)"; return; }
    pid=$(state MainPID)
    uid=$(sed -n 's/^Uid:[[:space:]]*\([0-9]*\).*/\1/p' "/proc/$pid/status")  # no awk: /etc/alternatives is empty
    [ -n "$uid" ] && [ "$uid" != 0 ] || fail "runs as uid '$uid'"
    [ "$(readlink "/proc/$pid/exe")" = "$tarvo" ] || fail "runs $(readlink "/proc/$pid/exe"), not $tarvo"

    # the server is bound to 127.0.0.1 (/etc/default/tarvo); the UDP client's
    # datagram socket, and its connection, to 127.0.0.2
    out=$("$tarvo" -t -b 8k 127.0.0.1 2>&1) || fail "TCP run: $out"
    echo "$out" | grep -q '^Packet size  8k bytes:  [0-9]* KByte/s Tx,  [0-9]* KByte/s Rx\.$' || fail "TCP run: $out"
    out=$("$tarvo" -u -h 127.0.0.2 -b 8k 127.0.0.1 2>&1) || fail "UDP run: $out"
    echo "$out" | grep -q '^Packet size  8k bytes:  [0-9]* KByte/s ([0-9]*%) Tx,  [0-9]* KByte/s ([0-9]*%) Rx\.$' ||
        fail "UDP run: $out"

    # the journal takes the server's last lines a little after the client
    # has ended: wait for them, bounded
    i=0
    while [ $i -lt 100 ] && [ "$(journalctl -u tarvo -o cat | grep -cxF 'UDP server listening.')" -lt 2 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    journal=$(journalctl -u tarvo -o cat)
    for line in "TCP server listening." "UDP server listening." \
                "TCP connection established with 127.0.0.1." "TCP receiving from client, packet size 8k." \
                "TCP sending to client, packet size 8k." "TCP done." \
                "UDP connection established with 127.0.0.2." "UDP receiving from client, packet size 8k." \
                "UDP sending to client, packet size 8k." "UDP done."; do
        n=$(echo "$journal" | grep -cxF "$line")
        # each service says it listens at start and again after its client
        want=1
        case $line in *listening.) want=2 ;; esac
        [ "$n" -eq $want ] || fail "the journal has '$line' $n times, not $want: $journal"
    done

    # a clean stop, then a death by another signal than the stop's: restarted
    systemctl stop tarvo
    [ "$(state Result)" = success ] && [ "$(state ExecMainStatus)" = 0 ] ||
        fail "stop: Result=$(state Result) ExecMainStatus=$(state ExecMainStatus)"
    systemctl start tarvo
    running 0 || fail "not running again after a start"
    pid=$(state MainPID)
    systemctl kill --kill-who=main -s SIGKILL tarvo
    running "$pid" || fail "not restarted after SIGKILL: $(systemctl status tarvo 2>&1)"

    # without -h, one IPv6 socket takes both families, and the journal names
    # an IPv4 client as such (a TCP run alone: a UDP client on this host
    # could not have the datagram port of a server on every address)
    mkdir -p /run/systemd/system/tarvo.service.d
    printf '%s\n' "[Service]" "ExecStart=" "ExecStart=$tarvo -s" >/run/systemd/system/tarvo.service.d/all.conf
    systemctl daemon-reload
    systemctl restart tarvo
    running 0 || fail "not running on every address: $(systemctl status tarvo 2>&1)"
    pid=$(state MainPID)
    for server in ::1 127.0.0.1; do
        out=$("$tarvo" -t -b 1k "$server" 2>&1) || fail "TCP run to $server: $out"
    done
    i=0
    while [ $i -lt 100 ] && [ "$(journalctl -o cat _PID="$pid" | grep -cxF 'TCP server listening.')" -lt 3 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    said=$(journalctl -o cat _PID="$pid")
    for line in "TCP connection established with ::1." "TCP connection established with 127.0.0.1."; do
        echo "$said" | grep -qxF "$line" || fail "the journal has no '$line': $said"
    done

    # where IPv6 sockets are refused, as on a host without IPv6, the server
    # serves IPv4 alone and says nothing of it
    # (an empty assignment first: the unit's list and this one would be merged)
    printf '%s\n' "[Service]" "RestrictAddressFamilies=" "RestrictAddressFamilies=AF_INET" \
        >/run/systemd/system/tarvo.service.d/ipv4.conf
    systemctl daemon-reload
    systemctl restart tarvo
    running 0 || fail "not running with IPv4 alone: $(systemctl status tarvo 2>&1)"
    pid=$(state MainPID)
    out=$("$tarvo" -t -b 1k 127.0.0.1 2>&1) || fail "TCP run to a server with IPv4 alone: $out"
    "$tarvo" -t -b 1k ::1 >/dev/null 2>&1 && fail "a server with IPv4 alone took IPv6"
    said=$(journalctl -o cat _PID="$pid")
    case $said in *"(): "*) fail "the server with IPv4 alone reported a failure: $said" ;; esac
}
main
echo "${failed:-ok}" > "$report"
systemctl poweroff
