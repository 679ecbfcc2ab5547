#!/bin/bash
# Runs the daemon against a real Linux kernel: Debian's own kernel boots in a
# QEMU VM with a SATA disk on AHCI, a SCSI disk on virtio-scsi, an NVMe disk, virtio-blk
# disks for the bcache cache set and the OSD DB, scsi_debug, real bcache and
# real LVM. One VM boot per scenario; results come back over a 9p share.
#
#   tests/vm/run.sh [--full] [--list] [--arch x86_64|arm64] QUELVAR_BINARY [SCENARIO...]
#
# Scenarios marked "# needs: full-daemon" run only with --full; those marked
# "# runs: when named" only when named; those marked "# vm: ceph-root" or
# "# vm: boot" (a Debian system booted with systemd, bootimage.sh) only when
# named or with QUELVAR_VM_CEPH=1. Those marked "# vm: power-cut" cut the
# power under a writing OSD on disks nbdkit serves (powercut.sh; x86-64 only).
# --arch arm64 boots Debian's arm64 kernel under qemu-system-aarch64 (software
# emulation) with the guest's tools from Debian's arm64 packages, for a
# cross-built daemon.
# Environment: QUELVAR_VM_CACHE (built assets, default ~/.cache/quelvar-vm),
# QUELVAR_VM_OUT (results, default vm-results beside the binary),
# QUELVAR_VM_ACCEL (default kvm:tcg; tcg forces software emulation),
# QUELVAR_VM_TIMEOUT (seconds one scenario may take in the guest, default 150,
# 300 for arm64), QUELVAR_VM_ARCH (default x86_64); for "# vm: boot"
# QUELVAR_VM_DEB (the amd64 package, default the newest in out/pkg) and
# QUELVAR_VM_DEB_PREV (the build to upgrade from, default that package with
# a lower version).
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
GUEST="$HERE/guest"
MODULES="virtio_pci virtio-rng virtio_blk virtio_scsi ahci sd_mod sg bcache dm_mod dm_crypt xts algif_skcipher nvme 9p 9pnet_virtio scsi_debug"
TOOLS="/usr/sbin/lvm /usr/sbin/dmsetup /usr/sbin/make-bcache /usr/sbin/bcache-super-show /usr/sbin/hdparm /usr/bin/sdparm
/usr/bin/sg_modes /usr/bin/sg_raw /usr/bin/sg_sync /usr/bin/sg_turs /usr/bin/sg_inq /usr/bin/sg_sat_set_features"
PACKAGES="qemu-system-x86 busybox-static lvm2 bcache-tools kmod cpio sg3-utils sdparm hdparm"
# arm64: the same MODULES (pci-host-generic, the virt machine's PCI host, is
# built in; scsi_debug is built here) and TOOLS, these from the arm64 builds
# of the packages that hold them on this host; beside them busybox and the
# daemon's C++ runtime.
ARM64_PACKAGES="busybox-static libstdc++6"
ARM64_HOST_PACKAGES="qemu-system-arm gcc-aarch64-linux-gnu make xz-utils"

full=0
listOnly=0
ARCH=${QUELVAR_VM_ARCH:-x86_64}
while [ $# -gt 0 ]; do
    case "$1" in
    --full) full=1; shift ;;
    --list) listOnly=1; shift ;;
    --arch) ARCH=${2:-}; shift 2 || shift ;;
    -h | --help) sed -n '2,24p' "$0"; exit 0 ;;
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

# "# vm: ceph-root": the scenario runs Ceph's own tools from a Debian root
# (cephroot.sh), on disks big enough for them, with more memory and time.
NeedsCephRoot() {
    grep -q '^# vm: ceph-root' "$GUEST/scenarios/$1.sh"
}
# shellcheck source=cephroot.sh
. "$HERE/cephroot.sh"

# "# vm: boot": the scenario runs on the Debian system of bootimage.sh,
# booted with systemd from its disk image, with the package installed.
NeedsBoot() {
    grep -q '^# vm: boot' "$GUEST/scenarios/$1.sh"
}
# shellcheck source=bootimage.sh
. "$HERE/bootimage.sh"

