# An OSD laid out as Ceph's own tooling lays it out: "block" names the
# logical volume, "block.db" another device, and there is no "block.wal";
# the volume group's physical volume is bcache0 over a SCSI disk.
disk sdc "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdc
pv bcache0 ceph-7f3a
lv ceph-7f3a osd-block-0
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/ceph-7f3a/osd-block-0 db=/dev/nvme0n1p1
