# After the first pass the SCSI disk's cache is turned back on as sdparm
# --set=WCE does it: on the disk alone, the kernel still says write through.
disk sdb "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
on_pass() {
    if [ "$1" = 1 ]; then
        disk_wce sdb 1
    fi
}
