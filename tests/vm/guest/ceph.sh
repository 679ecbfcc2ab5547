# Helpers for the scenarios that let Ceph's own tools make the OSDs (busybox
# sh, sourced after lib.sh). Debian's root with Ceph is mounted read-only at
# $CEPH over 9p; the tools and the daemon run in a chroot there, with tmpfs
# wherever they write, /dev, /proc and /sys shared with the guest. The
# booted system's image (boot/provision.sh) makes its cluster with the same
# disks, configuration and monitor store.

CEPH=/ceph

# A command in the Debian root, with a clean environment. Without udev,
# device-mapper users (LVM, cryptsetup) make their own device nodes.
InCeph() {
    chroot "$CEPH" /usr/bin/env -i PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin HOME=/root \
        LC_ALL=C.UTF-8 DM_DISABLE_UDEV=1 "$@"
}

CephEnter() {
    mkdir -p "$CEPH"
    mount -t 9p -o trans=virtio,version=9p2000.L,ro cephroot "$CEPH" || return 1
    local d
    for d in run tmp root var/log var/lib/ceph var/tmp etc/ceph etc/lvm usr/local/sbin; do
        mount -t tmpfs -o mode=0755 tmpfs "$CEPH/$d" || return 1
    done
    chmod 1777 "$CEPH/tmp" "$CEPH/var/tmp"
    mount -o bind /dev "$CEPH/dev"
    mount -o bind /proc "$CEPH/proc"
    mount -o bind /sys "$CEPH/sys"
    cp /etc/lvm/lvm.conf "$CEPH/etc/lvm/lvm.conf"
    mkdir -p "$CEPH/etc/lvm/archive" "$CEPH/etc/lvm/backup" "$CEPH/run/lock/lvm"
    # What the packages made under the tmpfs mounts, made again.
    InCeph sh -c 'for d in mon osd bootstrap-osd tmp crash; do install -d -o ceph -g ceph /var/lib/ceph/$d; done
        install -d -o ceph -g ceph /var/log/ceph /run/ceph' || return 1
    # The release binary under test, with Debian's own libraries.
    cp /usr/sbin/quelvar "$CEPH/usr/local/sbin/quelvar"
    ip link set lo up
}

# The disks of the Ceph layout by the names QEMU gives them: sets sata,
# scsi, scsi2, nvme and db, and says which is which.
CephDisks() {
    sata=$(DiskByModel QVSATA)
    scsi=$(DiskByModel QVSCSI)
    scsi2=$(DiskByModel QVSCSI2)
    nvme=$(NvmeBySerial QVNVME0)
    db=$(DiskBySerial QVDB)
    Say "disks: SATA $sata, SCSI $scsi, SCSI2 $scsi2, NVMe $nvme, DB $db"
}

# One cache set on the virtio cache disk and a bcache device over each of
# the four data disks: sets bc_sata, bc_scsi, bc_nvme and bc_coloc.
CephBcache() {
    local cset
    cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
    bc_sata=$(MakeBacking "$sata" "$cset")
    bc_scsi=$(MakeBacking "$scsi" "$cset")
    bc_nvme=$(MakeBacking "$nvme" "$cset")
    bc_coloc=$(MakeBacking "$scsi2" "$cset")
    Say "bcache: $sata=$bc_sata $scsi=$bc_scsi $nvme=$bc_nvme $scsi2=$bc_coloc"
}

# A one-node cluster's configuration: one monitor on loopback, pools of
# size one.
CephConf() {
    cat <<CONF
[global]
fsid = $1
mon initial members = a
mon host = 127.0.0.1
public network = 127.0.0.0/8
ms bind ipv6 = false
auth cluster required = cephx
auth service required = cephx
auth client required = cephx
osd pool default size = 1
mon allow pool size one = true
osd objectstore = bluestore
# Where the OSDs run, four of them and the monitor share a few GB.
osd memory target = 939524096
CONF
}

# The shell commands, for sh -e in the Debian root, that make the
# monitor's store for the cluster FSID, with the admin and bootstrap-osd
# keys.
CephMonMkfs() {
    cat <<SH
ceph-authtool --create-keyring /tmp/mon.keyring --gen-key -n mon. --cap mon 'allow *'
ceph-authtool --create-keyring /etc/ceph/ceph.client.admin.keyring --gen-key -n client.admin \\
    --cap mon 'allow *' --cap osd 'allow *' --cap mgr 'allow *'
ceph-authtool --create-keyring /var/lib/ceph/bootstrap-osd/ceph.keyring --gen-key \\
    -n client.bootstrap-osd --cap mon 'profile bootstrap-osd' --cap mgr 'allow r'
ceph-authtool /tmp/mon.keyring --import-keyring /etc/ceph/ceph.client.admin.keyring
ceph-authtool /tmp/mon.keyring --import-keyring /var/lib/ceph/bootstrap-osd/ceph.keyring
chown ceph:ceph /tmp/mon.keyring /var/lib/ceph/bootstrap-osd/ceph.keyring
monmaptool --create --add a 127.0.0.1 --fsid $1 /tmp/monmap
install -d -o ceph -g ceph /var/lib/ceph/mon/ceph-a
ceph-mon --mkfs -i a --monmap /tmp/monmap --keyring /tmp/mon.keyring --setuser ceph --setgroup ceph
SH
}

