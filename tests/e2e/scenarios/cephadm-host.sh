# A host deployed with containers: no /var/lib/ceph/osd/, one cluster
# directory holding a monitor and two OSDs. osd.0's block is an LVM volume
# on bcache0 (SATA disk), named by its volume group; osd.1 is encrypted: its
# block is the dm-crypt mapping /dev/mapper/<LV uuid> over the logical
# volume on bcache1 (SCSI disk), which no name in the link gives away.
CLUSTER=6c3e1f0a-8d2b-4f7e-9a1c-2b3d4e5f6a7b
no_classic_root
disk sdb "write back" sata
disk sdc "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
bcache bcache1 sdc
pv bcache0 ceph-0b1c
lv ceph-0b1c osd-block-a1 bcache0
pv bcache1 ceph-2d3e
lv ceph-2d3e osd-block-b2 bcache1
dm Zx3q9T-AbCd-crypt "$last_dm"
mkdir -p "/var/lib/ceph/$CLUSTER/mon.a" "/var/lib/ceph/$CLUSTER/crash"
cephadm_osd "$CLUSTER" 0 bluestore a1a1a1a1-0000-4000-8000-000000000000 \
    block=/dev/ceph-0b1c/osd-block-a1 db=/dev/nvme0n1p1
cephadm_osd "$CLUSTER" 1 bluestore b2b2b2b2-0000-4000-8000-000000000000 \
    block=/dev/mapper/Zx3q9T-AbCd-crypt db=/dev/nvme0n1p1