# "# vm: power-cut": disks served by nbdkit with a volatile cache, each cut
# a kill of the server and QEMU (powercut.sh); x86-64 only.
# shellcheck source=powercut.sh
. "$HERE/powercut.sh"

# A scenario that only repeats others (in one boot) runs when named.
NamedOnly() {
    grep -q '^# runs: when named' "$GUEST/scenarios/$1.sh"
}

if [ "$listOnly" = 1 ]; then
    for s in $(AllScenarios); do
        if NamedOnly "$s"; then
            echo "$s (runs when named)"
        elif NeedsFull "$s"; then echo "$s (needs --full)"; else echo "$s"; fi
    done
    exit 0
fi

[ $# -ge 1 ] || { echo "usage: $0 [--full] [--list] [--arch x86_64|arm64] QUELVAR_BINARY [SCENARIO...]" >&2; exit 64; }
BINARY=$(readlink -f "$1")
shift
[ -x "$BINARY" ] || { echo "vm: no executable daemon at $BINARY" >&2; exit 64; }
case "$ARCH" in
x86_64 | amd64) ARCH=x86_64 ;;
arm64 | aarch64) ARCH=arm64 ;;
*) echo "vm: no test bed for the architecture '$ARCH' (x86_64, arm64)" >&2; exit 64 ;;
esac
# e_machine, bytes 18-19 of the ELF header: 0xb7 is AArch64.
if [ "$ARCH" = arm64 ] && [ "$(od -An -tx1 -j18 -N2 "$BINARY" | tr -d ' ')" != b700 ]; then
    echo "vm: $BINARY is not an AArch64 executable" >&2
    exit 64
fi

CACHE=${QUELVAR_VM_CACHE:-${HOME:-/root}/.cache/quelvar-vm}
OUT=${QUELVAR_VM_OUT:-$(dirname "$BINARY")/vm-results}
ACCEL=${QUELVAR_VM_ACCEL:-kvm:tcg}
GUEST_TIMEOUT=${QUELVAR_VM_TIMEOUT:-150}
KCACHE=$CACHE
KERNEL_META=linux-image-amd64
if [ "$ARCH" = arm64 ]; then
    # Everything arm64 lives apart, so the two architectures never share a
    # kernel, a package or an image.
    KCACHE=$CACHE/arm64
    KERNEL_META=linux-image-arm64
    ACCEL=tcg
    GUEST_TIMEOUT=${QUELVAR_VM_TIMEOUT:-300}
fi
mkdir -p "$KCACHE" "$OUT"

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
    # Installed once when run as root, as .ci/vm.sh does; then checked again.
    if [ -n "$missing" ] && [ "$(id -u)" = 0 ] && [ -z "${VM_TOOLS_INSTALLED:-}" ]; then
        Say "installing the bed's tools:$missing"
        apt-get update -qq >/dev/null 2>&1
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $PACKAGES gcc >/dev/null 2>&1
        VM_TOOLS_INSTALLED=1 CheckHostTools
        return
    fi
    if [ -n "$missing" ]; then
        echo "vm: missing on the host:$missing (apt-get install $PACKAGES)" >&2
        exit 69
    fi
}

CheckHostToolsArm64() {
    local missing="" t
    for t in qemu-system-aarch64 aarch64-linux-gnu-gcc aarch64-linux-gnu-readelf depmod modprobe cpio gzip \
        apt-get apt-cache dpkg dpkg-deb make xz; do
        command -v "$t" >/dev/null 2>&1 || missing="$missing $t"
    done
    if [ -n "$missing" ]; then
        echo "vm: missing on the host:$missing (apt-get install $ARM64_HOST_PACKAGES kmod cpio)" >&2
        exit 69
    fi
}

