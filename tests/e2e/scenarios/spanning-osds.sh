# OSDs whose disks a first match by name left unguarded, each with its DB on
# flash, every disk SCSI:
#   ceph-0, ceph-1  one volume group over bcache0 (sdb) and bcache1 (sdc),
#                   one volume each
#   ceph-2          one volume striped over bcache2 (sdd) and bcache3 (sde)
#   ceph-3          linked to /dev/bcache4p1; the node of bcache4 (sdf) is
#                   made again after its partition's, as udev or an operator
#                   may do
i=0
for disk in sdb sdc sdd sde sdf; do
    disk "$disk" "write back" scsi
    blockdev "nvme0n1p$((i + 1))"
    bcache "bcache$i" "$disk"
    i=$((i + 1))
done
pv bcache0 ceph-shared
pv bcache1 ceph-shared
lv ceph-shared osd-block-0 bcache0
lv ceph-shared osd-block-1 bcache1
pv bcache2 ceph-striped
pv bcache3 ceph-striped
lv ceph-striped osd-block-2 bcache2 bcache3
partition bcache4p1 bcache4 1
number=$(cat /sys/devices/virtual/block/bcache4/dev)
rm /dev/bcache4
mknod -m 0660 /dev/bcache4 b "${number%:*}" "${number#*:}"
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/ceph-shared/osd-block-0 db=/dev/nvme0n1p1
osd ceph-1 bluestore 11111111-1111-4111-8111-111111111111 block=/dev/ceph-shared/osd-block-1 db=/dev/nvme0n1p2
osd ceph-2 bluestore 22222222-2222-4222-8222-222222222222 block=/dev/ceph-striped/osd-block-2 db=/dev/nvme0n1p3
osd ceph-3 bluestore 33333333-3333-4333-8333-333333333333 block=/dev/bcache4p1 db=/dev/nvme0n1p4
