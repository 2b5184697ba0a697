#!/usr/bin/env bash
# tests/packaging_test.sh SOURCE_DIR BUILD_DIR -- the man page renders cleanly,
# `cmake --install` lays out bin/, the man page, the docs and a system unit
# that systemd accepts and rates safe, and the .deb installs a tarvo that
# runs and passes lintian (where lintian is installed) without a word.
set -euo pipefail
src=$1 build=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
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
    # informational tags aside: an E: or W: of any kind fails
    said=$(lintian "$deb" 2>&1 | grep -E '^[EW]: ' || true)
    [ -z "$said" ] || fail "lintian: $said"
else
    echo "SKIPPED: the package check needs lintian"
fi
echo "man page, install tree and package all good"
