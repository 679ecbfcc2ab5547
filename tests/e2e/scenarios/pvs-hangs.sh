# Two OSDs with their DBs on flash: ceph-0 straight on bcache0 (SATA disk),
# ceph-1 on LVM over bcache1 (SCSI disk). After the first pass LVM stops
# answering, as when another LVM command holds its lock: pvs hangs. Then a
# new OSD directory appears, so the next pass rebuilds, and both disks'
# caches are turned back on. With STOP_IN_PVS=1 the daemon is told to stop
# while it waits for pvs.
disk sdb "write back" sata
disk sdc "write back" scsi
blockdev nvme0n1p1
blockdev nvme0n1p2
bcache bcache0 sdb
bcache bcache1 sdc
pv bcache1 ceph-vg1
lv ceph-vg1 osd-block-1
osd ceph-0 bluestore 00000000-0000-4000-8000-000000000000 block=/dev/bcache0 db=/dev/nvme0n1p1
osd ceph-1 bluestore 11111111-1111-4111-8111-111111111111 block=/dev/ceph-vg1/osd-block-1 db=/dev/nvme0n1p2
stop=${STOP_IN_PVS:+kill -TERM \$PPID;}
pvs_hook "[ -f '$OUTDIR/pvs.hang' ] && { date +%s%N > '$OUTDIR/pvs.hung'; cp '$OUTDIR/state/passes' '$OUTDIR/pvs.hung.passes'; $stop exec sleep 60; }"
on_pass() {
    if [ "$1" = 1 ]; then
        : > "$OUTDIR/pvs.hang"
        osd ceph-2 filestore 22222222-2222-4222-8222-222222222222
        for disk in sdb sdc; do
            disk_wce "$disk" 1
            echo "write back" > "/sys/devices/virtual/block/$disk/queue/write_cache"
        done
    fi
}
# Whatever pvs started must be gone with it.
after_run() { pgrep -c sleep > "$OUTDIR/left" || true; }
