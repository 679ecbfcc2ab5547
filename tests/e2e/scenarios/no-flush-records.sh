# OSDs that must keep their disks' caches: DB on the block device, filestore,
# and a bluestore OSD on bcache01, which is not bcache0.
disk sdb "write back" sata
disk sdc "write back" scsi
disk sdd "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
bcache bcache01 sdc
bcache bcache2 sdd
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache2 db=/dev/bcache2
osd ceph-1 filestore 11111111-1111-4111-8111-111111111111
osd ceph-2 bluestore 22222222-2222-4222-8222-222222222222 block=/dev/bcache01 db=/dev/nvme0n1p1
