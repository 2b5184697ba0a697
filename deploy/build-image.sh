#!/usr/bin/env bash
# deploy/build-image.sh BINARY [TAG] -- builds the tarvo image (default tag
# tarvo:latest) from a tarvo binary with buildah, offline, storage driver
# vfs, and prints its size in bytes. The root holds the binary, the shared
# libraries that it loads (as ldd lists them), and /etc files for name
# lookups (files, then DNS) and for the user it runs as; a container
# runtime puts its own /etc/hosts and /etc/resolv.conf over them.
set -euo pipefail
binary=$(readlink -f "$1") tag=${2:-tarvo:latest}
here=$(cd "$(dirname "$0")" && pwd)
context=$(mktemp -d /tmp/tarvo-image-XXXXXX)
trap 'rm -rf "$context"' EXIT
root=$context/root
mkdir -p "$root/usr/bin" "$root/etc"
cp "$binary" "$root/usr/bin/tarvo"
strip "$root/usr/bin/tarvo"
# the libraries the binary loads, the loader among them, at the paths it names
for lib in $(ldd "$binary" | grep -o '/[^ ]*'); do
    mkdir -p "$root$(dirname "$lib")"
    cp -L "$lib" "$root$lib"
done
printf 'hosts: files dns\n' >"$root/etc/nsswitch.conf"
printf 'tarvo:x:65532:65532:tarvo:/:/usr/bin/tarvo\n' >"$root/etc/passwd"
printf 'tarvo:x:65532:\n' >"$root/etc/group"
printf '127.0.0.1 localhost\n::1 localhost\n' >"$root/etc/hosts"
: >"$root/etc/resolv.conf"
cp "$here/Containerfile" "$context/"
buildah --storage-driver vfs bud --quiet --layers=false -f "$context/Containerfile" -t "$tag" "$context" >/dev/null
# the size: its layer (an uncompressed tar) and its configuration, as the manifest gives them
buildah --storage-driver vfs inspect --type image --format '{{.Manifest}}' "$tag" |
    grep -o '"size":[0-9]*' | awk -F: '{ total += $2 } END { print total }'
