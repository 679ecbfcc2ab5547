# A bluestore OSD on bcache0 over an NVMe namespace with a volatile cache.
disk nvme1n1 "write back" nvme
blockdev nvme0n1p1
bcache bcache0 nvme1n1
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
