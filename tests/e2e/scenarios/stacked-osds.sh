# OSDs whose block links name neither the bcache device nor its volume group,
# each with its DB on flash:
#   ceph-0  LVM over dm-crypt over bcache0 (SATA disk): the physical volume
#           is /dev/mapper/crypt-<uuid>
#   ceph-1  a raw OSD on the first partition of bcache1 (SCSI disk), linked
#           through /dev/disk/by-partuuid/
#   ceph-2  dm-crypt over LVM over bcache2 (SCSI disk), as --dmcrypt makes it
disk sdb "write back" sata
disk sdc "write back" scsi
disk sdd "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
bcache bcache1 sdc
bcache bcache2 sdd
dm crypt-9f8e7d6c bcache0
pv "$last_dm" ceph-4f5a
lv ceph-4f5a osd-block-c3 "$last_dm"
partition bcache1p1 bcache1 1 5d2c9a4e-77b1-4c1e-9d6f-0a1b2c3d4e5f
pv bcache2 ceph-6b7c
lv ceph-6b7c osd-block-e5 bcache2
dm Qw8e-crypt "$last_dm"
osd ceph-0 bluestore c3c3c3c3-0000-4000-8000-000000000000 block=/dev/ceph-4f5a/osd-block-c3 db=/dev/nvme0n1p1
osd ceph-1 bluestore d4d4d4d4-0000-4000-8000-000000000000 \
    block=/dev/disk/by-partuuid/5d2c9a4e-77b1-4c1e-9d6f-0a1b2c3d4e5f db=/dev/nvme0n1p1
osd ceph-2 bluestore e5e5e5e5-0000-4000-8000-000000000000 block=/dev/mapper/Qw8e-crypt db=/dev/nvme0n1p1
