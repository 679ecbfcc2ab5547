# OSDs ceph-volume prepared and nothing activated yet, as a host holds them
# after a reboot until its units run: no OSD directory, only what Ceph left
# on the devices. Every disk starts "write back", with its cache on.
#   bcache0 (sdb)  an LVM volume tagged as a block volume whose DB is on
#                  flash, an encrypted OSD's (a lockbox secret in its tags)
#   bcache1 (sdc)  raw: its main label, and the DB's label on nvme0n1p2
#   bcache2 (sdd)  an LVM volume tagged as a block volume, no DB
#   bcache3 (sde)  raw: a main label, no DB label anywhere
#   bcache4 (sdf)  raw, activated as Rook does it: its directory on the host
#                  (/var/lib/rook/rook-ceph/<cluster fsid>_<osd uuid>), its
#                  labels agreeing
# During the second pause bcache5 (sdg) is prepared raw: its labels are
# written through its node.
CLUSTER=6c3e1f0a-8d2b-4f7e-9a1c-2b3d4e5f6a7b
SECRET=AQBsb2NrYm94LXNlY3JldC1vZi1vc2QtMA==
KEY=AQBvc2Qta2V5LW9mLWEtcmF3LW9zZC0xLTE=
i=0
for disk in sdb sdc sdd sde sdf sdg; do
    disk "$disk" "write back" scsi
    bcache "bcache$i" "$disk"
    blockdev "nvme0n1p$((i + 1))"
    i=$((i + 1))
done
pv bcache0 ceph-0a "Lv0Uu1-d0Aa" "ceph.block_device=/dev/ceph-0a/osd-block-0a,ceph.block_uuid=Lv0Uu1-d0Aa,ceph.cephx_lockbox_secret=$SECRET,ceph.cluster_fsid=$CLUSTER,ceph.cluster_name=ceph,ceph.db_device=/dev/nvme0n1p1,ceph.db_uuid=0a0a0a0a-partuuid,ceph.encrypted=1,ceph.osd_fsid=0a0a0a0a-0000-4000-8000-000000000000,ceph.osd_id=0,ceph.type=block"
pv bcache2 ceph-2c "Lv2Uu1-d2Cc" "ceph.block_device=/dev/ceph-2c/osd-block-2c,ceph.block_uuid=Lv2Uu1-d2Cc,ceph.cephx_lockbox_secret=,ceph.cluster_fsid=$CLUSTER,ceph.encrypted=0,ceph.osd_fsid=2c2c2c2c-0000-4000-8000-000000000000,ceph.osd_id=2,ceph.type=block"
label bcache1 main 1b1b1b1b-0000-4000-8000-000000000000 1 "$KEY"
label nvme0n1p2 "bluefs db" 1b1b1b1b-0000-4000-8000-000000000000
label bcache3 main 3d3d3d3d-0000-4000-8000-000000000000 3 "$KEY"
label bcache4 main 4e4e4e4e-0000-4000-8000-000000000000 4 "$KEY"
label nvme0n1p5 "bluefs db" 4e4e4e4e-0000-4000-8000-000000000000
rook_osd rook-ceph "$CLUSTER" 4e4e4e4e-0000-4000-8000-000000000000 bluestore block=/dev/bcache4 db=/dev/nvme0n1p5
mkdir -p /var/lib/rook/rook-ceph/crash /var/lib/rook/mon-a
on_pass() {
    if [ "$1" = 2 ]; then
        label bcache5 main 5f5f5f5f-0000-4000-8000-000000000000 5 "$KEY"
        label nvme0n1p6 "bluefs db" 5f5f5f5f-0000-4000-8000-000000000000
        wrote bcache5
    fi
}
