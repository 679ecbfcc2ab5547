# Someone switches the disk's cache back on after the first pass.
disk sdb "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
on_pass() {
    if [ "$1" = 2 ]; then
        disk_wce sdb 1
        echo "write back" > /sys/devices/virtual/block/sdb/queue/write_cache
    fi
}
