# Two bcache devices on two partitions of one SCSI disk, each under a
# bluestore OSD with its DB on flash.
disk sdb "write back" scsi
partition sdb1 sdb
partition sdb2 sdb
blockdev nvme0n1p1
blockdev nvme0n1p2
bcache bcache0 sdb/sdb1
bcache bcache1 sdb/sdb2
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
osd ceph-1 bluestore 11111111-1111-4111-8111-111111111111 block=/dev/bcache1 db=/dev/nvme0n1p2
