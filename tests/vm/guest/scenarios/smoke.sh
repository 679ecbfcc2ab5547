# The unchanged binary on a real kernel: a bluestore OSD laid out as
# ceph-volume lays it out, on LVM on a bcache device backed by the SATA disk,
# DB on a virtio disk; two passes, then SIGTERM. Holds for every build of the
# daemon, the finished one included.
sata=$(DiskByModel QVSATA)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
Check "cache set registered" [ -n "$cset" ]
bc=$(MakeBacking "$sata" "$cset")
Check "bcache device over $sata" [ -b "/dev/$bc" ]
Check "bcache names $sata as its backing disk" [ "$(basename "$(dirname "$(readlink -f "/sys/block/$bc/bcache")")")" = "$sata" ]
BluestoreOsdOnLvm 0 "$bc" "/dev/$(DiskBySerial QVDB)"
Check "pvs lists the bcache device" sh -c "pvs | grep -q '/dev/$bc '"
Say "before: $(State "$sata")"
StartDaemon
# Passes start at 0 s and 5 s; the second has long ended at 8 s.
sleep 8
Check "daemon alive after two passes" kill -0 "$DAEMON_PID"
StopDaemon
ShowLog
Say "after: $(State "$sata")"
Check "log has \"quelvar start\"" LogHas "[INFO][quelvar start]"
CheckOrderlyStop
Check "no ERROR line in the log" sh -c "! grep -qF '[ERROR]' $LOG"
