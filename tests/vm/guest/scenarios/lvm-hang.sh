# needs: full-daemon
# LVM hangs, two ways. First a process holds LVM's lock files, as another
# LVM command does while it changes a volume group, and a new OSD directory
# appears, so the next pass rebuilds the inventory. The new OSD's "block" is
# a node the kernel does not list (left behind by a device that is gone):
# neither its name nor the block stack ties it. The rebuild's pvs reads
# without locks, so it does not wait: the SATA disk's cache, turned back on
# meanwhile, is off again within two passes, and nothing is killed.
# Then a device LVM scans is suspended (device-mapper holds its I/O, as
# during an LVM change that went wrong): pvs sleeps in the kernel reading
# it, where no signal ends it. It is killed at its deadline with one
# warning and left to a later reap; the disk is off again within two passes
# and the deadline; SIGTERM while such a pvs sleeps ends the daemon with 0
# within 3 s (the killed pvs is given half a second to die, then the pass
# ends), and once the device resumes no pvs is left running.
sata=$(DiskByModel QVSATA)
db=/dev/$(DiskBySerial QVDB)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$sata" "$cset")
BluestoreOsdOnLvm 0 "$bc" "$db"
vg=$(basename "$(dirname "$(readlink /var/lib/ceph/osd/ceph-0/block)")")

Ms() { qvprobe now; }
# How many pvs the daemon runs, or has killed and not yet reaped.
DaemonPvsCount() {
    local s n=0
    for s in /proc/[0-9]*/stat; do
        set -- $(cat "$s" 2>/dev/null)
        [ "$2" = "(pvs)" ] && [ "$4" = "$DAEMON_PID" ] && n=$((n + 1))
    done
    echo "$n"
}
DaemonPvs() { [ "$(DaemonPvsCount)" -ge 1 ]; }
TwoDaemonPvs() { [ "$(DaemonPvsCount)" -ge 2 ]; }
# Until SECONDS COMMAND...: true once the command is, tried every 0.1 s.
Until() {
    local tenths=$(($1 * 10)) i=0
    shift
    while [ $i -lt $tenths ]; do
        "$@" && return 0
        sleep 0.1
        i=$((i + 1))
    done
    return 1
}

# What a healthy pvs costs here: the figure the deadline is set against.
for i in 1 2 3 4 5; do
    t0=$(Ms)
    pvs --noheadings -o pv_name,vg_name >/dev/null
    Say "a healthy pvs: $(($(Ms) - t0)) ms"
done

# A PV on a device-mapper device of its own, to be suspended.
nvme=/dev/$(NvmeBySerial QVNVME0)
echo "0 $(blockdev --getsz "$nvme") linear $nvme 0" | dmsetup create qvhang
pvcreate -ff -y /dev/mapper/qvhang >/dev/null 2>&1
vgcreate qvhangvg /dev/mapper/qvhang >/dev/null 2>&1

StartDaemon
Check "the first pass switches $sata off" WaitValue 0 30 Wce "$sata"
Check "a pause begins" WaitPauseStart
qvprobe flock /run/lock/lvm/P_global "/run/lock/lvm/V_$vg" >/tmp/flock.out &
holder=$!
Check "LVM's lock files are held" WaitValue locked 5 cat /tmp/flock.out
timeout 3 pvs >/dev/null 2>&1
Check "so a plain pvs waits" [ $? != 0 ]
mknod /dev/gone-osd b 240 7
NewOsd() {
    local dir=/var/lib/ceph/osd/ceph-$1
    OsdFiles "$dir" "$1" bluestore "$(Uuid)"
    ln -s "$db" "$dir/block.db"
    ln -s /dev/gone-osd "$dir/block"
}
NewOsd 1
hdparm -W1 "/dev/$sata" >/dev/null
t0=$(Ms)
Check "$sata is on again" [ "$(Wce "$sata")" = 1 ]
Check "$sata is off again within two passes" WaitValue 0 15 Wce "$sata"
Say "$sata off again $(($(Ms) - t0)) ms after hdparm -W1, LVM's locks held"
Check "the daemon's pvs did not wait for the locks" LogLacks "pvs did not end"
kill "$holder"

dmsetup suspend qvhang
Check "the device is suspended" sh -c 'dmsetup info qvhang | grep -q SUSPENDED'
NewOsd 2
hdparm -W1 "/dev/$sata" >/dev/null
t0=$(Ms)
Check "the rebuild asks pvs" Until 15 DaemonPvs
Check "$sata is off again within two passes and the deadline" WaitValue 0 30 Wce "$sata"
Say "$sata off again $(($(Ms) - t0)) ms after hdparm -W1, a device suspended"
Check "pvs is ended at its deadline, with one warning" WaitLog "[WARNING][pvs did not end within 10000 ms: killed]" 1 20
Check "the daemon itself never sleeps in the kernel" sh -c "! grep -q '^State:.*D' /proc/$DAEMON_PID/status"
# The killed pvs still sleeps; the next pass's rebuild asks a second one.
Check "the rebuild is tried again on the next pass, and waits again" Until 20 TwoDaemonPvs
t0=$(Ms)
kill -TERM "$DAEMON_PID"
while ! grep -q '^State:.*Z' "/proc/$DAEMON_PID/status" 2>/dev/null && [ -e "/proc/$DAEMON_PID" ] && [ $(($(Ms) - t0)) -lt 10000 ]; do
    sleep 0.05
done
took=$(($(Ms) - t0))
wait "$DAEMON_PID"
DAEMON_STATUS=$?
Say "SIGTERM while pvs sleeps: exit status $DAEMON_STATUS after $took ms"
Check "SIGTERM while pvs sleeps ends the daemon within 3 s" [ "$took" -lt 3000 ]
dmsetup resume qvhang
Check "once the device resumes, no pvs is left running" Until 10 sh -c '! grep -q "^State:.*[RSD]" $(grep -lx pvs /proc/[0-9]*/comm 2>/dev/null | sed "s/comm$/status/") /dev/null'
ShowLog
Check "one warning about pvs in all" [ "$(LogCount "[WARNING][pvs did not end")" = 1 ]
Check "no ERROR line" LogLacks "[ERROR]"
CheckOrderlyStop
