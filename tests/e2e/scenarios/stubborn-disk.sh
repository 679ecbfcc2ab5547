# A matching OSD whose SCSI disk refuses every means of switching its cache,
# and a bcache device whose backing disk cannot be found.
disk sdb "write back" scsi
disk_config sdb unsupported 55 15
blockdev nvme0n1p1
bcache bcache0 sdb
blockdev bcache1
echo bcache > "$OUTDIR/state/bcache1.kind"
bcache_status bcache1 50
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
