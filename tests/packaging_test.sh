#!/usr/bin/env bash
# tests/packaging_test.sh SOURCE_DIR BUILD_DIR -- the man page renders
# cleanly, `cmake --install` lays out bin/, the man page, the docs and a
# system unit that systemd accepts and rates safe, the unit runs and serves
# under a real systemd (booted in a container), and the .deb installs a tarvo
# that runs and passes lintian (where lintian is installed) without a word.
set -euo pipefail
src=$1 build=$2
scratch=$(mktemp -d)
made=()  # directories outside $scratch that this test made
cleanup() {
    for d in "${made[@]}"; do
        [ -d "$d" ] && find "$d" -depth -type d -exec rmdir {} + 2>/dev/null
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

# the man page: no groff warning of any kind
warnings=$(groff -ww -man -z "$src/man/tarvo.1" 2>&1)
[ -z "$warnings" ] || fail "groff warns: $warnings"
MANWIDTH=80 man -l "$src/man/tarvo.1" 2>&1 >/dev/null | grep . && fail "man -l warns"

# the usage text of an installed binary: status 1, the text on standard output
check_usage() {
    local status=0 out
    out=$("$1" 2>&1) || status=$?
    [ "$status" -eq 1 ] || fail "$1 exited with $status"
    grep -q '^Usage: tarvo \[options\] \[<server>\]$' <<<"$out" || fail "$1 printed: $out"
}

cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
for f in bin/tarvo share/man/man1/tarvo.1.gz share/doc/tarvo/copyright share/doc/tarvo/changelog.gz \
         lib/systemd/system/tarvo.service; do
    [ -f "$scratch/prefix/$f" ] || fail "no $f"
done
check_usage "$scratch/prefix/bin/tarvo"

# the unit: it names the binary installed beside it; systemd has nothing to
# say of it, and rates its exposure 1.5 or lower (iperf3's own unit: 9.2)
unit=$scratch/prefix/lib/systemd/system/tarvo.service
grep -qx "ExecStart=$scratch/prefix/bin/tarvo -s \$TARVO_OPTIONS" "$unit" || fail "ExecStart: $(grep ExecStart "$unit")"
if command -v systemd-analyze >/dev/null; then
    said=$(systemd-analyze verify --man=no "$unit" 2>&1) || fail "systemd-analyze verify: $said"
    [ -z "$said" ] || fail "systemd-analyze verify says: $said"
    systemd-analyze security --offline=yes --threshold=15 "$unit" >"$scratch/security" 2>&1 ||
        fail "exposure above 1.5: $(tail -1 "$scratch/security")"
else
    echo "SKIPPED: the unit checks need systemd-analyze (package systemd)"
fi

# The installed unit under a real systemd: the machine's own /usr, read-only,
# and a fresh tmpfs for all else (--volatile), never the machine's own root,
# whose /tmp systemd would empty at boot. An install for /usr/local is bound
# over the container's /usr/local, where systemd finds its unit (the
# service's private /tmp would hide a binary under /tmp); the container's
# /etc holds only /etc/default/tarvo and the probe's units. It boots into the
# probe's target, and the probe powers it off.
boot_service() {
    local stage=$scratch/stage units=$scratch/units out=$scratch/out cgroups=() d
    mkdir -p "$units" "$out"
    DESTDIR=$stage cmake --install "$build" --prefix /usr/local >/dev/null
    echo 'TARVO_OPTIONS="-h 127.0.0.1"' >"$scratch/default"
    printf '%s\n' "[Unit]" "After=tarvo.service" "[Service]" "Type=oneshot" \
        "ExecStart=/bin/sh $src/tests/service_probe.sh /usr/local/bin/tarvo /report/result" \
        >"$units/probe.service"
    printf '%s\n' "[Unit]" "Requires=tarvo.service probe.service" "After=probe.service" >"$units/probe.target"
    # nspawn leaves cgroups and run-time directories behind: only ones of this test's own
    for d in /run/systemd/nspawn /run/systemd/nspawn-root; do
        [ -e "$d" ] || made+=("$d")
    done
    if [ -e /sys/fs/cgroup/cgroup.procs ]; then
        cgroups=("/sys/fs/cgroup$(sed -n 's/^0:://p' /proc/self/cgroup)/tarvo-test-$$")
    else
        cgroups=("/sys/fs/cgroup/unified/tarvo-test-$$" "/sys/fs/cgroup/systemd/tarvo-test-$$")
    fi
    for d in "${cgroups[@]}"; do
        mkdir "$d" && made+=("$d")
    done
    (
        for d in "${cgroups[@]}"; do echo "$BASHPID" >"$d/cgroup.procs"; done
        exec timeout -k 10 120 systemd-nspawn --quiet --volatile=yes --register=no --keep-unit --private-network \
            --console=pipe -D / --bind-ro="$stage/usr/local:/usr/local" --bind="$out:/report" \
            --bind-ro="$units:/etc/systemd/system" --bind-ro="$scratch/default:/etc/default/tarvo" \
            --bind-ro="$src" \
            -b systemd.unit=probe.target systemd.firstboot=no systemd.mask=systemd-networkd-wait-online.service
    ) >"$scratch/boot.log" 2>&1 || true
    [ -f "$out/result" ] || fail "the container did not report: $(tail -20 "$scratch/boot.log")"
    [ "$(cat "$out/result")" = ok ] || fail "under systemd: $(cat "$out/result")"
}
if [ "$(id -u)" != 0 ]; then
    echo "SKIPPED: the unit under systemd needs root, for systemd-nspawn"
elif ! command -v systemd-nspawn >/dev/null; then
    echo "SKIPPED: the unit under systemd needs systemd-nspawn (package systemd-container)"
elif [ ! -e /sys/fs/cgroup/cgroup.procs ] && [ ! -d /sys/fs/cgroup/unified ]; then
    echo "SKIPPED: the unit under systemd needs a cgroup2 hierarchy, for systemd-nspawn"
else
    boot_service
fi

(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/tarvo_*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
grep -qx './usr/bin/tarvo' <<<"$files" || fail "the package lacks /usr/bin/tarvo: $files"
for f in ./usr/share/man/man1/tarvo.1.gz ./usr/share/doc/tarvo/copyright ./lib/systemd/system/tarvo.service; do
    grep -qx "$f" <<<"$files" || fail "the package lacks $f: $files"
done
[ "$(dpkg-deb -f "$deb" Package)" = tarvo ] || fail "package name"
# the version has one source, the project's; the changelog's newest entry must name it
version=$(dpkg-deb -f "$deb" Version)
[ "$(sed -n '1s/^tarvo (\([^)]*\)).*/\1/p' "$src/packaging/changelog")" = "$version" ] ||
    fail "the changelog's newest entry is not version $version"
dpkg-deb -x "$deb" "$scratch/root"
check_usage "$scratch/root/usr/bin/tarvo"
grep -qx 'ExecStart=/usr/bin/tarvo -s $TARVO_OPTIONS' "$scratch/root/lib/systemd/system/tarvo.service" ||
    fail "the packaged unit does not start /usr/bin/tarvo"
if command -v lintian >/dev/null; then
    # informational tags aside: an E: or W: of any kind fails. Lintian leaves
    # temporary files behind: in the scratch directory they go with it.
    said=$(TMPDIR=$scratch lintian "$deb" 2>&1 | grep -E '^[EW]: ' || true)
    [ -z "$said" ] || fail "lintian: $said"
else
    echo "SKIPPED: the package check needs lintian"
fi
echo "man page, install tree and package all good"
