# Sourced by run.sh. A Debian 12 system that boots with systemd as PID 1, for
# the scenarios marked "# vm: boot": the Debian root with Ceph (cephroot.sh)
# plus Debian's kernel, its initramfs and systemd-sysv, on an ext4 disk image
# made with mkfs.ext4 -d. At build time one boot of that image makes a
# one-node cluster and its OSDs with ceph-volume (guest/boot/provision.sh) and
# powers off; the root image and the OSDs' disks are then cached together as
# $CACHE/bootsys-<key>/, keyed by everything they are made from (the root
# image alone as $CACHE/bootroot-<key>/). A run boots copies of them.

BOOT_PACKAGES="systemd-sysv linux-image-amd64 initramfs-tools e2fsprogs kmod fdisk"
BOOT_ROOT_SIZE=4G
# The OSDs' disks: ceph-volume refuses devices under 5 GB; all stay sparse.
BOOT_DISKS="sata:8G scsi:8G scsi2:8G nvme:8G cache:64M db:8G"

# The QEMU machine of every boot of the image: the bed's disks, the second
# SCSI disk, the root disk, two CPUs (ceph-osd and the daemon's pass meet as
# on a real host) and the CPU model Ceph's erasure-code library needs.
BootQemu() {
    local dir=$1 run=$2 stage=$3 limit=$4 log=$5
    GuestDevices "$dir"
    timeout -k 5 $((limit + 360)) qemu-system-x86_64 \
        -nodefaults -no-reboot -machine "pc,accel=$ACCEL" -cpu max -m 4096 -smp 2 \
        -display none -serial "file:$log" \
        -kernel "$BOOT_ROOT/vmlinuz" -initrd "$BOOT_ROOT/initrd.img" \
        -append "console=ttyS0 root=LABEL=qvroot panic=-1 quelvar.run=$run quelvar.stage=$stage quelvar.timeout=$limit" \
        "${DEVICES[@]}" \
        -drive "if=none,id=scsi1,file=$dir/scsi2.img,format=raw,cache=unsafe" \
        -device scsi-hd,bus=vscsi.0,drive=scsi1,vendor=QEMU,product=QVSCSI2,serial=QVSCSI1,write-cache=on \
        -drive "if=none,id=root,file=$dir/root.img,format=raw,cache=unsafe" \
        -device virtio-blk-pci,drive=root,serial=QVROOT
}

# The share a boot reads its scripts from and leaves its output in.
BootShare() {
    local share=$1
    mkdir -p "$share/bin"
    rm -rf "$share/guest"
    cp -r "$GUEST" "$share/guest"
    cc -static -O2 -o "$share/bin/qvprobe" "$GUEST/qvprobe.c"
}

# One boot: its output and verdict as the harness left them in the share.
BootOnce() {
    local dir=$1 run=$2 stage=$3 limit=$4 rc=0 start=$SECONDS
    rm -f "$dir/share/verdict-$stage"
    BootQemu "$dir" "$run" "$stage" "$limit" "$dir/console-$stage.log" >"$dir/qemu-$stage.log" 2>&1 || rc=$?
    BOOT_TOOK=$((SECONDS - start))
    [ -f "$dir/share/output-$stage.txt" ] && sed 's/^/    /' "$dir/share/output-$stage.txt"
    BOOT_VERDICT=$(cat "$dir/share/verdict-$stage" 2>/dev/null || echo "no verdict")
    if [ "$rc" = 124 ] || [ "$rc" = 137 ]; then
        BOOT_VERDICT="timed out after ${BOOT_TOOK}s"
    fi
    if [ "$BOOT_VERDICT" != PASS ]; then
        tail -n 30 "$dir/console-$stage.log" 2>/dev/null | sed 's/^/    console: /'
        return 1
    fi
}

