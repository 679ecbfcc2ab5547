# needs: full-daemon
# A bluestore OSD on a bcache device backed by an NVMe namespace whose
# volatile write cache is present and switchable (QEMU's NVMe controller).
# The nvme driver refuses SCSI requests: the cache is switched with the
# Volatile Write Cache feature, and the kernel's attribute stays "write back".
nvme=$(NvmeBySerial QVNVME0)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$nvme" "$cset")
Check "bcache device over $nvme" [ -b "/dev/$bc" ]
BluestoreOsdOnLvm 0 "$bc" "/dev/$(DiskBySerial QVDB)"
Check "$nvme starts with VWC 1" [ "$(Vwc "$nvme")" = 1 ]
StartDaemon
Check "Get Features reads VWC 0 from the controller after the first pass" WaitValue 0 30 Vwc "$nvme"
# Three more passes.
sleep 16
Say "at the end: $nvme VWC $(Vwc "$nvme"), queue/write_cache '$(WriteCacheAttr "$nvme")'"
Check "still VWC 0" [ "$(Vwc "$nvme")" = 0 ]
Check "the kernel's attribute still says write back (it tells the cache exists)" [ "$(WriteCacheAttr "$nvme")" = "write back" ]
StopDaemon
ShowLog
Check "switched once" [ "$(LogCount "change config of $nvme succeed")" = 1 ]
Check "flushed once" [ "$(LogCount "[INFO][sync device $nvme return 0]")" = 1 ]
Check "no ERROR line" LogLacks "[ERROR]"
Check "no WARNING about the NVMe disk" LogLacks "nvme command"
CheckOrderlyStop
