# What the real kernel does with an NVMe namespace and a partition, asked
# directly without the daemon.
nvme=$(NvmeBySerial QVNVME0)
Say "nvme=$nvme"
Say "class link: $(readlink /sys/class/block/$nvme)"
Say "block link: $(readlink /sys/block/$nvme)"
Say "write_cache: $(cat /sys/block/$nvme/queue/write_cache)"
qvprobe cdb /dev/$nvme 00 00 00 00 00 00
qvprobe hdio-wcache /dev/$nvme 0
qvprobe nvme-id /dev/$nvme
qvprobe nvme /dev/$nvme admin 0a 0 6 0
qvprobe nvme /dev/$nvme admin 0a 0 0x306 0
qvprobe nvme /dev/$nvme admin 09 0 6 0
qvprobe nvme /dev/$nvme admin 0a 0 6 0
Say "write_cache after set 0: $(cat /sys/block/$nvme/queue/write_cache)"
qvprobe nvme /dev/$nvme io 00 1 0 0
qvprobe nvme /dev/$nvme io 00 0xffffffff 0 0
qvprobe nvme /dev/$nvme admin 0a 0 0x99 0
qvprobe nvme /dev/$nvme admin 09 0 0x80000006 1
qvprobe nvme /dev/$nvme admin 0a 0 6 0
qvprobe nvme /dev/$nvme admin 0a 0 0x206 0
Say "Vwc: $(Vwc $nvme)"
scsi=$(DiskByModel QVSCSI)
part=$(MakePartition "$scsi")
Say "partition: $part"
Say "class link: $(readlink /sys/class/block/$part)"
Say "partition file: $(cat /sys/class/block/$part/partition)"
ls /sys/class/block/$part/
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$part" "$cset")
Say "bcache $bc link: $(readlink -f /sys/block/$bc/bcache)"
ls /sys/block/$scsi/ /sys/block/$scsi/device/ | head -50