# The root image with its kernel and initramfs, never booted: cached as
# $CACHE/bootroot-<key>/, so that a change to the cluster's making does not
# install the system again.
PrepareBootRoot() {
    PrepareCephRoot
    local key
    key=$( (
        echo "$CEPH_ROOT $BOOT_PACKAGES $BOOT_ROOT_SIZE"
        declare -f PrepareBootRoot
        cat "$GUEST/boot/harness"
    ) | sha256sum | cut -c1-16)
    BOOT_ROOT="$CACHE/bootroot-$key"
    [ -f "$BOOT_ROOT/ready" ] && return
    local start=$SECONDS log="$CACHE/bootroot-$key.log" root
    Say "building the booted system's root image in $BOOT_ROOT"
    rm -rf "$BOOT_ROOT"
    mkdir -p "$BOOT_ROOT"
    root="$BOOT_ROOT/root"
    cp -a "$CEPH_ROOT" "$root"
    # shellcheck disable=SC2086
    if ! chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
        sh -c "apt-get update -qq && apt-get install -y -qq --no-install-recommends $BOOT_PACKAGES && apt-get clean" \
        >"$log" 2>&1; then
        tail -n 20 "$log" >&2
        echo "vm: installing the kernel and systemd into the image failed (log: $log)" >&2
        exit 1
    fi
    # Daemons start from their maintainer scripts on the booted system.
    rm -f "$root/usr/sbin/policy-rc.d"
    echo qvnode >"$root/etc/hostname"
    printf '127.0.0.1 localhost\n127.0.1.1 qvnode\n' >"$root/etc/hosts"
    echo 'LABEL=qvroot / ext4 errors=remount-ro 0 1' >"$root/etc/fstab"
    # No network: the archive's timers would only wait for it.
    local t
    for t in apt-daily.timer apt-daily-upgrade.timer; do ln -sf /dev/null "$root/etc/systemd/system/$t"; done
    install -m 755 "$GUEST/boot/harness" "$root/usr/local/sbin/qv-harness"
    cat >"$root/etc/systemd/system/qv-harness.service" <<'UNIT'
[Unit]
Description=Test bed: the stage named on the kernel command line
ConditionKernelCommandLine=quelvar.run
After=multi-user.target

[Service]
Type=oneshot
ExecStart=/usr/local/sbin/qv-harness
StandardOutput=journal+console
TimeoutStartSec=infinity

[Install]
WantedBy=multi-user.target
UNIT
    ln -sf /etc/systemd/system/qv-harness.service "$root/etc/systemd/system/multi-user.target.wants/qv-harness.service"
    cp "$root"/boot/vmlinuz-* "$BOOT_ROOT/vmlinuz"
    cp "$root"/boot/initrd.img-* "$BOOT_ROOT/initrd.img"
    truncate -s "$BOOT_ROOT_SIZE" "$BOOT_ROOT/root.img"
    if ! mkfs.ext4 -q -L qvroot -d "$root" "$BOOT_ROOT/root.img" >>"$log" 2>&1; then
        tail -n 5 "$log" >&2
        echo "vm: mkfs.ext4 -d failed (log: $log)" >&2
        exit 1
    fi
    rm -rf "$root"
    touch "$BOOT_ROOT/ready"
    Say "root image built in $((SECONDS - start)) s"
}

# The booted system with its cluster: a copy of the root image and the
# OSDs' disks after the boot that made them, cached as $CACHE/bootsys-<key>/.
PrepareBootImage() {
    PrepareBootRoot
    local key
    # What the image is made from: not the rest of this file, so a change
    # to how a run uses the image does not build it again.
    key=$( (
        echo "$BOOT_ROOT $BOOT_DISKS"
        declare -f PrepareBootImage BootQemu BootOnce BootShare GuestDevices
        cat "$GUEST/$BOOT_PROVISION" "$GUEST/lib.sh" "$GUEST/ceph.sh"
    ) | sha256sum | cut -c1-16)
    BOOT_DIR="$CACHE/bootsys-$key"
    [ -f "$BOOT_DIR/ready" ] && return
    local start=$SECONDS d
    Say "building the booted system in $BOOT_DIR: one boot makes the cluster and its OSDs"
    rm -rf "$BOOT_DIR"
    mkdir -p "$BOOT_DIR/share"
    cp --sparse=always "$BOOT_ROOT/root.img" "$BOOT_DIR/root.img"
    for d in $BOOT_DISKS; do truncate -s "${d#*:}" "$BOOT_DIR/${d%%:*}.img"; done
    BootShare "$BOOT_DIR/share"
    if ! BootOnce "$BOOT_DIR" "$BOOT_PROVISION" provision "${QUELVAR_VM_CEPH_TIMEOUT:-1500}"; then
        echo "vm: making the OSDs on the booted system failed: $BOOT_VERDICT (console: $BOOT_DIR/console-provision.log)" >&2
        exit 1
    fi
    rm -rf "$BOOT_DIR/share/guest" "$BOOT_DIR/share/bin"
    touch "$BOOT_DIR/ready"
    Say "booted system ready in $((SECONDS - start)) s: $(du -sh "$BOOT_DIR" | cut -f1) on disk"
}

