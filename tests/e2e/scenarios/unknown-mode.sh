# The block layer's write-cache mode reads as neither "write back" nor
# "write through": the daemon cannot rule the cache out, so it switches it.
disk sdb "unknown" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
