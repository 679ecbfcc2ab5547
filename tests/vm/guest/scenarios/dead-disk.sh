# needs: full-daemon
# Three guarded disks, SATA, SCSI and scsi_debug. While the daemon runs, the
# scsi_debug disk stops answering (opts with the time-out bit, every_nth=1)
# and the other two are turned back on with hdparm -W1 and sdparm
# --set=WCE: they must read WCE 0 again within two passes and one time-out.
# A SIGTERM that arrives while the daemon waits in the dead disk's command
# is timed, and what the kernel's error handling did is recorded (SCSI error
# logging in dmesg, the device's state and time-out count).
Up() { cut -d' ' -f1 /proc/uptime; }
Since() { awk -v a="$1" -v b="$(Up)" 'BEGIN { printf "%.1f", b - a }'; }
sata=$(DiskByModel QVSATA)
scsi=$(DiskByModel QVSCSI)
debug=$(LoadScsiDebug)
Check "scsi_debug disk present" [ -n "$debug" ]
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
id=0
for disk in "$sata" "$scsi" "$debug"; do
    bc=$(MakeBacking "$disk" "$cset")
    # Nothing of LVM's left dirty in the cache for bcache to write to the
    # disk once it is dead: only the daemon's commands meet it.
    [ "$disk" = "$debug" ] && echo writethrough >"/sys/block/$bc/bcache/cache_mode"
    BluestoreOsdOnLvm "$id" "$bc" "/dev/$(DiskBySerial QVDB)"
    id=$((id + 1))
done
sdev=/sys/block/$debug/device
Counts() { echo "state $(cat $sdev/state), time-outs $(cat $sdev/iotmo_cnt), errors $(cat $sdev/ioerr_cnt)"; }
StartDaemon
for disk in "$sata" "$scsi" "$debug"; do
    Check "$disk switched off by the first pass" WaitValue 0 30 Wce "$disk"
done
Check "a pause begins" WaitPauseStart
# Error handling: aborts and resets (bits 0-2 of the SCSI logging level).
echo 7 >/proc/sys/dev/scsi/logging_level
echo 1 >/sys/bus/pseudo/drivers/scsi_debug/every_nth
echo 4 >/sys/bus/pseudo/drivers/scsi_debug/opts
dead=$(Up)
Say "at $dead: $debug ignores every command ($(Counts))"
hdparm -W1 "/dev/$sata" >/dev/null 2>&1
sdparm -q --set=WCE "/dev/$scsi" >/dev/null 2>&1
Say "turned back on: $(State "$sata"); $(State "$scsi")"
# The next pass sends the dead disk one command and waits in the kernel for
# it; a SIGTERM then lets the pass end, which switches the other two, once
# the kernel gives the command back.
i=0
while [ "$(cat /proc/$DAEMON_PID/wchan 2>/dev/null)" != blk_execute_rq ] && [ $i -lt 100 ]; do
    sleep 0.1
    i=$((i + 1))
done
Check "the daemon waits in a command" [ "$(cat /proc/$DAEMON_PID/wchan)" = blk_execute_rq ]
Say "$(Since "$dead") s after the disk died: $(grep State /proc/$DAEMON_PID/status)"
term=$(Up)
kill -TERM "$DAEMON_PID"
wait "$DAEMON_PID"
DAEMON_STATUS=$?
stop=$(Since "$term")
rm -f /tmp/quelvar.pid
Say "SIGTERM to exit: $stop s; exit status $DAEMON_STATUS; $debug: $(Counts)"
Check "the stop waits for the command: at most its 30 s time-out and the abort" \
    awk -v s="$stop" 'BEGIN { exit !(s <= 35) }'
Say "at the end: $(State "$sata"); $(State "$scsi")"
# The same pass: well within two passes and one time-out.
Check "$sata reads WCE 0 again" [ "$(Wce "$sata")" = 0 ]
Check "$scsi reads WCE 0 again" [ "$(Wce "$scsi")" = 0 ]
echo 0 >/sys/bus/pseudo/drivers/scsi_debug/opts
echo 0 >/sys/bus/pseudo/drivers/scsi_debug/every_nth
echo 0 >/proc/sys/dev/scsi/logging_level
Say "the kernel's error handling, from the disk's death (uptime $dead):"
dmesg | awk -v t="$dead" '{ s = $0; sub(/^\[ */, "", s); if (s + 0 >= t) print "  " $0 }' | grep -v 'ata\|Write cache\|Mode Sense' | tail -40
ShowLog
Check "the dead disk is named once" [ "$(LogCount "[WARNING][disk $debug does not answer: its command timed out]")" = 1 ]
Check "no command time-out logged by itself" LogLacks "SG IO excute failed 0 3"
Check "no ERROR line" LogLacks "[ERROR]"
Check "the others were switched again" [ "$(LogCount "change config of")" = 5 ]
CheckOrderlyStop
