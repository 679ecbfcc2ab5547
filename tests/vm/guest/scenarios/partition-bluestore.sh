# needs: full-daemon
# A bcache device on a partition of the SCSI disk. The cache, the kernel's
# attribute and the rescan belong to the whole disk.
scsi=$(DiskByModel QVSCSI)
part=$(MakePartition "$scsi")
Check "partition $part of $scsi" [ -b "/dev/$part" ]
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$part" "$cset")
Check "bcache device over $part" [ -b "/dev/$bc" ]
BluestoreOsdOnLvm 0 "$bc" "/dev/$(DiskBySerial QVDB)"
Check "$scsi starts with WCE 1" [ "$(Wce "$scsi")" = 1 ]
StartDaemon
Check "$scsi reads WCE 0 from the disk after the first pass" WaitValue 0 30 Wce "$scsi"
Check "the kernel shows $scsi as write through" WaitValue "write through" 5 WriteCacheAttr "$scsi"
sleep 11
Say "at the end: $(State "$scsi")"
Check "still WCE 0" [ "$(Wce "$scsi")" = 0 ]
StopDaemon
ShowLog
Check "one switch, of the whole disk" [ "$(LogCount "change config of")" = 1 ]
Check "named as $scsi" LogHas "[INFO][change config of $scsi succeed]"
Check "the whole disk was rescanned" LogHas "[INFO][rescan dev $scsi return 0]"
Check "no ERROR line" LogLacks "[ERROR]"
CheckOrderlyStop
