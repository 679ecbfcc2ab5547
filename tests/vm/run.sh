#!/bin/bash
# Runs the daemon against a real Linux kernel: Debian's own kernel boots in a
# QEMU VM with a SATA disk on AHCI, a SCSI disk on virtio-scsi, an NVMe disk, virtio-blk
# disks for the bcache cache set and the OSD DB, scsi_debug, real bcache and
# real LVM. One VM boot per scenario; results come back over a 9p share.
#
#   tests/vm/run.sh [--full] [--list] QUELVAR_BINARY [SCENARIO...]
#
# Scenarios marked "# needs: full-daemon" run only with --full.
# Environment: QUELVAR_VM_CACHE (built assets, default ~/.cache/quelvar-vm),
# QUELVAR_VM_OUT (results, default vm-results beside the binary),
# QUELVAR_VM_ACCEL (default kvm:tcg; tcg forces software emulation),
# QUELVAR_VM_TIMEOUT (seconds one scenario may take in the guest, default 150).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
GUEST="$HERE/guest"
MODULES="virtio_pci virtio-rng virtio_blk virtio_scsi ahci sd_mod sg bcache dm_mod dm_crypt nvme 9p 9pnet_virtio scsi_debug"
TOOLS="/usr/sbin/lvm /usr/sbin/dmsetup /usr/sbin/make-bcache /usr/sbin/bcache-super-show /usr/sbin/hdparm /usr/bin/sdparm
/usr/bin/sg_modes /usr/bin/sg_raw /usr/bin/sg_sync /usr/bin/sg_turs /usr/bin/sg_inq /usr/bin/sg_sat_set_features"
PACKAGES="qemu-system-x86 busybox-static lvm2 bcache-tools kmod cpio sg3-utils sdparm hdparm"

full=0
listOnly=0
while [ $# -gt 0 ]; do
    case "$1" in
    --full) full=1; shift ;;
    --list) listOnly=1; shift ;;
    -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
    *) break ;;
    esac
done

