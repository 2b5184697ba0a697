#!/usr/bin/env bash
# deploy/mesh.sh -- measures every node to every other node, one pair at a
# time, through tarvo servers that already run on them, and writes a CSV.
#
#   mesh.sh [options] NODES EXEC
#     NODES  a file of lines "NODE ADDRESS": each node's name and the address
#            of the tarvo server on it
#     EXEC   the command that runs a program on a node's client, {node}
#            standing for the node's name; it is run by sh, so it may look
#            the client up itself
#   mesh.sh --kubernetes [-6] [--host-network] [options]
#            the nodes, their servers and the clients' pods from kubectl
#            (deploy/kubernetes): status.podIPs of the server pods, the
#            family's first address, and kubectl exec into the client pod on
#            each node
#
# Options: -t, -u the protocols (default both); -b SIZES, block sizes
# separated by commas (default 1k,32k); -p PORT, the servers' TCP port
# (default 18767, 18777 for --host-network); -w SECONDS, the longest a run
# may take before it counts as hung (default 60); -o CSV (default
# standard output); -l LOG, where each run's own output goes.
#
# One row a run: client_node,server_node,protocol,block_size,
# tx_bytes_per_s,rx_bytes_per_s,tx_loss_pct,rx_loss_pct,status. The status
# is "ok", "failed: " and what the client said, or "hung: no end after N s";
# a run that did not measure leaves the figures empty, and the mesh goes on.
# Progress goes to standard error.
set -u
protocols="" sizes=1k,32k port="" wait_limit=60 csv=/dev/stdout log=/dev/null
kubernetes=false family=4 host_network=false
args=()
while [ $# -gt 0 ]; do
    case $1 in
    -t) protocols="$protocols t" ;;
    -u) protocols="$protocols u" ;;
    -b) sizes=$2; shift ;;
    -p) port=$2; shift ;;
    -w) wait_limit=$2; shift ;;
    -o) csv=$2; shift ;;
    -l) log=$2; shift ;;
    -6) family=6 ;;
    --kubernetes) kubernetes=true ;;
    --host-network) host_network=true ;;
    -*) echo "mesh.sh: unknown option $1" >&2; exit 2 ;;
    *) args+=("$1") ;;
    esac
    shift
done
protocols=${protocols:-t u}

nodes_file=$(mktemp /tmp/tarvo-mesh-XXXXXX)
trap 'rm -f "$nodes_file"' EXIT
if $kubernetes; then
    component=server
    $host_network && component=server-host-network
    port=${port:-$($host_network && echo 18777 || echo 18767)}
    kubectl get pods -n tarvo -l "app.kubernetes.io/component=$component" -o \
        jsonpath='{range .items[*]}{.spec.nodeName}{" "}{range .status.podIPs[*]}{.ip}{" "}{end}{"\n"}{end}' |
        while read -r node ips; do
            for ip in $ips; do
                case $family:$ip in 6:*:* | 4:*.*) echo "$node $ip"; break ;; esac
            done
        done >"$nodes_file"
    exec_template='kubectl exec -n tarvo "$(kubectl get pods -n tarvo -l app.kubernetes.io/component=client --field-selector spec.nodeName={node} -o name | head -n 1)" --'
else
    [ ${#args[@]} -eq 2 ] || { sed -n '2,/^$/s/^# \{0,1\}//p' "$0" >&2; exit 2; }
    grep -v '^[[:space:]]*\(#\|$\)' "${args[0]}" >"$nodes_file"
    exec_template=${args[1]}
fi
port=${port:-18767}

mapfile -t nodes <"$nodes_file"
count=$(( ${#nodes[@]} * (${#nodes[@]} - 1) * $(echo $protocols | wc -w) * $(echo "$sizes" | tr ',' '\n' | wc -l) ))
[ "$count" -gt 0 ] || { echo "mesh.sh: fewer than two nodes" >&2; exit 1; }

# A rate as tarvo prints it ("N KByte/s" or "N Byte/s"), in bytes per second.
bytes_per_s() {
    case $2 in KByte/s) echo $(( $1 * 1024 )) ;; *) echo "$1" ;; esac
}

echo "client_node,server_node,protocol,block_size,tx_bytes_per_s,rx_bytes_per_s,tx_loss_pct,rx_loss_pct,status" >"$csv"
done_runs=0
for client in "${nodes[@]}"; do
    client_node=${client%% *}
    for server in "${nodes[@]}"; do
        server_node=${server%% *} address=${server#* }
        [ "$server_node" != "$client_node" ] || continue
        for protocol in $protocols; do
            for size in ${sizes//,/ }; do
                done_runs=$((done_runs + 1))
                name=$([ "$protocol" = t ] && echo TCP || echo UDP)
                echo "[$done_runs/$count] $client_node -> $server_node $name $size" >&2
                command="${exec_template//\{node\}/$client_node} tarvo -$protocol -b $size -p $port $address"
                out=$(timeout -k 5 "$wait_limit" sh -c "$command" 2>&1 </dev/null)
                status=$?
                printf '## %s %s %s %s\n%s\n' "$client_node" "$server_node" "$name" "$size" "$out" >>"$log"
                line=$(echo "$out" | grep -m 1 '^Packet size .* bytes: .* Rx\.$')
                figures=",,,"
                # "Packet size 32k bytes:  N KByte/s (L%) Tx,  N KByte/s (L%) Rx." (no losses for TCP)
                set -- $(echo "$line" | sed -n 's/.*bytes: *\([0-9]*\) \([KByte/s]*\) *\((\([0-9]*\)%)\)\{0,1\} Tx, *\([0-9]*\) \([KByte/s]*\) *\((\([0-9]*\)%)\)\{0,1\} Rx\.$/\1 \2 x\4 \5 \6 x\8/p')
                if [ $# -eq 6 ]; then
                    figures="$(bytes_per_s "$1" "$2"),$(bytes_per_s "$4" "$5"),${3#x},${6#x}"
                fi
                if [ $status -eq 124 ] || [ $status -eq 137 ]; then
                    result="hung: no end after $wait_limit s"
                elif [ $status -ne 0 ] || [ $# -ne 6 ]; then
                    result="failed: $(echo "$out" | grep -v -e '^$' -e '^TARVO' -e 'connection established' | tr -d ',' | tr '\n' ' ' | sed 's/ *$//')"
                    [ $# -eq 6 ] || figures=",,,"
                else
                    result=ok
                fi
                echo "$client_node,$server_node,$name,$size,$figures,$result" >>"$csv"
            done
        done
    done
done
