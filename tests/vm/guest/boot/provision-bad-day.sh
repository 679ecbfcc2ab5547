# The cluster of the bad-day boot (scenario bad-day-boot), made once when
# its image is built, as boot/provision.sh makes the booted system's:
#   SATA  one bcache device, one volume group, two LVs, an OSD on each
#         (lvm create, DBs on two LVs of the virtio DB disk)
#   NVMe  raw prepare, DB on a partition, started at boot by a unit that
#         activates it and starts it as cephadm names its units:
#         ceph-<cluster fsid>@osd.<id>.service running ceph-osd directly
# The silent disk is made at every boot (scsi_debug lives in memory): the
# scenario's install stage adds the unit that makes it.
# /etc/quelvar-vm/osds keeps "ID DISK-ID KIND UNIT" per OSD.
. /results/guest/ceph.sh
CephDisks
Say "kernel $(uname -r), $(systemctl --version | head -n 1), $(ceph --version)"
modprobe bcache
CephBcache
Check "bcache devices over SATA and NVMe" test -b "/dev/$bc_sata" -a -b "/dev/$bc_nvme"

printf 'o\nn\np\n1\n\n+4096M\nn\np\n2\n\n\nw\n' | fdisk "/dev/$db" >/dev/null 2>&1
udevadm settle
pvcreate -q "/dev/${db}1" && vgcreate -q ceph-db "/dev/${db}1" &&
    lvcreate -q -y -L 1G -n db0 ceph-db && lvcreate -q -y -L 1G -n db1 ceph-db
pvcreate -q "/dev/$bc_sata" && vgcreate -q shared "/dev/$bc_sata" &&
    lvcreate -q -y -l 50%VG -n a shared && lvcreate -q -y -l 100%FREE -n b shared
udevadm settle
Check "two DB volumes, a DB partition, two data volumes on one bcache device" \
    test -b /dev/ceph-db/db1 -a -b "/dev/${db}2" -a -b /dev/shared/b

fsid=$(Uuid)
CephConf "$fsid" >/etc/ceph/ceph.conf
Check "a one-node cluster is up, its monitor from ceph-mon@a" MonFromUnit "$fsid"


mkdir -p /etc/quelvar-vm
: >/etc/quelvar-vm/osds
for lv in a b; do
    n=$([ $lv = a ] && echo 0 || echo 1)
    Check "lvm create over shared/$lv on $bc_sata" Volume lvm create --bluestore --data "shared/$lv" --block.db "ceph-db/db$n" &&
        echo "$(OsdOf) QVSATA shared ceph-osd@$(OsdOf).service" >>/etc/quelvar-vm/osds
done

# cephadm runs every daemon of a cluster from one template; here it runs
# ceph-osd itself, without a container: the drop-in's reach is what counts.
cat >"/etc/systemd/system/ceph-$fsid@.service" <<UNIT
[Unit]
Description=Ceph %i of cluster $fsid, named as cephadm names it
After=network-online.target local-fs.target

[Service]
ExecStart=/bin/sh -c 'exec /usr/bin/ceph-osd -f --cluster ceph --id "\$\${1#osd.}" --setuser ceph --setgroup ceph' sh %i
Restart=on-failure
UNIT
Check "raw prepare over $nvme" Volume raw prepare --bluestore --data "/dev/$bc_nvme" --block.db "/dev/${db}2"
raw_id=$(OsdOf)
raw_db=$(blkid -s PARTUUID -o value "/dev/${db}2")
Check "the raw OSD's DB partition has a PARTUUID" [ -n "$raw_db" ]
echo "$raw_id QVNVME0 cephadm ceph-$fsid@osd.$raw_id.service" >>/etc/quelvar-vm/osds
Check "raw activate over $nvme, started as ceph-$fsid@osd.$raw_id" \
    RawOsdUnit "$raw_id" "$nvme" "$raw_db" "ceph-$fsid@osd.$raw_id"
sed 's/^/  osd: /' /etc/quelvar-vm/osds
Check "three OSDs up" WaitValue 0 300 sh -c 'ceph osd stat 2>/dev/null | grep -q "3 osds: 3 up"; echo $?'
timeout 60 ceph osd stat
systemctl list-unit-files --no-legend --state=enabled 'ceph*' | sed 's/^/  /'
