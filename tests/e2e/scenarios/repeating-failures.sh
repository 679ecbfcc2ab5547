# Failures that last over many passes. sdb (under bcache0, guarded) refuses
# every means of switching its cache until the fifth pause, and says it is
# offline from the second pause to the third; the driver refuses the status
# request of bcache1 and bcache2 with EINVAL, bcache1's with ENOTTY from the
# second pause; bcache2 goes away during the third pause, and bcache3,
# refused as well, comes during the fourth.
disk sdb "write back" scsi
disk_config sdb unsupported 55 15
disk sdc "write back" sata
disk sdd "write back" scsi
disk sde "write back" scsi
blockdev nvme0n1p1
bcache bcache0 sdb
bcache bcache1 sdc
bcache bcache2 sdd
bcache_fail bcache1 status 22
bcache_fail bcache2 status 22
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
on_pass() {
    case $1 in
    2) bcache_fail bcache1 status 25 && disk_state sdb offline ;;
    3) rm /dev/bcache2 && disk_state sdb running ;;
    4) bcache bcache3 sde && bcache_fail bcache3 status 22 ;;
    5) sed -i /unsupported/d "$OUTDIR/state/sdb.config" ;;
    esac
}
