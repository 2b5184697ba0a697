#!/usr/bin/env bash
# tests/manifests_test.sh SOURCE_DIR BINARY -- the Kubernetes manifests
# parse, agree with the binary and the image (ports and protocols, the
# arguments, the user), keep the hardening, and render with kubectl
# kustomize where kubectl is installed (offline).
set -euo pipefail
src=$1 binary=$2
python=/usr/bin/python3  # Debian's, with python3-yaml
if ! "$python" -c 'import yaml' 2>/dev/null; then
    echo "SKIPPED: the manifests' check needs PyYAML (package python3-yaml)"
    exit 0
fi
usage=$("$binary" 2>&1 || true)
"$python" - "$src/deploy" "$usage" <<'PY'
import glob, os, re, sys, yaml

deploy, usage = sys.argv[1], sys.argv[2]
default_port = int(re.search(r"default is (\d+)", usage).group(1))
containerfile = open(os.path.join(deploy, "Containerfile")).read()
user = re.search(r"^USER (\d+):(\d+)$", containerfile, re.M).groups()
exposed = set(re.search(r"^EXPOSE (.*)$", containerfile, re.M).group(1).split())
docs = [d for f in sorted(glob.glob(os.path.join(deploy, "kubernetes", "*.yaml")))
        for d in yaml.safe_load_all(open(f)) if d]
kinds = {}
for d in docs:
    kinds.setdefault(d["kind"], []).append(d)
failures = []
check = lambda ok, what: ok or failures.append(what)  # noqa: E731

def tcp_port(args):
    """The TCP port that tarvo's arguments give: -p, or the default."""
    return int(args[args.index("-p") + 1]) if "-p" in args else default_port

ports_of = {}
for ds in kinds["DaemonSet"]:
    name, pod = ds["metadata"]["name"], ds["spec"]["template"]["spec"]
    check(ds["spec"]["selector"]["matchLabels"].items() <= ds["spec"]["template"]["metadata"]["labels"].items(),
          name + ": the selector does not select its pods")
    ctx = pod["securityContext"]
    check(ctx["runAsNonRoot"] and (str(ctx["runAsUser"]), str(ctx["runAsGroup"])) == user,
          name + ": not the image's user")
    check(ctx["seccompProfile"]["type"] == "RuntimeDefault", name + ": seccomp")
    (c,) = pod["containers"]
    sc = c["securityContext"]
    check(sc["readOnlyRootFilesystem"] and not sc["allowPrivilegeEscalation"] and sc["capabilities"]["drop"] == ["ALL"],
          name + ": hardening")
    check("requests" in c["resources"] and "limits" in c["resources"], name + ": requests and limits")
    args = c["args"]
    check(args[0] == "-s", name + ": not a server")
    port = tcp_port(args)
    declared = {(p["containerPort"], p["protocol"]) for p in c.get("ports", [])}
    if "-t" in args:  # the clients' pod: a TCP server on loopback alone, to idle
        check(args[args.index("-h") + 1] == "127.0.0.1" and not declared, name + ": the idling server is not private")
        continue
    ports_of[name] = port
    check(declared == {(port, "TCP"), (port + 1, "TCP"), (port + 1, "UDP")}, name + ": ports %s" % declared)
    check(c["readinessProbe"]["tcpSocket"]["port"] == port, name + ": readiness probe")
    check(pod.get("hostNetwork", False) == ("host-network" in name), name + ": network")
check(ports_of.get("tarvo-server") == default_port, "the pod-network servers are not on the default port")
check(ports_of.get("tarvo-server-host-network") not in (None, default_port, default_port - 1, default_port + 1),
      "the host-network servers share ports with the pod-network ones")
check(exposed == {"%d/tcp" % default_port, "%d/tcp" % (default_port + 1), "%d/udp" % (default_port + 1)},
      "the image exposes %s" % exposed)
(svc,) = kinds["Service"]
check(svc["spec"]["clusterIP"] == "None", "the Service is not headless")
check({(p["port"], p["protocol"]) for p in svc["spec"]["ports"]} ==
      {(default_port, "TCP"), (default_port + 1, "TCP"), (default_port + 1, "UDP")}, "the Service's ports")
check(svc["spec"]["selector"].items() <= next(d for d in kinds["DaemonSet"] if d["metadata"]["name"] == "tarvo-server")
      ["spec"]["template"]["metadata"]["labels"].items(), "the Service selects no server")
if failures:
    sys.exit("FAILED: " + "; ".join(failures))
PY
if command -v kubectl >/dev/null; then
    rendered=$(kubectl kustomize "$src/deploy/kubernetes") || { echo "FAILED: kubectl kustomize" >&2; exit 1; }
    [ "$(grep -c '^kind: DaemonSet$' <<<"$rendered")" -eq 3 ] || { echo "FAILED: rendered: $rendered" >&2; exit 1; }
    grep -q '^  namespace: tarvo$' <<<"$rendered" || { echo "FAILED: no namespace" >&2; exit 1; }
else
    echo "SKIPPED: rendering needs kubectl (package kubernetes-client)"
fi
echo "the manifests agree with the binary and the image"
