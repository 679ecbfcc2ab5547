# One bcache device of each verdict but UNPROTECTED: a guarded SATA disk
# whose cache is off, a device without OSD, an OSD with its DB on its block
# device, and a device whose backing disk cannot be found.
disk sdb "write through" sata
disk_wce sdb 0
disk sdc "write back" scsi
disk sdd "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
bcache bcache1 sdc
bcache bcache2 sdd
blockdev bcache3
echo bcache > "$OUTDIR/state/bcache3.kind"
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
osd ceph-2 bluestore 22222222-2222-4222-8222-222222222222 block=/dev/bcache2 db=/dev/bcache2
osd ceph-5 filestore 55555555-5555-4555-8555-555555555555
