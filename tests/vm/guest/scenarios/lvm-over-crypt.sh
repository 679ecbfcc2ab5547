# needs: full-daemon
# LVM over dm-crypt over bcache, as charm-deployed clusters encrypt at rest:
# the physical volume is /dev/mapper/crypt-<uuid> on the bcache device over
# the SCSI disk, so "pvs /dev/bcacheN" finds none. Mapped with dmsetup and
# a throwaway key.
disk=$(DiskByModel QVSCSI)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$disk" "$cset")
Check "bcache device over $disk" [ -b "/dev/$bc" ]
crypt=crypt-$(Uuid)
Check "dm-crypt mapping $crypt over $bc" CryptMap "$crypt" "/dev/$bc"
BluestoreOsdOnLvm 0 "mapper/$crypt" "/dev/$(DiskBySerial QVDB)"
Check "no physical volume on $bc itself" sh -c "! pvs --noheadings /dev/$bc >/dev/null 2>&1"
CaptureStack /var/lib/ceph/osd/ceph-0/block
CheckSwitchOff "$disk" scsi
Check "traced through the block stack" LogHas "[INFO][block stack of /var/lib/ceph/osd/ceph-0/block: on $bc]"