# apt for this host's Debian sources, for the guest's architecture: the
# host's own apt for x86-64; for arm64 a package list of its own in the
# cache, so the host's dpkg never learns of a foreign architecture.
Apt() {
    local tool=$1
    shift
    if [ "$ARCH" = arm64 ]; then
        mkdir -p "$KCACHE/apt/lists/partial" "$KCACHE/apt/cache/archives/partial"
        touch "$KCACHE/apt/status"
        "$tool" -o APT::Architecture=arm64 -o APT::Architectures::=arm64 -o APT::Sandbox::User=root \
            -o Dir::State::Lists="$KCACHE/apt/lists" -o Dir::Cache="$KCACHE/apt/cache" \
            -o Dir::State::Status="$KCACHE/apt/status" "$@"
    else
        "$tool" "$@"
    fi
}

# The arm64 package list is read once a day: enough to follow Debian's
# kernel and tool updates, and a run offline keeps to the list it has.
RefreshArm64Lists() {
    [ "$ARCH" = arm64 ] || return 0
    # apt dates the lists by the archive's clock, so a stamp of our own.
    if [ -z "$(find "$KCACHE/apt/updated" -mtime -1 2>/dev/null)" ]; then
        Apt apt-get update -qq >/dev/null 2>&1 && touch "$KCACHE/apt/updated" || true
    fi
}

# The image package that linux-image-amd64 (or -arm64) points at, and its
# version; both name the cached kernel, so a new Debian kernel is fetched and
# built anew.
KernelPackage() {
    Apt apt-cache depends "$KERNEL_META" 2>/dev/null | awk '/Depends: linux-image-[0-9]/ {print $2; exit}'
}

