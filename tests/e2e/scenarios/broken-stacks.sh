# Block stacks no kernel makes, which the walk must refuse in bounded time:
# ceph-0 on a device-mapper loop (dm-0 over dm-1 over dm-0) beside bcache0,
# ceph-1 on a chain of 20 device-mapper devices over bcache1.
disk sdb "write back" sata
disk sdc "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
bcache bcache1 sdc
dm loop-a dm-1
dm loop-b dm-0
osd ceph-0 bluestore f6f6f6f6-0000-4000-8000-000000000000 block=/dev/mapper/loop-a db=/dev/nvme0n1p1
below=bcache1
for i in $(seq 1 20); do
    dm "deep-$i" "$below"
    below=$last_dm
done
osd ceph-1 bluestore 07070707-0000-4000-8000-000000000000 block=/dev/mapper/deep-20 db=/dev/nvme0n1p1
