# needs: full-daemon
# SATA and SCSI backing disks switched off by the daemon are turned back on
# while it runs, with hdparm -W1 and sdparm --set=WCE, as an operator would.
# libata shows the change at once; sd keeps saying "write through" until a
# rescan. Both disks must read WCE 0 from the disk again within two passes.
TwoGuardedDisks
StartDaemon
Check "$sata switched off by the first pass (read from the disk)" WaitValue 0 30 Wce "$sata"
Check "$scsi switched off by the first pass (read from the disk)" WaitValue 0 30 Wce "$scsi"
Check "a pause begins" WaitPauseStart
# Held while the caches are turned on and read back: on a loaded host the
# two tools and the reads can outlast the pause, and the daemon's next pass
# would switch a disk off again before the check that it is on.
kill -STOP "$DAEMON_PID"
Say "hdparm -W1: $(hdparm -W1 "/dev/$sata" 2>&1 | tr '\n' ' ')"
Say "sdparm --set=WCE: $(sdparm --set=WCE "/dev/$scsi" 2>&1 | tr '\n' ' ')"
Say "turned back on: $(State "$sata"); $(State "$scsi")"
Check "$sata is on again" [ "$(Wce "$sata")" = 1 ]
Check "$scsi is on again" [ "$(Wce "$scsi")" = 1 ]
Check "the kernel still shows $scsi as write through" [ "$(WriteCacheAttr "$scsi")" = "write through" ]
kill -CONT "$DAEMON_PID"
# Two passes are ten seconds.
Check "$sata reads WCE 0 again within two passes" WaitValue 0 11 Wce "$sata"
Check "$scsi reads WCE 0 again within two passes" WaitValue 0 11 Wce "$scsi"
sleep 6
Say "at the end: $(State "$sata"); $(State "$scsi")"
Check "$sata still WCE 0 a pass later" [ "$(Wce "$sata")" = 0 ]
Check "$scsi still WCE 0 a pass later" [ "$(Wce "$scsi")" = 0 ]
Check "the kernel shows $scsi as write through again" [ "$(WriteCacheAttr "$scsi")" = "write through" ]
StopDaemon
ShowLog
Check "the operator is told that $scsi came back on" LogHas "[INFO][write cache of $scsi: the disk says on, the kernel says write through]"
Check "no ERROR line" LogLacks "[ERROR]"
CheckOrderlyStop
