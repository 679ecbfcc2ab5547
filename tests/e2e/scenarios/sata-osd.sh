# A bluestore OSD directly on bcache0 (SATA disk) with its DB on flash.
disk sdb "write back" sata
blockdev nvme0n1p1
bcache bcache0 sdb
bcache_status bcache0 25 1000 4000000000 1 0
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1 wal=/dev/nvme0n1p1
