# Sourced by run.sh. A Debian 12 root file system with Ceph's own tools, for
# the scenarios that let ceph-volume make the OSDs ("# vm: ceph-root"). It is
# built with debootstrap from Debian's archive, never booted as a system: the
# guest mounts it read-only over 9p and runs the tools and the daemon in a
# chroot, with tmpfs wherever they write. Cached under a key made of the
# package list and this file, so it is built once (about 2 minutes, 0.8 GB).

CEPH_ROOT_PACKAGES="ceph-mon ceph-osd lvm2 bcache-tools cryptsetup-bin sdparm hdparm nvme-cli util-linux iproute2 udev"
CEPH_ROOT_MIRROR=${QUELVAR_VM_MIRROR:-http://deb.debian.org/debian}

PrepareCephRoot() {
    local key
    key=$( (
        echo "$CEPH_ROOT_PACKAGES $CEPH_ROOT_MIRROR"
        cat "${BASH_SOURCE[0]}"
    ) | sha256sum | cut -c1-16)
    CEPH_ROOT="$CACHE/cephroot-$key"
    [ -f "$CEPH_ROOT.ready" ] && return
    # Installed when missing, as .ci/vm.sh installs the bed's other tools.
    if ! command -v debootstrap >/dev/null 2>&1; then
        Say "installing debootstrap"
        { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap; } \
            >/dev/null 2>&1 || { echo "vm: debootstrap is missing and could not be installed (apt-get install debootstrap)" >&2; exit 69; }
    fi
    Say "building the Debian root with Ceph in $CEPH_ROOT (a few minutes)"
    local log="$CACHE/cephroot-$key.log"
    rm -rf "$CEPH_ROOT"
    if ! debootstrap --variant=minbase bookworm "$CEPH_ROOT" "$CEPH_ROOT_MIRROR" >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "vm: debootstrap failed (log: $log)" >&2
        exit 1
    fi
    local security=${CEPH_ROOT_MIRROR%/debian}/debian-security
    printf 'deb %s bookworm main\ndeb %s bookworm-updates main\ndeb %s bookworm-security main\n' \
        "$CEPH_ROOT_MIRROR" "$CEPH_ROOT_MIRROR" "$security" >"$CEPH_ROOT/etc/apt/sources.list"
    # No daemon may start inside the chroot while packages are installed.
    printf '#!/bin/sh\nexit 101\n' >"$CEPH_ROOT/usr/sbin/policy-rc.d"
    chmod 755 "$CEPH_ROOT/usr/sbin/policy-rc.d"
    # shellcheck disable=SC2086
    if ! chroot "$CEPH_ROOT" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends $CEPH_ROOT_PACKAGES && apt-get clean" \
        >>"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "vm: installing Ceph into the Debian root failed (log: $log)" >&2
        exit 1
    fi
    # The guest's tools (lib.sh, the daemon) are mounted here at run time.
    mkdir -p "$CEPH_ROOT/guest" "$CEPH_ROOT/usr/local/sbin"
    touch "$CEPH_ROOT.ready"
    Say "Debian root ready: $(du -sh "$CEPH_ROOT" | cut -f1)"
}
