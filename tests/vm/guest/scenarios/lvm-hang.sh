# needs: full-daemon
# LVM hangs: a process holds LVM's lock files, as another LVM command does
# while it changes a volume group, and a new OSD directory appears, so the
# next pass rebuilds the inventory. The new OSD's "block" is a node the
# kernel does not list (left behind by a device that is gone): neither its
# name nor the block stack ties it, so the rebuild asks pvs, which waits for
# the lock. The SATA disk's cache, turned back on meanwhile, must be off again
# within two passes and pvs's deadline, and SIGTERM while pvs waits must end
# the daemon with 0 within 2 s.
sata=$(DiskByModel QVSATA)
db=/dev/$(DiskBySerial QVDB)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$sata" "$cset")
BluestoreOsdOnLvm 0 "$bc" "$db"
vg=$(basename "$(dirname "$(readlink /var/lib/ceph/osd/ceph-0/block)")")

Ms() { qvprobe now; }
# The daemon's pvs, if one runs.
DaemonPvs() {
    local s
    for s in /proc/[0-9]*/stat; do
        set -- $(cat "$s" 2>/dev/null)
        [ "$2" = "(pvs)" ] && [ "$4" = "$DAEMON_PID" ] && return 0
    done
    return 1
}
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

StartDaemon
Check "the first pass switches $sata off" WaitValue 0 30 Wce "$sata"
Check "a pause begins" WaitPauseStart
qvprobe flock /run/lock/lvm/P_global "/run/lock/lvm/V_$vg" >/tmp/flock.out &
holder=$!
Check "LVM's lock files are held" WaitValue locked 5 cat /tmp/flock.out
timeout 3 pvs >/dev/null 2>&1
Check "so pvs waits" [ $? != 0 ]
mknod /dev/gone-osd b 240 7
dir=/var/lib/ceph/osd/ceph-1
OsdFiles "$dir" 1 bluestore "$(Uuid)"
ln -s "$db" "$dir/block.db"
ln -s /dev/gone-osd "$dir/block"
hdparm -W1 "/dev/$sata" >/dev/null
t0=$(Ms)
Check "$sata is on again" [ "$(Wce "$sata")" = 1 ]
Check "the rebuild asks pvs" Until 10 DaemonPvs
Check "$sata is off again within two passes and the deadline" WaitValue 0 22 Wce "$sata"
Say "$sata off again $(($(Ms) - t0)) ms after hdparm -W1"
Check "pvs is ended at its deadline, with one warning" WaitLog "[WARNING][pvs did not end within 10000 ms: killed]" 1 20
Check "the rebuild is tried again on the next pass, and waits again" Until 15 DaemonPvs
t0=$(Ms)
kill -TERM "$DAEMON_PID"
while ! grep -q '^State:.*Z' "/proc/$DAEMON_PID/status" 2>/dev/null && [ -e "/proc/$DAEMON_PID" ] && [ $(($(Ms) - t0)) -lt 10000 ]; do
    sleep 0.05
done
took=$(($(Ms) - t0))
wait "$DAEMON_PID"
DAEMON_STATUS=$?
Say "SIGTERM while pvs waits: exit status $DAEMON_STATUS after $took ms"
Check "SIGTERM while pvs waits ends the daemon within 2 s" [ "$took" -lt 2000 ]
Check "no pvs is left behind" sh -c '! grep -lqx pvs /proc/[0-9]*/comm 2>/dev/null'
kill "$holder"
ShowLog
Check "one warning about pvs in all" [ "$(LogCount "[WARNING][pvs did not end")" = 1 ]
Check "no ERROR line" LogLacks "[ERROR]"
CheckOrderlyStop