# The previous build, for the upgrade: the package itself with a lower
# version, so that the maintainer scripts run their upgrade paths.
PreviousBuild() {
    local deb=$1 out=$2 tmp
    tmp=$(mktemp -d "$WORK/prev.XXXXXX")
    dpkg-deb -R "$deb" "$tmp/pkg"
    sed -i 's/^Version: \(.*\)$/Version: \1~prev/' "$tmp/pkg/DEBIAN/control"
    dpkg-deb -b --root-owner-group "$tmp/pkg" "$out" >/dev/null
    rm -rf "$tmp"
}

# What a scenario names on its "# vm: boot" line: the provision script of
# its image's cluster (provision=boot/NAME.sh, else boot/provision.sh) and
# its boots (stages=a,b,..., else install,measure).
BootOption() {
    local named
    named=$(sed -n "s/^# vm: boot.* $2=\([^ ]*\).*/\1/p" "$GUEST/scenarios/$1.sh")
    echo "${named:-$3}" | tr , ' '
}

# A "# vm: boot" scenario: the package installed on a copy of the image (the
# stage "install"), then a cold boot of a new QEMU (the stage "measure").
RunBootScenario() {
    local name=$1 dir="$OUT/$1" deb=${QUELVAR_VM_DEB:-} prev=${QUELVAR_VM_DEB_PREV:-} d
    if [ -z "$deb" ]; then
        deb=$(ls -t "$HERE"/../../out/pkg/quelvar_*_amd64.deb 2>/dev/null | head -n 1)
    fi
    BOOT_PROVISION=$(BootOption "$name" provision boot/provision.sh)
    PrepareBootImage
    [ -f "$deb" ] || { Say "FAIL $name: no amd64 package (bash .ci/package.sh, or QUELVAR_VM_DEB)"; return 1; }
    rm -rf "$dir"
    mkdir -p "$dir/share/pkg"
    for d in $BOOT_DISKS root:0; do cp --sparse=always "$BOOT_DIR/${d%%:*}.img" "$dir/"; done
    cp "$deb" "$dir/share/pkg/quelvar.deb"
    if [ -n "$prev" ]; then
        cp "$prev" "$dir/share/pkg/quelvar-prev.deb"
    else
        PreviousBuild "$deb" "$dir/share/pkg/quelvar-prev.deb"
    fi
    BootShare "$dir/share"
    local limit=${QUELVAR_VM_CEPH_TIMEOUT:-900} start=$SECONDS stage
    Say "package $(dpkg-deb -f "$deb" Version), image $BOOT_DIR"
    # A failed check does not stop the next boot: its figures still count.
    # QUELVAR_VM_BOOT_STAGES, when set, picks the boots instead (in order);
    # the guest finds the list in the share.
    local failed="" stages
    stages=${QUELVAR_VM_BOOT_STAGES:-$(BootOption "$name" stages install,measure)}
    echo "$stages" >"$dir/share/stages"
    for stage in $stages; do
        if BootOnce "$dir" "scenarios/$name.sh" "$stage" "$limit"; then
            Say "$name: $stage passed in ${BOOT_TOOK}s"
            continue
        fi
        Say "$name: $stage: $BOOT_VERDICT after ${BOOT_TOOK}s (console: $dir/console-$stage.log)"
        failed="$failed $stage"
        [ -f "$dir/share/verdict-$stage" ] || break
    done
    rm -f "$dir"/*.img
    if [ -n "$failed" ]; then
        Say "FAIL $name:$failed ($((SECONDS - start))s)"
        return 1
    fi
    Say "PASS $name ($((SECONDS - start))s)"
}
