# The guest's side of a power-cut run (the host's: tests/vm/powercut.sh).
# The stage, the run id and the disks under test come on the kernel command
# line; the writer's acknowledgements and the stage's markers go to the
# host through the debug console (qvcut), the checks to output.txt.

CutArg() { sed -n "s/.* quelvar\.$1=\([^ ]*\).*/\1/p" /proc/cmdline; }
CUT_STAGE=$(CutArg cut)
CUT_RUN=$(CutArg run)
CUT_DISKS=$(CutArg disks | tr , ' ')
# The cut ends the guest before init keeps the daemon's log: kept as it goes.
(while sleep 1; do cp "$LOG" /results/ 2>/dev/null; done) &

CutDisk() {
    case "$1" in
    sata) DiskByModel QVSATA ;;
    scsi) DiskByModel QVSCSI ;;
    scsi2) DiskByModel QVSCSI2 ;;
    nvme) NvmeBySerial QVNVME0 ;;
    esac
}

# The disk's own answer: 1 while its volatile cache is on.
CutCache() {
    case "$1" in
    nvme*) Vwc "$1" ;;
    *) Wce "$1" ;;
    esac
}

# Every disk under test blank, then a bcache device over each in MODE, one
# cache set for all, and on each a bluestore OSD on LVM, its DB on the
# virtio DB disk: guarded. scsi2's DB lives in its block device: not
# guarded, its cache stays on under the daemon.
CutLayout() {
    local mode=$1 t d bc cset id=0 db cachedev
    cachedev=$(DiskBySerial QVCACHE)
    for d in $cachedev $(for t in $CUT_DISKS; do CutDisk "$t"; done); do
        dd if=/dev/zero of="/dev/$d" bs=1M count=1 oflag=direct 2>/dev/null
    done
    cset=$(MakeCacheSet "$cachedev")
    for t in $CUT_DISKS; do
        d=$(CutDisk "$t")
        bc=$(MakeBacking "$d" "$cset")
        echo "$mode" >"/sys/block/$bc/bcache/cache_mode"
        if [ "$mode" = writeback ]; then
            # Every write cached; written back only once all is fsync'd
            # (then at full speed), so no later fsync flushes the disk.
            echo 0 >"/sys/block/$bc/bcache/sequential_cutoff"
            echo 0 >"/sys/block/$bc/bcache/writeback_running"
            echo 0 >"/sys/block/$bc/bcache/writeback_percent"
            echo 0 >"/sys/block/$bc/bcache/writeback_delay"
        fi
        db=/dev/$(DiskBySerial QVDB)
        [ "$t" = scsi2 ] && db=none
        BluestoreOsdOnLvm "$id" "$bc" "$db" >/dev/null
        Check "$t ($d): bcache device $bc in $mode under osd.$id" [ -b "/dev/$bc" ]
        id=$((id + 1))
    done
    if [ "$mode" = writeback ]; then
        echo 0 >"/sys/fs/bcache/$cset/congested_read_threshold_us"
        echo 0 >"/sys/fs/bcache/$cset/congested_write_threshold_us"
    fi
}

# After a cut, on the same disks: bcache and LVM found again as a booting
# host finds them, and the OSD directories laid again over them.
CutRegister() {
    local t d bc vg lv id=0 i
    echo "/dev/$(DiskBySerial QVCACHE)" >/sys/fs/bcache/register 2>/dev/null
    for t in $CUT_DISKS; do
        d=$(CutDisk "$t")
        echo "/dev/$d" >/sys/fs/bcache/register 2>/dev/null
        i=0
        while [ ! -e "/sys/class/block/$d/bcache/dev" ] && [ $i -lt 20 ]; do sleep 0.5; i=$((i + 1)); done
        bc=$(basename "$(readlink "/sys/class/block/$d/bcache/dev")")
        vgchange -q -ay >/dev/null 2>&1
        vg=$(pvs --noheadings -o vg_name "/dev/$bc" 2>/dev/null | tr -d ' ')
        lv=$(lvs --noheadings -o lv_name "$vg" 2>/dev/null | tr -d ' ')
        Check "$t ($d): its OSD's volume back on $bc after the cut" [ -b "/dev/$vg/$lv" ]
        OsdFiles "/var/lib/ceph/osd/ceph-$id" "$id" bluestore "${lv#osd-block-}"
        ln -s "/dev/$vg/$lv" "/var/lib/ceph/osd/ceph-$id/block"
        ln -s "/dev/$(DiskBySerial QVDB)" "/var/lib/ceph/osd/ceph-$id/block.db"
        id=$((id + 1))
    done
}

# The writer's TAG=DEV arguments: each disk's OSD volume, as the OSD writes.
CutTargets() {
    local t id=0
    for t in $CUT_DISKS; do
        echo "$t=$(readlink "/var/lib/ceph/osd/ceph-$id/block")"
        id=$((id + 1))
    done
}

# WANT 0: the daemon has switched every guarded disk off; 1: every disk
# under test still has its cache on.
CutCachesAre() {
    local want=$1 t d
    for t in $CUT_DISKS; do
        d=$(CutDisk "$t")
        if [ "$want" = 0 ] && [ "$t" != scsi2 ]; then
            Check "$t ($d): its own cache reads off before the first write" WaitValue 0 60 CutCache "$d"
        else
            Check "$t ($d): its own cache reads on before the first write" [ "$(CutCache "$d")" = 1 ]
        fi
    done
}

# Lets bcache write every dirty block back and waits until it says so;
# then the marker the host cuts after.
CutWhenClean() {
    local bc i=0
    for bc in /sys/block/bcache*; do
        echo 1 >"$bc/bcache/writeback_running"
    done
    for bc in /sys/block/bcache*; do
        while [ "$(cat "$bc/bcache/state")" != clean ] && [ $i -lt 600 ]; do sleep 0.5; i=$((i + 1)); done
        Check "$(basename "$bc"): clean, dirty data $(cat "$bc/bcache/dirty_data")" [ "$(cat "$bc/bcache/state")" = clean ]
    done
    qvcut say C
}

# shellcheck disable=SC2046
case "$CUT_STAGE" in
guarded | liar | self)
    CutLayout writethrough
    StartDaemon
    CutCachesAre 0
    qvcut write "$CUT_RUN" $(CutTargets)
    ;;
nodaemon | fsync)
    CutLayout writethrough
    CutCachesAre 1
    if [ "$CUT_STAGE" = fsync ]; then
        qvcut write "$CUT_RUN" -k 64 $(CutTargets)
    else
        qvcut write "$CUT_RUN" $(CutTargets)
    fi
    ;;
wb-nodaemon | wb-daemon)
    CutLayout writeback
    if [ "$CUT_STAGE" = wb-daemon ]; then
        StartDaemon
        CutCachesAre 0
    else
        CutCachesAre 1
    fi
    qvcut write "$CUT_RUN" -k 64 -n 2400 $(CutTargets)
    CutWhenClean
    ;;
cold)
    # Power on again: the disks' caches are on until the daemon's first
    # pass, and the OSD writes from the start: two seconds before the
    # daemon starts, as an OSD whose unit comes up first.
    CutRegister
    CutCachesAre 1
    qvcut write "$CUT_RUN" $(CutTargets) &
    sleep 2
    StartDaemon
    ;;
*) Check "a known stage ($CUT_STAGE)" false ;;
esac
echo "waiting for the cut"
sleep 100000
