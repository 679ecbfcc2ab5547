# A small storage node: two bcache devices over write-back disks, one
# bluestore OSD directly on bcache0 with its DB on flash, one bluestore OSD on
# LVM over bcache1, a filestore OSD, and /dev entries the walk must skip.
disk sdb "write back" sata
disk sdc "write back" scsi
disk nvme0n1 "write through"
bcache bcache0 sdb
bcache bcache1 sdc
blockdev nvme0n1p1
blockdev nvme0n1p2
chardev bcache9
devdir bcache-dir
pv bcache1 ceph-vg1
# Its volume in sysfs as the kernel shows it: a dm device over bcache1.
lv ceph-vg1 osd-block-1 bcache1
osd ceph-0 bluestore 0b0f3f0e-6a7c-4d3c-9c1e-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
osd ceph-1 bluestore 1b0f3f0e-6a7c-4d3c-9c1e-111111111111 block=/dev/ceph-vg1/osd-block-1 db=/dev/nvme0n1p2
osd ceph-2 filestore 2b0f3f0e-6a7c-4d3c-9c1e-222222222222
