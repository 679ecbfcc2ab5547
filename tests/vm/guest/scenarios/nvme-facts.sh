# What the real kernel does with an NVMe namespace and with a partition,
# asked directly without the daemon. The simulated NVMe namespace and the
# simulated host's sysfs follow these facts.
nvme=$(NvmeBySerial QVNVME0)
Out() { echo "$out" | sed 's/^/  > /'; }
Has() { echo "$out" | grep -q -- "$1"; }
Say "== NVMe namespace $nvme"
Say "class link: $(readlink "/sys/class/block/$nvme")"
Check "the namespace lies below its controller in sysfs" sh -c "readlink /sys/class/block/$nvme | grep -q /nvme/nvme[0-9]*/$nvme\$"
Check "queue/write_cache says write back (a volatile cache is present)" [ "$(WriteCacheAttr "$nvme")" = "write back" ]
out=$(qvprobe cdb "/dev/$nvme" 00 00 00 00 00 00); Out
Check "SG_IO refused with ENOTTY" Has "rc=-1 errno=25"
out=$(qvprobe hdio-wcache "/dev/$nvme" 0); Out
Check "HDIO_SET_WCACHE refused with ENOTTY" Has "rc=-1 errno=25"
out=$(qvprobe nvme-id "/dev/$nvme"); Out
Check "NVME_IOCTL_ID gives namespace 1" Has "rc=1 errno=0"
out=$(qvprobe nvme "/dev/$nvme" admin 0a 0 6 0); Out
Check "Get Features FID 06h: VWC 1" Has "rc=0 status=0x0 errno=0 result=0x1 "
out=$(qvprobe nvme "/dev/$nvme" admin 0a 0 0x306 0); Out
Check "Get Features SEL 3: changeable, not saveable" Has "rc=0 status=0x0 errno=0 result=0x4 "
out=$(qvprobe nvme "/dev/$nvme" admin 09 0 0x80000006 0); Out
Check "Set Features with SV: Feature Identifier Not Saveable, DNR, as a positive result" Has "rc=16653 "
out=$(qvprobe nvme "/dev/$nvme" admin 09 0 6 0); Out
Check "Set Features FID 06h to 0 succeeds" Has "rc=0 status=0x0 errno=0"
Check "Get Features reads 0 back" [ "$(Vwc "$nvme")" = 0 ]
Check "queue/write_cache still says write back" [ "$(WriteCacheAttr "$nvme")" = "write back" ]
out=$(qvprobe nvme "/dev/$nvme" io 00 1 0 0); Out
Check "Flush of namespace 1 through NVME_IOCTL_IO_CMD succeeds" Has "rc=0 status=0x0 errno=0"
out=$(qvprobe nvme "/dev/$nvme" io 00 0xffffffff 0 0); Out
Check "the driver refuses an I/O command for another namespace id with EINVAL" Has "rc=-1 status=0x0 errno=22"
out=$(qvprobe nvme "/dev/$nvme" admin 0a 0 0x99 0); Out
Check "an unknown feature: Invalid Field in Command, DNR (0x4002) as a positive result" Has "rc=16386 "
qvprobe nvme "/dev/$nvme" admin 09 0 6 1 >/dev/null
Check "Set Features to 1 turns it back on" [ "$(Vwc "$nvme")" = 1 ]
Check "the controller's state, under the namespace's device link, reads live" \
    [ "$(cat "/sys/block/$nvme/device/state")" = live ]
# An Asynchronous Event Request is left unanswered until an event comes: an
# admin command that times out, here after 3 s.
out=$(qvprobe nvme "/dev/$nvme" admin 0c 0 0 0 3000); Out
Check "an admin command that times out comes back as EINTR" Has "rc=-1 status=0x0 errno=4 "
Say "controller state after it: $(cat "/sys/block/$nvme/device/state")"
Check "the driver resets the controller, which is live again" WaitValue live 10 cat "/sys/block/$nvme/device/state"

scsi=$(DiskByModel QVSCSI)
part=$(MakePartition "$scsi")
Say "== partition $part of $scsi"
Say "class link: $(readlink "/sys/class/block/$part")"
Check "no /sys/block entry for a partition" [ ! -e "/sys/block/$part" ]
Check "its class link leads inside the disk's directory" sh -c "readlink /sys/class/block/$part | grep -q /block/$scsi/$part\$"
Check "it has a partition attribute" [ "$(cat "/sys/class/block/$part/partition")" = 1 ]
Check "the disk has none" [ ! -e "/sys/class/block/$scsi/partition" ]
Check "a partition has no rescan trigger and no write_cache of its own" \
    sh -c "[ ! -e /sys/class/block/$part/device/rescan ] && [ ! -e /sys/class/block/$part/queue/write_cache ]"
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$part" "$cset")
Say "bcache: $bc, link resolves to $(readlink -f "/sys/block/$bc/bcache")"
Check "the bcache link of a partition resolves into .../$scsi/$part/bcache" sh -c "readlink -f /sys/block/$bc/bcache | grep -q /block/$scsi/$part/bcache\$"
