# LVM is not ready at the first rebuild: the first pvs prints nothing and
# exits with status 5. The OSD's block is a logical volume on bcache0.
disk sdc "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdc
pv bcache0 ceph-7f3a
lv ceph-7f3a osd-block-0
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/ceph-7f3a/osd-block-0 db=/dev/nvme0n1p1
pvs_hook "[ -f '$OUTDIR/pvs.failed' ] || { : > '$OUTDIR/pvs.failed'; exit 5; }"
