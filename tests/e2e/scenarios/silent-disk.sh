# Four guarded disks. sdd lets every command time out until the third
# pause; sde says it is offline; sdc's cache is turned back on behind the
# kernel during the first pause.
disk sdb "write back" sata
disk sdc "write back" scsi
disk sdd "write back" scsi
disk sde "write back" scsi
disk_config sdd does-not-answer
disk_state sde offline
n=0
for disk in sdb sdc sdd sde; do
    blockdev "nvme0n1p$((n + 1))"
    bcache "bcache$n" "$disk"
    osd "ceph-$n" bluestore "0000000$n-0000-4000-8000-000000000000" block="/dev/bcache$n" db="/dev/nvme0n1p$((n + 1))"
    n=$((n + 1))
done
on_pass() {
    case $1 in
    1) disk_wce sdc 1 ;;
    3) sed -i /does-not-answer/d "$OUTDIR/state/sdd.config" ;;
    esac
}
