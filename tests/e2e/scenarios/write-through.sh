# A matching OSD whose disk the block layer already reports as write through,
# and the disk itself agrees (unless DISK_WCE=1 turns its cache back on).
disk sdb "write through" sata
disk_wce sdb "${DISK_WCE:-0}"
blockdev nvme0n1p1
bcache bcache0 sdb
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