PrepareKernel() {
    local pkg ver
    RefreshArm64Lists
    pkg=$(KernelPackage)
    if [ -z "$pkg" ]; then
        Apt apt-get update -qq >/dev/null 2>&1 || true
        pkg=$(KernelPackage)
    fi
    if [ -z "$pkg" ]; then
        # Offline: any kernel built before will do.
        KDIR=$(ls -d "$KCACHE"/kernel/*/ 2>/dev/null | tail -n 1)
        [ -n "$KDIR" ] || { echo "vm: cannot find the package $KERNEL_META depends on" >&2; exit 69; }
        KDIR=${KDIR%/}
        KVER=$(cat "$KDIR/release")
        return
    fi
    ver=$(Apt apt-cache show --no-all-versions "$pkg" | awk '/^Version:/ {print $2; exit}')
    # The module list is part of the name: a module added here is fetched
    # with its dependencies instead of missing from a kernel built before.
    KDIR="$KCACHE/kernel/$pkg-$ver-$(echo "$MODULES" | sha256sum | cut -c1-8)"
    if [ -f "$KDIR/ready" ]; then
        KVER=$(cat "$KDIR/release")
        return
    fi
    Say "fetching $pkg $ver"
    local tmp
    tmp=$(mktemp -d "$KCACHE/kernel-tmp.XXXXXX")
    chmod 755 "$tmp"
    if ! (cd "$tmp" && Apt apt-get download "$pkg=$ver" >/dev/null 2>&1); then
        Apt apt-get update -qq >/dev/null 2>&1 || true
        (cd "$tmp" && Apt apt-get download "$pkg=$ver" >/dev/null)
    fi
    dpkg-deb -x "$tmp"/*.deb "$tmp/root"
    KVER=$(ls "$tmp/root/lib/modules")
    if [ "$ARCH" = arm64 ]; then
        BuildScsiDebugArm64 "$tmp" "$ver"
    fi
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

# Debian builds its arm64 kernel without scsi_debug: the module is built
# here from the same kernel's source, against its headers, and goes into the
# unpacked tree before depmod, so it loads like the others. Kbuild's helper
# programs run on this host, so they come from its own architecture's package.
BuildScsiDebugArm64() {
    local tmp=$1 ver=$2 series hdr
    series=$(echo "$KVER" | cut -d. -f1,2)
    hdr=linux-headers-$KVER
    Say "building scsi_debug for $KVER from linux-source-$series"
    mkdir -p "$tmp/src" "$tmp/mod"
    (cd "$tmp/src" && Apt apt-get download -q "$hdr=$ver" "${hdr%-arm64}-common=$ver" "linux-source-$series=$ver" >/dev/null)
    if ! (cd "$tmp/src" && apt-get download -q "linux-kbuild-$series=$ver" >/dev/null 2>&1); then
        apt-get update -qq >/dev/null 2>&1 || true
        (cd "$tmp/src" && apt-get download -q "linux-kbuild-$series=$ver" >/dev/null)
    fi
    local deb
    for deb in "$tmp"/src/*.deb; do dpkg-deb -x "$deb" "$tmp/src/root"; done
    sed -i "s|include /usr/src/|include $tmp/src/root/usr/src/|" "$tmp/src/root/usr/src/$hdr/Makefile"
    tar -xJf "$tmp/src/root/usr/src/linux-source-$series.tar.xz" -C "$tmp/src" \
        --wildcards '*/drivers/scsi/scsi_debug.c' '*/drivers/scsi/*.h'
    cp "$tmp"/src/linux-source-*/drivers/scsi/scsi_debug.c "$tmp"/src/linux-source-*/drivers/scsi/*.h "$tmp/mod/"
    echo 'obj-m := scsi_debug.o' >"$tmp/mod/Kbuild"
    if ! make -C "$tmp/src/root/usr/src/$hdr" M="$tmp/mod" CROSS_COMPILE=aarch64-linux-gnu- modules \
        >"$tmp/mod/build.log" 2>&1; then
        cat "$tmp/mod/build.log" >&2
        exit 1
    fi
    cp "$tmp/mod/scsi_debug.ko" "$tmp/root/lib/modules/$KVER/kernel/drivers/scsi/"
    rm -rf "$tmp/src" "$tmp/mod"
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

# What every base image holds beside its tools, for both machines: LVM's
# command links, the modules in their load order, a root user; then the
# tree becomes $BASE and is removed.
FinishBase() {
    local root=$1 t
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
    FinishBase "$root"
}

# arm64: the guest's user space comes from Debian's arm64 packages, fetched
# with the libraries they depend on and unpacked (never installed) into a
# root of their own, from which the images are built as above.

# The package that holds a tool on this host; its arm64 build holds it too.
HostPackageOf() {
    local owner
    owner=$(dpkg -S "$1" 2>/dev/null || dpkg -S "${1#/usr}" 2>/dev/null) || return 1
    owner=${owner%%$'\n'*}
    echo "${owner%%:*}"
}

# Fills ROOT64 with busybox, the TOOLS' packages and their libraries; cached
# under the exact files they come from.
PrepareArm64Root() {
    local pkgs=$ARM64_PACKAGES f p
    for f in $TOOLS; do
        p=$(HostPackageOf "$f") || { echo "vm: no package on this host holds $f (apt-get install $PACKAGES)" >&2; exit 69; }
        pkgs="$pkgs $p"
    done
    pkgs=$(echo "$pkgs" | tr ' ' '\n' | sort -u | tr '\n' ' ')
    # apt picks one of each set of alternatives; of what it would install,
    # the libraries are what the tools load, the rest (init scripts,
    # daemons) stays out. Remembered until the package list is read anew.
    local resolved
    resolved="$KCACHE/resolved-$( (echo "$pkgs"; stat -c %Y "$KCACHE/apt/updated" 2>/dev/null) | sha256sum | cut -c1-16)"
    if [ ! -s "$resolved" ]; then
        local names
        names=$(Apt apt-get install -s -q --no-install-recommends $pkgs 2>/dev/null | awk '$1 == "Inst" {print $2}' |
            while read -r p; do
                case " $pkgs " in *" $p "*) echo "$p" ;; *) case "$p" in lib*) echo "$p" ;; esac ;; esac
            done)
        [ -n "$names" ] || { echo "vm: apt cannot resolve the arm64 packages:$pkgs" >&2; exit 69; }
        # shellcheck disable=SC2086
        Apt apt-get download --print-uris $names 2>/dev/null | awk '{print $2}' | sort >"$resolved.tmp"
        mv "$resolved.tmp" "$resolved"
    fi
    ROOT64="$KCACHE/root-$(sha256sum <"$resolved" | cut -c1-16)"
    [ -f "$ROOT64/ready" ] && return
    Say "fetching arm64 packages: $(sed 's/_.*//' "$resolved" | tr '\n' ' ')"
    local tmp deb
    tmp=$(mktemp -d "$KCACHE/root-tmp.XXXXXX")
    # The file names carry the versions: name=version asks for exactly these.
    # shellcheck disable=SC2046
    if ! (cd "$tmp" && Apt apt-get download -q $(sed -E 's/^([^_]+)_([^_]+)_.*/\1=\2/; s/%3a/:/' "$resolved") >/dev/null); then
        # The archive has moved on since the list was read: read it anew, once.
        rm -rf "$tmp"
        [ -z "${ARM64_LISTS_READ:-}" ] || { echo "vm: cannot fetch the arm64 packages" >&2; exit 69; }
        ARM64_LISTS_READ=1
        Apt apt-get update -qq >/dev/null 2>&1 && touch "$KCACHE/apt/updated"
        PrepareArm64Root
        return
    fi
    mkdir "$tmp/root"
    for deb in "$tmp"/*.deb; do dpkg-deb -x "$deb" "$tmp/root"; done
    rm -rf "$ROOT64"
    mv "$tmp/root" "$ROOT64"
    rm -rf "$tmp"
    touch "$ROOT64/ready"
}

# A path of ROOT64 with its links followed inside ROOT64 (an absolute link
# there means ROOT64's own /); packages that predate the merged /usr keep
# /sbin/lvm where this host has /usr/sbin/lvm, so both are tried.
InRoot64() {
    local p=$1 n=0 t
    [ -e "$ROOT64$p" ] || [ -L "$ROOT64$p" ] || p=${p#/usr}
    while [ -L "$ROOT64$p" ] && [ $n -lt 20 ]; do
        t=$(readlink "$ROOT64$p")
        case "$t" in
        /*) p=$t ;;
        *) p=$(dirname "$p")/$t ;;
        esac
        n=$((n + 1))
    done
    [ -f "$ROOT64$p" ] || return 1
    echo "$ROOT64$p"
}

# Copies the arm64 executable SOURCE to TARGET in the image ROOT, with the
# loader and the libraries it loads, found in ROOT64 as the guest's loader
# finds them.
CopyArm64() {
    local root=$1 src=$2 dest=$3 lib dir found
    mkdir -p "$root$(dirname "$dest")"
    cp "$src" "$root$dest"
    for lib in $(aarch64-linux-gnu-readelf -lW "$src" | sed -n 's/.*program interpreter: \(.*\)]/\1/p') \
        $(aarch64-linux-gnu-readelf -dW "$src" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
        case "$lib" in
        /*) found=$lib ;;
        *)
            found=""
            for dir in /lib/aarch64-linux-gnu /usr/lib/aarch64-linux-gnu /lib /usr/lib; do
                if InRoot64 "$dir/$lib" >/dev/null; then found=$dir/$lib; break; fi
            done
            ;;
        esac
        [ -n "$found" ] && InRoot64 "$found" >/dev/null || { echo "vm: $lib, which $src loads, is in no arm64 package fetched" >&2; exit 69; }
        [ -e "$root$found" ] || CopyArm64 "$root" "$(InRoot64 "$found")" "$found"
    done
}

PrepareBaseArm64() {
    local key
    key=$( (
        cat "$KDIR/release" "$KDIR/load-order" "$0"
        echo "$ROOT64"
    ) | sha256sum | cut -c1-16)
    BASE="$KCACHE/base-$key.cpio.gz"
    [ -f "$BASE" ] && return
    Say "building arm64 base image $key"
    local root f
    root=$(mktemp -d "$KCACHE/base-tmp.XXXXXX")
    mkdir -p "$root"/{bin,sbin,bb,dev,proc,sys,run,tmp,etc/lvm,lib,results,var/log,var/lib/ceph/osd}
    cp "$(InRoot64 /bin/busybox)" "$root/bin/busybox"
    ln -s busybox "$root/bin/sh"
    for f in $TOOLS; do
        CopyArm64 "$root" "$(InRoot64 "$f")" "$f"
    done
    FinishBase "$root"
}

# The per-run image, appended to the base: the daemon with its libraries,
# the guest scripts and the probe. Small, so it is built every run.
PrepareRunImage() {
    local root=$WORK/runroot
    rm -rf "$root"
    mkdir -p "$root/usr/sbin" "$root/guest" "$root/etc/lvm"
    if [ "$ARCH" = arm64 ]; then
        CopyArm64 "$root" "$BINARY" /usr/sbin/quelvar
        aarch64-linux-gnu-gcc -static -O2 -o "$root/usr/sbin/qvprobe" "$GUEST/qvprobe.c"
    else
        CopyWithLibs "$root" "$BINARY"
        if [ "$BINARY" != /usr/sbin/quelvar ]; then
            mv "$root$BINARY" "$root/usr/sbin/quelvar"
        fi
        cc -static -O2 -o "$root/usr/sbin/qvprobe" "$GUEST/qvprobe.c"
        cc -static -O2 -o "$root/usr/sbin/qvcut" "$GUEST/qvcut.c"
    fi
    cp "$GUEST/init" "$root/init"
    chmod 755 "$root/init"
    cp "$GUEST"/*.sh "$root/guest/"
    cp -r "$GUEST/scenarios" "$root/guest/"
    cp "$GUEST/lvm.conf" "$root/etc/lvm/lvm.conf"
    (cd "$root" && find . | cpio -o -H newc --quiet) >"$WORK/run.cpio"
    # The uncompressed archive goes first: the kernel reads on after an
    # uncompressed one, but wants a compressed one to end the image.
    cat "$WORK/run.cpio" "$BASE" >"$WORK/initrd"
}

# The guest's devices, the same on both machines (each controller on the
# machine's PCI or PCIe bus); sets DEVICES for the disk images in DIR.
GuestDevices() {
    local dir=$1
    DEVICES=(-device virtio-rng-pci
        -device ahci,id=ahci
        -drive "if=none,id=sata0,file=$dir/sata.img,format=raw,cache=unsafe"
        -device ide-hd,bus=ahci.0,drive=sata0,model=QVSATA,serial=QVSATA0,write-cache=on
        -device virtio-scsi-pci,id=vscsi
        -drive "if=none,id=scsi0,file=$dir/scsi.img,format=raw,cache=unsafe"
        -device scsi-hd,bus=vscsi.0,drive=scsi0,vendor=QEMU,product=QVSCSI,serial=QVSCSI0,write-cache=on
        -drive "if=none,id=nvme0,file=$dir/nvme.img,format=raw,cache=unsafe"
        -device nvme,drive=nvme0,serial=QVNVME0
        -drive "if=none,id=cache0,file=$dir/cache.img,format=raw,cache=unsafe"
        -device virtio-blk-pci,drive=cache0,serial=QVCACHE
        -drive "if=none,id=db0,file=$dir/db.img,format=raw,cache=unsafe"
        -device virtio-blk-pci,drive=db0,serial=QVDB
        -fsdev "local,id=results,path=$dir/share,security_model=none"
        -device virtio-9p-pci,fsdev=results,mount_tag=results)
}

# The same disks on the arm64 virt machine, every controller on its PCIe
# bus, under software emulation (a Cortex-A57: a plain ARMv8.0 core, as the
# daemon is built for, and quicker to emulate than "max"). The PL011 UART
# is the console; PSCI powers the machine off. Boot takes longer than under
# KVM, so the host bound is wider.
QemuArm64() {
    local name=$1 dir=$2
    timeout -k 5 $((GUEST_TIMEOUT + 240)) qemu-system-aarch64 \
        -nodefaults -no-reboot -machine virt,accel=tcg -cpu cortex-a57 -m 768 -smp 1 \
        -display none -serial "file:$dir/console.log" \
        -kernel "$KDIR/vmlinuz" -initrd "$WORK/initrd" \
        -append "console=ttyAMA0 panic=-1 loglevel=4 rdinit=/init quelvar.scenario=$name quelvar.timeout=$GUEST_TIMEOUT" \
        "${DEVICES[@]}"
}

# One boot. The guest bounds the scenario itself and always powers off; the
# host bound is the backstop for a guest that hangs anyway.
RunScenario() {
    local name=$1 dir="$OUT/$1" rc=0 disk=256M db=64M mem=768 limit=$GUEST_TIMEOUT extra=()
    rm -rf "$dir"
    mkdir -p "$dir/share"
    if NeedsCephRoot "$name"; then
        # ceph-volume refuses devices under 5 GB; the images stay sparse.
        PrepareCephRoot
        disk=8G db=8G mem=3072 limit=${QUELVAR_VM_CEPH_TIMEOUT:-900}
        truncate -s "$disk" "$dir/scsi2.img"
        # Ceph's erasure-code library uses instructions QEMU's default
        # TCG model lacks.
        extra=(-cpu max -drive "if=none,id=scsi1,file=$dir/scsi2.img,format=raw,cache=unsafe"
            -device scsi-hd,bus=vscsi.0,drive=scsi1,vendor=QEMU,product=QVSCSI2,serial=QVSCSI1,write-cache=on
            -fsdev "local,id=cephroot,path=$CEPH_ROOT,security_model=none,readonly=on"
            -device virtio-9p-pci,fsdev=cephroot,mount_tag=cephroot)
    fi
    truncate -s "$disk" "$dir/sata.img"
    truncate -s "$disk" "$dir/scsi.img"
    truncate -s 64M "$dir/cache.img"
    truncate -s "$db" "$dir/db.img"
    truncate -s "$disk" "$dir/nvme.img"
    local start=$SECONDS
    GuestDevices "$dir"
    if [ "$ARCH" = arm64 ]; then
        QemuArm64 "$name" "$dir" >"$dir/qemu.log" 2>&1 || rc=$?
    fi
    [ "$ARCH" = arm64 ] || timeout -k 5 $((limit + 90)) qemu-system-x86_64 \
        -nodefaults -no-reboot -machine "pc,accel=$ACCEL" -m "$mem" -smp 1 \
        -display none -serial "file:$dir/console.log" \
        -kernel "$KDIR/vmlinuz" -initrd "$WORK/initrd" \
        -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init quelvar.scenario=$name quelvar.timeout=$limit" \
        "${DEVICES[@]}" \
        "${extra[@]}" \
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

if [ "$ARCH" = arm64 ]; then
    CheckHostToolsArm64
    PrepareKernel
    PrepareArm64Root
    PrepareBaseArm64
else
    CheckHostTools
    PrepareKernel
    PrepareBase
fi
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
    if NamedOnly "$s" && [ $# -eq 0 ]; then
        Say "SKIP $s (repeats other scenarios in one boot: name it to run it)"
        skipped=$((skipped + 1))
        continue
    fi
    if { NeedsCephRoot "$s" || NeedsBoot "$s"; } && [ "$ARCH" = arm64 ]; then
        Say "SKIP $s (Ceph's tools run on the x86-64 bed only)"
        skipped=$((skipped + 1))
        continue
    fi
    if { NeedsCephRoot "$s" || NeedsBoot "$s"; } && [ $# -eq 0 ] && [ "${QUELVAR_VM_CEPH:-0}" != 1 ]; then
        Say "SKIP $s (a Ceph cluster, 10 minutes or more: QUELVAR_VM_CEPH=1 or name it to run it)"
        skipped=$((skipped + 1))
        continue
    fi
    if NeedsFull "$s" && [ "$full" != 1 ] && [ $# -eq 0 ]; then
        Say "SKIP $s (needs the finished daemon: run with --full)"
        skipped=$((skipped + 1))
        continue
    fi
    if NeedsPowerCut "$s" && [ "$ARCH" = arm64 ]; then
        Say "SKIP $s (the power cut's debug console is a PC's: the x86-64 bed only)"
        skipped=$((skipped + 1))
        continue
    fi
    Say "RUN  $s"
    if NeedsPowerCut "$s"; then
        if RunPowerCutScenario "$s"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
        continue
    fi
    if NeedsBoot "$s"; then
        if RunBootScenario "$s"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
        continue
    fi
    if RunScenario "$s"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
done
echo "vm: $passed passed, $failed failed, $skipped skipped"
[ "$failed" = 0 ]
