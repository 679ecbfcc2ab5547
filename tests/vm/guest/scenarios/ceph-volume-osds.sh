# needs: full-daemon
# vm: ceph-root
# OSDs made by Ceph's own tool, ceph-volume from Debian's Ceph, on a one-node
# cluster, while the daemon runs (it meets the activation as a real host
# does). Four bcache devices, each over its own disk, one cache set:
#   SATA   ceph-volume lvm create, DB on an LV of the virtio DB disk
#   SCSI   the same with --dmcrypt
#   NVMe   ceph-volume raw prepare + raw activate, DB on a partition
#   SCSI2  ceph-volume lvm create with the DB on the data device
# The first three must end with their caches off, read from the disks; the
# fourth keeps its cache. systemd does not run in the guest, so every
# ceph-volume call has --no-systemd; the tool is otherwise unchanged.
. /guest/ceph.sh
LOG=$CEPH/var/log/quelvar/quelvar.log

CephDisks
Check "the NVMe disk is there" [ -n "$nvme" ]
Check "the second SCSI disk is there" [ -n "$scsi2" ]

Check "Debian's root with Ceph is mounted" CephEnter
Say "Ceph: $(InCeph ceph --version)"
Check "a one-node cluster is up" CephMon

CephBcache
# The virtio DB disk as an operator lays out one fast device for several
# OSDs: two DB volumes on LVM in its first partition, and its second
# partition for the raw OSD (raw mode finds devices in lsblk's list and
# skips LVM volumes there, so a raw OSD's DB on an LV loses its block.db
# link at activation).
printf 'o\nn\np\n1\n\n+4096M\nn\np\n2\n\n\nw\n' | fdisk "/dev/$db" >/dev/null 2>&1
i=0
while [ ! -b "/dev/${db}2" ] && [ $i -lt 10 ]; do sleep 1; i=$((i + 1)); done
InCeph sh -c "pvcreate -q /dev/${db}1 && vgcreate -q ceph-db /dev/${db}1 &&
    for i in 0 1; do lvcreate -q -y -Zn -Wn -L 1G -n db\$i ceph-db || exit 1; done" >/dev/null
Check "two DB volumes and a DB partition" test -b /dev/ceph-db/db1 -a -b "/dev/${db}2"
for d in "$sata" "$scsi" "$nvme" "$scsi2"; do Say "before: $(State "$d")"; done

# The daemon first, then the OSDs, as at a host's boot.
chroot "$CEPH" /usr/bin/env -i PATH=/usr/local/sbin:/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 \
    /usr/local/sbin/quelvar >/tmp/quelvar.stdout 2>&1 &
DAEMON_PID=$!
echo "$DAEMON_PID" >/tmp/quelvar.pid
Check "the daemon started" WaitLog "[INFO][quelvar start]" 1 10

Check "lvm create over $sata" CephVolume lvm create --no-systemd --bluestore --data "/dev/$bc_sata" --block.db ceph-db/db0
Check "lvm create --dmcrypt over $scsi" CephVolume lvm create --no-systemd --bluestore --dmcrypt --data "/dev/$bc_scsi" --block.db ceph-db/db1
Check "raw prepare over $nvme" CephVolume raw prepare --bluestore --data "/dev/$bc_nvme" --block.db "/dev/${db}2"
raw_id=$(InCeph ceph-volume raw list "/dev/$bc_nvme" 2>/dev/null | sed -n 's/.*"osd_id": \([0-9]*\).*/\1/p' | head -n 1)
# As after a reboot: the directory goes, activation makes it again.
InCeph umount "/var/lib/ceph/osd/ceph-$raw_id"
Check "raw activate over $nvme" CephVolume raw activate --no-systemd --device "/dev/$bc_nvme" --block.db "/dev/${db}2"
Check "lvm create over $scsi2, DB on the data device" CephVolume lvm create --no-systemd --bluestore --data "/dev/$bc_coloc"
Say "raw OSD: id $raw_id"
Check "the raw OSD's block.db link is made again" [ -L "$CEPH/var/lib/ceph/osd/ceph-$raw_id/block.db" ]

Say "what ceph-volume made:"
for dir in $(cd "$CEPH" && ls -d var/lib/ceph/osd/*); do ShowOsdDir "/$dir"; done
InCeph ceph-volume lvm list 2>/dev/null | grep -E '^=|block device|db device|encrypted|osd id' | sed 's/^/  /'
grep -E 'dm-|mapper' /proc/partitions >/dev/null && ls -l /dev/mapper | sed 's/^/  mapper: /'

# Two passes after the last activation: a pass that met a half-made
# directory has had its chance to see the whole one.
mark=$(LogCount "[INFO][quelvar start]")
sleep 12
Say "after the OSDs are up:"
for d in "$sata" "$scsi" "$nvme" "$scsi2"; do Say "  $(State "$d")"; done
Say "  $nvme: VWC $(Vwc "$nvme")"
Check "$sata (lvm): the disk's own WCE is 0" [ "$(Wce "$sata")" = 0 ]
Check "$scsi (lvm --dmcrypt): the disk's own WCE is 0" [ "$(Wce "$scsi")" = 0 ]
Check "$nvme (raw): the controller's VWC is 0" [ "$(Vwc "$nvme")" = 0 ]
Check "$scsi2 (DB on the data device): keeps WCE 1" [ "$(Wce "$scsi2")" = 1 ]
Check "$scsi2 stays in write back" [ "$(WriteCacheAttr "$scsi2")" = "write back" ]
# ERROR lines written after the OSDs are up: the last pass's.
lines=$(wc -l <"$LOG")
sleep 6
late=$(tail -n +"$((lines + 1))" "$LOG" | grep -F '[ERROR]')
Check "no ERROR line after the OSDs are up" [ -z "$late" ]
[ -z "$late" ] || echo "$late" | sed 's/^/  late: /'
kill -TERM "$DAEMON_PID"
wait "$DAEMON_PID"
DAEMON_STATUS=$?
rm -f /tmp/quelvar.pid
ShowLog
Check "exit status 0 after SIGTERM" [ "$DAEMON_STATUS" = 0 ]
# The read-only report agrees with the disks.
report=$(InCeph /usr/local/sbin/quelvar --status)
report_status=$?
echo "$report" | sed 's/^/  status| /'
Check "quelvar --status: exit 0, every guarded disk protected" [ "$report_status" = 0 ]
for bc in "$bc_sata" "$bc_scsi" "$bc_nvme"; do
    Check "quelvar --status: $bc protected" sh -c 'echo "$1" | grep -qE "^$2 .* protected "' _ "$report" "$bc"
done
Check "quelvar --status: $bc_coloc not guarded" sh -c 'echo "$1" | grep -qE "^$2 .* not guarded "' _ "$report" "$bc_coloc"
Check "one start line" [ "$mark" = 1 ]
InCeph sh -c 'pkill ceph-mon; for m in $(awk "\$2 ~ /^\/var\/lib\/ceph\/osd\// {print \$2}" /proc/mounts); do umount $m; done; for d in $(dmsetup ls --target crypt | cut -f1); do cryptsetup close $d; done' >/dev/null 2>&1
