#!/usr/bin/env bash
# tests/packaging_test.sh SOURCE_DIR BUILD_DIR -- the man page renders cleanly,
# `cmake --install` lays out bin/ and share/man/, and the .deb installs a
# tarvo that runs.
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
[ -x "$scratch/prefix/bin/tarvo" ] || fail "no bin/tarvo"
[ -f "$scratch/prefix/share/man/man1/tarvo.1" ] || fail "no share/man/man1/tarvo.1"
check_usage "$scratch/prefix/bin/tarvo"

(cd "$build" && cpack -G DEB -B "$scratch/deb" >/dev/null)
deb=$(ls "$scratch"/deb/tarvo_*.deb)
files=$(dpkg-deb -c "$deb" | awk '{print $6}')
grep -qx './usr/bin/tarvo' <<<"$files" || fail "the package lacks /usr/bin/tarvo: $files"
grep -qx './usr/share/man/man1/tarvo.1' <<<"$files" || fail "the package lacks the man page: $files"
[ "$(dpkg-deb -f "$deb" Package)" = tarvo ] || fail "package name"
dpkg-deb -x "$deb" "$scratch/root"
check_usage "$scratch/root/usr/bin/tarvo"
echo "man page, install tree and package all good"
