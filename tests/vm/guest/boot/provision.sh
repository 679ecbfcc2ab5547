# The booted system's cluster, made once when its image is built (sourced
# by the harness after lib.sh, under systemd): a one-node cluster whose
# monitor runs from its own unit, and four OSDs made by ceph-volume with
# systemd, which enables their units (ceph-volume@..., ceph-osd@...) as it
# does on any host. The layout is the ceph-volume bed's:
#   SATA   lvm create, DB on an LV of the virtio DB disk
#   SCSI   lvm create --dmcrypt, DB on another LV
#   NVMe   raw prepare + raw activate, DB on a partition
#   SCSI2  lvm create, DB on the data device
# /etc/quelvar-vm/osds keeps "ID DISK-ID KIND" per OSD for the scenario,
# since disk names may change from one boot to the next.
. /results/guest/ceph.sh
CephDisks
Say "kernel $(uname -r), $(systemctl --version | head -n 1), $(ceph --version)"

# udev registers what make-bcache writes once the driver is there.
modprobe bcache
CephBcache
Check "four bcache devices" test -b "/dev/$bc_sata" -a -b "/dev/$bc_scsi" -a -b "/dev/$bc_nvme" -a -b "/dev/$bc_coloc"

printf 'o\nn\np\n1\n\n+4096M\nn\np\n2\n\n\nw\n' | fdisk "/dev/$db" >/dev/null 2>&1
udevadm settle
pvcreate -q "/dev/${db}1" && vgcreate -q ceph-db "/dev/${db}1" &&
    lvcreate -q -y -L 1G -n db0 ceph-db && lvcreate -q -y -L 1G -n db1 ceph-db
udevadm settle
Check "two DB volumes and a DB partition" test -b /dev/ceph-db/db1 -a -b "/dev/${db}2"

fsid=$(Uuid)
CephConf "$fsid" >/etc/ceph/ceph.conf
Check "a one-node cluster is up, its monitor from ceph-mon@a" MonFromUnit "$fsid"

mkdir -p /etc/quelvar-vm
: >/etc/quelvar-vm/osds
Check "lvm create over $sata" Volume lvm create --bluestore --data "/dev/$bc_sata" --block.db ceph-db/db0 &&
    echo "$(OsdOf) QVSATA lvm" >>/etc/quelvar-vm/osds
Check "lvm create --dmcrypt over $scsi" Volume lvm create --bluestore --dmcrypt --data "/dev/$bc_scsi" --block.db ceph-db/db1 &&
    echo "$(OsdOf) QVSCSI lvm-dmcrypt" >>/etc/quelvar-vm/osds
Check "raw prepare over $nvme" Volume raw prepare --bluestore --data "/dev/$bc_nvme" --block.db "/dev/${db}2" &&
    echo "$(OsdOf) QVNVME0 raw" >>/etc/quelvar-vm/osds
# ceph-volume makes no unit for a raw OSD (raw activate without
# --no-systemd answers "systemd support not yet implemented"): its operator
# adds one, as here, which does at boot what ceph-volume@ does for the LVM
# OSDs: activate, then start the OSD's unit. raw list matches devices only
# by their kernel names, so the unit finds them at boot: the bcache device
# through its backing disk's sysfs link, the DB partition by its PARTUUID
# (RawOsdUnit in ceph.sh).
raw_id=$(OsdOf)
raw_db=$(blkid -s PARTUUID -o value "/dev/${db}2")
Check "the raw OSD's DB partition has a PARTUUID" [ -n "$raw_db" ]
Check "raw activate over $nvme, from its unit" RawOsdUnit "$raw_id" "$nvme" "$raw_db" "ceph-osd@$raw_id"
Check "lvm create over $scsi2, DB on the data device" Volume lvm create --bluestore --data "/dev/$bc_coloc" &&
    echo "$(OsdOf) QVSCSI2 colocated" >>/etc/quelvar-vm/osds
sed 's/^/  osd: /' /etc/quelvar-vm/osds
Check "four OSDs recorded" [ "$(awk '$1 ~ /^[0-9]+$/' /etc/quelvar-vm/osds | wc -l)" = 4 ]

Check "four OSDs up" WaitValue 0 300 sh -c 'ceph osd stat 2>/dev/null | grep -q "4 osds: 4 up"; echo $?'
ceph osd stat
Say "units enabled:"
systemctl list-unit-files --no-legend --state=enabled 'ceph*' | sed 's/^/  /'
ls -l /var/lib/ceph/osd/*/ | sed 's/^/  /'
