# needs: full-daemon
# A guarded SCSI disk whose device/state is set to offline (as an operator
# does, or the kernel's error handling after a failed reset) gets no command
# from the daemon: one WARNING names it and its state, however many passes
# see it so, and the SATA disk beside it is still switched back off within
# two passes. Once the disk is running again it is guarded as before. (The
# tuning step's requests to the bcache device are passed on by the driver to
# the offline disk, which refuses them at once with ENODEV: nothing waits.)
TwoGuardedDisks
refused="[WARNING][disk $scsi cannot take commands: state offline]"
StartDaemon
Check "$sata switched off by the first pass" WaitValue 0 30 Wce "$sata"
Check "$scsi switched off by the first pass" WaitValue 0 30 Wce "$scsi"
Check "a pause begins" WaitPauseStart
sgio=$(LogCount "[WARNING][SG IO excute failed")
echo offline >"/sys/block/$scsi/device/state"
Say "$scsi: device/state $(cat "/sys/block/$scsi/device/state")"
hdparm -W1 "/dev/$sata" >/dev/null 2>&1
Check "$sata is on again" [ "$(Wce "$sata")" = 1 ]
Check "$sata reads WCE 0 again within two passes" WaitValue 0 11 Wce "$sata"
Check "the offline disk is named" WaitLog "$refused" 1 11
sleep 11
Check "once, over three passes" [ "$(LogCount "$refused")" = 1 ]
Check "no SCSI command reached the offline disk" [ "$(LogCount "[WARNING][SG IO excute failed")" = "$sgio" ]
Check "nor any switch" [ "$(LogCount "change config of $scsi")" = 1 ]
echo running >"/sys/block/$scsi/device/state"
sdparm -q --set=WCE "/dev/$scsi" >/dev/null 2>&1
Say "running again and turned back on: $(State "$scsi")"
Check "$scsi reads WCE 0 again within two passes" WaitValue 0 11 Wce "$scsi"
StopDaemon
ShowLog
Check "the disk that runs again is told" [ "$(LogCount "[INFO][disk $scsi answers again]")" = 1 ]
Check "no ERROR line" LogLacks "[ERROR]"
CheckOrderlyStop