AllScenarios() {
    local f
    for f in "$GUEST"/scenarios/*.sh; do basename "$f" .sh; done
}

NeedsFull() {
    grep -q '^# needs: full-daemon' "$GUEST/scenarios/$1.sh"
}

if [ "$listOnly" = 1 ]; then
    for s in $(AllScenarios); do
        if NeedsFull "$s"; then echo "$s (needs --full)"; else echo "$s"; fi
    done
    exit 0
fi

[ $# -ge 1 ] || { echo "usage: $0 [--full] [--list] QUELVAR_BINARY [SCENARIO...]" >&2; exit 64; }
BINARY=$(readlink -f "$1")
shift
[ -x "$BINARY" ] || { echo "vm: no executable daemon at $BINARY" >&2; exit 64; }

CACHE=${QUELVAR_VM_CACHE:-${HOME:-/root}/.cache/quelvar-vm}
OUT=${QUELVAR_VM_OUT:-$(dirname "$BINARY")/vm-results}
ACCEL=${QUELVAR_VM_ACCEL:-kvm:tcg}
GUEST_TIMEOUT=${QUELVAR_VM_TIMEOUT:-150}
mkdir -p "$CACHE" "$OUT"

Say() { echo "vm: $*"; }

CheckHostTools() {
    local missing="" t
    for t in qemu-system-x86_64 busybox depmod modprobe cpio gzip cc apt-get dpkg-deb /usr/sbin/lvm \
        /usr/sbin/make-bcache /usr/bin/sdparm /usr/bin/sg_modes /usr/sbin/hdparm; do
        command -v "$t" >/dev/null 2>&1 || missing="$missing $t"
    done
    # The guest has no libraries of its own for busybox: it must be static.
    local applets linkage
    applets=$(busybox --list 2>/dev/null || true)
    linkage=$(ldd "$(command -v busybox 2>/dev/null || echo /nonexistent)" 2>&1 || true)
    case "$linkage" in
    *"not a dynamic"*) ;;
    *) missing="$missing busybox-static" ;;
    esac
    echo "$applets" | grep -x timeout >/dev/null || missing="$missing busybox-static"
    if [ -n "$missing" ]; then
        echo "vm: missing on the host:$missing (apt-get install $PACKAGES)" >&2
        exit 69
    fi
}

# The image package that linux-image-amd64 points at, and its version; both
# name the cached kernel, so a new Debian kernel is fetched and built anew.
KernelPackage() {
    apt-cache depends linux-image-amd64 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}

PrepareKernel() {
    local pkg ver
    pkg=$(KernelPackage)
    if [ -z "$pkg" ]; then
        apt-get update -qq >/dev/null 2>&1 || true
        pkg=$(KernelPackage)
    fi
    if [ -z "$pkg" ]; then
        # Offline: any kernel built before will do.
        KDIR=$(ls -d "$CACHE"/kernel/*/ 2>/dev/null | tail -n 1)
        [ -n "$KDIR" ] || { echo "vm: cannot find the package linux-image-amd64 depends on" >&2; exit 69; }
        KDIR=${KDIR%/}
        KVER=$(cat "$KDIR/release")
        return
    fi
    ver=$(apt-cache show --no-all-versions "$pkg" | awk '/^Version:/ {print $2; exit}')
    # The module list is part of the name: a module added here is fetched
    # with its dependencies instead of missing from a kernel built before.
    KDIR="$CACHE/kernel/$pkg-$ver-$(echo "$MODULES" | sha256sum | cut -c1-8)"
    if [ -f "$KDIR/ready" ]; then
        KVER=$(cat "$KDIR/release")
        return
    fi
    Say "fetching $pkg $ver"
    local tmp
    tmp=$(mktemp -d "$CACHE/kernel-tmp.XXXXXX")
    chmod 755 "$tmp"
    if ! (cd "$tmp" && apt-get download "$pkg=$ver" >/dev/null 2>&1); then
        apt-get update -qq >/dev/null 2>&1 || true
        (cd "$tmp" && apt-get download "$pkg=$ver" >/dev/null)
    fi
    dpkg-deb -x "$tmp"/*.deb "$tmp/root"
    KVER=$(ls "$tmp/root/lib/modules")
    depmod -b "$tmp/root" "$KVER"
    rm -rf "$KDIR"
    mkdir -p "$KDIR/modules"
    cp "$tmp/root/boot/vmlinuz-$KVER" "$KDIR/vmlinuz"
    # The load order, dependencies first, each module once; insmod in the
    # guest follows it, so no module tooling is needed there.
    local m line path
    for m in $MODULES; do
        modprobe -d "$tmp/root" -S "$KVER" --show-depends "$m" | while read -r line; do
            case "$line" in
            insmod\ *)
                path=$(echo "$line" | awk '{print $2}')
                echo "$(basename "$path")"
                cp -n "$path" "$KDIR/modules/"
                ;;
            esac
        done
    done | awk '!seen[$0]++' >"$KDIR/load-order"
    echo "$KVER" >"$KDIR/release"
    rm -rf "$tmp"
    touch "$KDIR/ready"
}

# Copies executables and the shared libraries they load into an image root.
CopyWithLibs() {
    local root=$1 f lib
    shift
    for f in "$@"; do
        mkdir -p "$root$(dirname "$f")"
        cp -L "$f" "$root$f"
        for lib in $(ldd "$f" 2>/dev/null | awk '/=> \// {print $3} /^\t\/lib/ {print $1}'); do
            if [ ! -e "$root$lib" ]; then
                mkdir -p "$root$(dirname "$lib")"
                cp -L "$lib" "$root$lib"
            fi
        done
    done
}

# The base image: busybox, modules, LVM, bcache and SCSI tools. Cached under
# a key made of everything it is built from.
PrepareBase() {
    local key
    key=$( (
        cat "$KDIR/release" "$KDIR/load-order" "$0"
        dpkg-query -W busybox-static lvm2 bcache-tools sg3-utils sdparm hdparm libc6 2>/dev/null
    ) | sha256sum | cut -c1-16)
    BASE="$CACHE/base-$key.cpio.gz"
    [ -f "$BASE" ] && return
    Say "building base image $key"
    local root
    root=$(mktemp -d "$CACHE/base-tmp.XXXXXX")
    mkdir -p "$root"/{bin,sbin,bb,dev,proc,sys,run,tmp,etc/lvm,lib64,results,var/log,var/lib/ceph/osd}
    cp "$(command -v busybox)" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
    # shellcheck disable=SC2086
    CopyWithLibs "$root" $TOOLS
    local t
    for t in pvs pvcreate pvremove vgcreate vgchange vgs lvcreate lvs; do ln -s lvm "$root/usr/sbin/$t"; done
    mkdir -p "$root/lib/modules/$KVER"
    cp "$KDIR"/modules/*.ko "$root/lib/modules/$KVER/"
    cp "$KDIR/load-order" "$root/etc/module-load-order"
    printf 'root:x:0:0:root:/root:/bin/sh\n' >"$root/etc/passwd"
    printf 'root:x:0:\n' >"$root/etc/group"
    (cd "$root" && find . | cpio -o -H newc --quiet | gzip -1) >"$BASE.tmp"
    mv "$BASE.tmp" "$BASE"
    rm -rf "$root"
}

# The per-run image, appended to the base: the daemon with its libraries,
# the guest scripts and the probe. Small, so it is built every run.
PrepareRunImage() {
    local root=$WORK/runroot
    rm -rf "$root"
    mkdir -p "$root/usr/sbin" "$root/guest" "$root/etc/lvm"
    CopyWithLibs "$root" "$BINARY"
    if [ "$BINARY" != /usr/sbin/quelvar ]; then
        mv "$root$BINARY" "$root/usr/sbin/quelvar"
    fi
    cc -static -O2 -o "$root/usr/sbin/qvprobe" "$GUEST/qvprobe.c"
    cp "$GUEST/init" "$root/init"
    chmod 755 "$root/init"
    cp "$GUEST/lib.sh" "$root/guest/"
    cp -r "$GUEST/scenarios" "$root/guest/"
    cp "$GUEST/lvm.conf" "$root/etc/lvm/lvm.conf"
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$WORK/run.cpio"
    # The uncompressed archive goes first: the kernel reads on after an
    # uncompressed one, but wants a compressed one to end the image.
    cat "$WORK/run.cpio" "$BASE" >"$WORK/initrd"
}

# One boot. The guest bounds the scenario itself and always powers off; the
# host bound is the backstop for a guest that hangs anyway.
RunScenario() {
    local name=$1 dir="$OUT/$1" rc=0
    rm -rf "$dir"
    mkdir -p "$dir/share"
    truncate -s 256M "$dir/sata.img"
    truncate -s 256M "$dir/scsi.img"
    truncate -s 64M "$dir/cache.img"
    truncate -s 64M "$dir/db.img"
    truncate -s 256M "$dir/nvme.img"
    local start=$SECONDS
    timeout -k 5 $((GUEST_TIMEOUT + 90)) qemu-system-x86_64 \
        -nodefaults -no-reboot -machine "pc,accel=$ACCEL" -m 768 -smp 1 \
        -display none -serial "file:$dir/console.log" \
        -kernel "$KDIR/vmlinuz" -initrd "$WORK/initrd" \
        -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init quelvar.scenario=$name quelvar.timeout=$GUEST_TIMEOUT" \
        -device virtio-rng-pci \
        -device ahci,id=ahci \
        -drive "if=none,id=sata0,file=$dir/sata.img,format=raw,cache=unsafe" \
        -device ide-hd,bus=ahci.0,drive=sata0,model=QVSATA,serial=QVSATA0,write-cache=on \
        -device virtio-scsi-pci,id=vscsi \
        -drive "if=none,id=scsi0,file=$dir/scsi.img,format=raw,cache=unsafe" \
        -device scsi-hd,bus=vscsi.0,drive=scsi0,vendor=QEMU,product=QVSCSI,serial=QVSCSI0,write-cache=on \
        -drive "if=none,id=nvme0,file=$dir/nvme.img,format=raw,cache=unsafe" \
        -device nvme,drive=nvme0,serial=QVNVME0 \
        -drive "if=none,id=cache0,file=$dir/cache.img,format=raw,cache=unsafe" \
        -device virtio-blk-pci,drive=cache0,serial=QVCACHE \
        -drive "if=none,id=db0,file=$dir/db.img,format=raw,cache=unsafe" \
        -device virtio-blk-pci,drive=db0,serial=QVDB \
        -fsdev "local,id=results,path=$dir/share,security_model=none" \
        -device virtio-9p-pci,fsdev=results,mount_tag=results \
        >"$dir/qemu.log" 2>&1 || rc=$?
    rm -f "$dir"/*.img
    local took=$((SECONDS - start))
    if [ -f "$dir/share/output.txt" ]; then
        sed 's/^/    /' "$dir/share/output.txt"
    fi
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        Say "FAIL $name: timed out after ${took}s (console: $dir/console.log)"
        return 1
    fi
    local verdict
    verdict=$(cat "$dir/share/verdict" 2>/dev/null || echo "no verdict")
    if [ "$rc" != 0 ] || [ "$verdict" != PASS ]; then
        Say "FAIL $name: $verdict, qemu status $rc after ${took}s (console: $dir/console.log)"
        tail -n 20 "$dir/console.log" 2>/dev/null | sed 's/^/    console: /'
        return 1
    fi
    Say "PASS $name (${took}s)"
}

CheckHostTools
PrepareKernel
PrepareBase
WORK=$(mktemp -d "${TMPDIR:-/tmp}/quelvar-vm.XXXXXX")
trap 'rm -rf "$WORK"' EXIT
PrepareRunImage

# /dev/kvm can exist and still not run a guest (nested virtualisation that
# hangs early in boot): a short probe boot decides, remembered per host
# kernel and QEMU version. A kernel without init panics and, with
# -no-reboot, ends QEMU: seconds under a working KVM.
KvmWorks() {
    [ -c /dev/kvm ] && [ -w /dev/kvm ] || return 1
    local key verdict
    key="$CACHE/kvm-$(uname -r)-$(qemu-system-x86_64 --version | awk 'NR == 1 {print $4}')"
    if [ ! -f "$key" ]; then
        verdict=no
        if timeout -k 2 20 qemu-system-x86_64 -nodefaults -no-reboot -machine pc,accel=kvm -m 256 \
            -display none -serial "file:$WORK/kvm-probe.log" -kernel "$KDIR/vmlinuz" \
            -append "console=ttyS0 panic=-1 rdinit=/none" >/dev/null 2>&1 &&
            grep -q 'Kernel panic' "$WORK/kvm-probe.log"; then
            verdict=yes
        fi
        echo "$verdict" >"$key"
    fi
    [ "$(cat "$key")" = yes ]
}
case "$ACCEL" in
*kvm*) KvmWorks || ACCEL=tcg ;;
esac
Say "kernel $KVER, accel $ACCEL, results in $OUT"

scenarios=("$@")
[ ${#scenarios[@]} -gt 0 ] || mapfile -t scenarios < <(AllScenarios)
passed=0 failed=0 skipped=0
for s in "${scenarios[@]}"; do
    if [ ! -f "$GUEST/scenarios/$s.sh" ]; then
        Say "FAIL $s: no such scenario"
        failed=$((failed + 1))
        continue
    fi
    if NeedsFull "$s" && [ "$full" != 1 ] && [ $# -eq 0 ]; then
        Say "SKIP $s (needs the finished daemon: run with --full)"
        skipped=$((skipped + 1))
        continue
    fi
    Say "RUN  $s"
    if RunScenario "$s"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "vm: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
