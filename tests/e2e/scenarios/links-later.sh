# ceph-volume caught half-way at boot: the OSD directory has its type and
# fsid in the first pass, its block and block.db links only from the second.
disk sdb "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000
on_pass() {
    if [ "$1" = 1 ]; then
        ln -s /dev/bcache0 /var/lib/ceph/osd/ceph-0/block
        ln -s /dev/nvme0n1p1 /var/lib/ceph/osd/ceph-0/block.db
    fi
}