# The one-node cluster in the Debian root, its monitor started by hand.
# Prints nothing on success.
CephMon() {
    local fsid
    fsid=$(Uuid)
    CephConf "$fsid" >"$CEPH/etc/ceph/ceph.conf"
    InCeph sh -e -c "$(CephMonMkfs "$fsid")
        ceph-mon -i a --setuser ceph --setgroup ceph
        timeout 120 ceph -s >/dev/null
    " >/tmp/ceph-mon.out 2>&1 || { cat /tmp/ceph-mon.out; return 1; }
}

# ceph-volume with its own log kept for the output.
CephVolume() {
    echo "# ceph-volume $*"
    InCeph ceph-volume "$@" >/tmp/ceph-volume.out 2>&1
    local rc=$?
    if [ $rc != 0 ]; then
        sed 's/^/  | /' /tmp/ceph-volume.out | tail -n 30
        grep -A12 Traceback "$CEPH/var/log/ceph/ceph-volume.log" | tail -n 14 | sed 's/^/  log| /'
    fi
    return $rc
}

# What the tool made, to compare the simulated host's vocabulary with:
# the links and their owners, the files, the mount.
ShowOsdDir() {
    local dir=$1
    echo "== $dir"
    grep " $CEPH$dir " /proc/mounts | sed 's/^/  mount: /'
    ls -ln "$CEPH$dir" | sed 's/^/  /'
    local l
    for l in block block.db block.wal; do
        [ -L "$CEPH$dir/$l" ] && echo "  $l -> $(readlink "$CEPH$dir/$l")  ($(InCeph readlink -f "$dir/$l"))"
    done
    echo "  type: $(cat "$CEPH$dir/type" 2>/dev/null), fsid: $(cat "$CEPH$dir/fsid" 2>/dev/null)"
}

# On a booted system (boot/provision*.sh), with Ceph's own units: the
# monitor of the cluster FSID from ceph-mon@a, ceph-volume with its output
# kept, and the id the last create or prepare gave its OSD.
MonFromUnit() {
    sh -e -c "$(CephMonMkfs "$1")
        systemctl enable --now ceph-mon@a
        timeout 180 ceph -s >/dev/null
    " >/tmp/mon.out 2>&1 || { sed 's/^/  | /' /tmp/mon.out; return 1; }
}

Volume() {
    echo "# ceph-volume $*"
    ceph-volume "$@" >/tmp/ceph-volume.out 2>&1
    local rc=$?
    [ $rc = 0 ] || sed 's/^/  | /' /tmp/ceph-volume.out | tail -n 30
    return $rc
}

OsdOf() { sed -n 's/.* --mkfs -i \([0-9][0-9]*\) .*/\1/p' /tmp/ceph-volume.out | head -n 1; }

# The unit an operator writes for a raw OSD (ceph-volume makes none: raw
# activate refuses systemd), RawOsdUnit ID NVME DB-PARTUUID UNIT: at boot it
# activates the OSD on the bcache device over NVME, found through its
# backing disk's sysfs link, with its DB partition found by its udev link,
# then starts UNIT; enabled, the OSD's directory unmounted, and started.
# Neither udev's /dev/bcache/by-uuid links (a boot whose initramfs registers
# bcache may come up without them) nor a blkid scan (it would read every
# disk, a silent one too).
RawOsdUnit() {
    cat >"/etc/systemd/system/ceph-volume-raw-$1.service" <<UNIT
[Unit]
Description=Ceph raw OSD activation: osd.$1
After=local-fs.target
Wants=local-fs.target

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'i=0; while ! dev=\$\$(readlink /sys/block/$2/bcache/dev) || ! db=\$\$(readlink -e /dev/disk/by-partuuid/$3); do [ \$\$i -lt 300 ] || exit 1; sleep 1; i=\$\$((i + 1)); done; ceph-volume raw activate --no-systemd --device /dev/\$\${dev##*/} --block.db \$\$db && systemctl start $4'
TimeoutSec=0

[Install]
WantedBy=multi-user.target
UNIT
    systemctl daemon-reload
    systemctl enable "ceph-volume-raw-$1.service" 2>/dev/null
    umount "/var/lib/ceph/osd/ceph-$1"
    systemctl start "ceph-volume-raw-$1.service"
}
