# tests/image_lib.sh -- sourced by the image tests: the image built from a
# binary and its root exported, for chroot. No container can start on the
# test machines (the OCI runtime is refused setrlimit), so the tests run the
# image's root with chroot inside network namespaces of their own instead.

# image_root BINARY ROOT: builds the image from BINARY under a tag of this
# test's own, copies its root file system to ROOT, removes the image again,
# and prints the image's size in bytes, then its user, ports and command.
image_root() {
    local tag=localhost/tarvo-test-$$:latest size ctr mnt
    size=$("$src/deploy/build-image.sh" "$1" "$tag") || return 1
    echo "$size"
    buildah --storage-driver vfs inspect --type image \
        --format '{{.OCIv1.Config.User}} {{.OCIv1.Config.ExposedPorts}} {{.OCIv1.Config.Entrypoint}} {{.OCIv1.Config.Cmd}}' \
        "$tag"
    ctr=$(buildah --storage-driver vfs from --quiet "$tag") &&
        mnt=$(buildah --storage-driver vfs mount "$ctr") &&
        cp -a "$mnt/." "$2/"
    local copied=$?
    [ -z "${ctr:-}" ] || { buildah --storage-driver vfs umount "$ctr"; buildah --storage-driver vfs rm "$ctr"; } >/dev/null
    buildah --storage-driver vfs rmi "$tag" >/dev/null
    return $copied
}

# skip_unless_images: says SKIPPED and ends the test where it cannot run.
skip_unless_images() {
    if [ "$(id -u)" != 0 ]; then
        echo "SKIPPED: the image's root runs in network namespaces, which need root"
        exit 0
    elif ! command -v buildah >/dev/null; then
        echo "SKIPPED: building the image needs buildah (package buildah)"
        exit 0
    fi
}

# wait_listening FILE: waits up to 10 s until the server writing FILE
# listens for both protocols; 1 when it does not.
wait_listening() {
    for _ in $(seq 100); do
        [ "$(grep -c 'server listening' "$1")" -eq 2 ] && return 0
        sleep 0.1
    done
    return 1
}

# stop PID...: ends the processes by their PIDs, and waits (bounded) until they have gone.
stop() {
    local pid
    for pid in "$@"; do kill "$pid" 2>/dev/null; done
    for pid in "$@"; do
        for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
        kill -KILL "$pid" 2>/dev/null || true
    done
    return 0
}

# in_root NS ROOT ARGS...: the image's tarvo run as its user in namespace NS, chrooted to ROOT.
in_root() {
    local ns=$1 root=$2
    shift 2
    ip netns exec "$ns" chroot --userspec=65532:65532 "$root" /usr/bin/tarvo "$@"
}
