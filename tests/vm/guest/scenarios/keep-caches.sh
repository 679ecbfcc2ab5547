# needs: full-daemon
# OSDs whose disks keep their volatile caches: a filestore OSD (SATA), a
# bluestore OSD whose block.db names its block volume (SCSI) and one laid out
# by ceph-volume with the DB inside the block device, no block.db at all
# (scsi_debug). Two passes change nothing on any disk.
sata=$(DiskByModel QVSATA)
scsi=$(DiskByModel QVSCSI)
sdebug=$(LoadScsiDebug)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
FilestoreOsd 1 "$(MakeBacking "$sata" "$cset")"
BluestoreOsdOnLvm 2 "$(MakeBacking "$scsi" "$cset")" same
BluestoreOsdOnLvm 3 "$(MakeBacking "$sdebug" "$cset")" none
StartDaemon
Check "a first pass" WaitLog "$(TuningWarning sata)" 1 30
Check "two passes more" TwoMorePasses
StopDaemon
ShowLog
Check "the refused tuning request said once for each device" \
    [ "$(LogCount "$(TuningWarning sata)")$(LogCount "$(TuningWarning scsi)")" = 12 ]
Check "and made again on every pass" RepeatsCounted "$(TuningWarning scsi)"
for d in "$sata" "$scsi" "$sdebug"; do
    Say "at the end: $(State "$d")"
    Check "$d keeps WCE 1" [ "$(Wce "$d")" = 1 ]
    Check "$d stays in write back" [ "$(WriteCacheAttr "$d")" = "write back" ]
done
Check "no switch logged" LogLacks "change config of"
Check "no ERROR line" LogLacks "[ERROR]"
CheckOrderlyStop
