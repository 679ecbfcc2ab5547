# needs: full-daemon
# An encrypted OSD as ceph-volume --dmcrypt makes it: "block" names the
# dm-crypt mapping /dev/mapper/<LV uuid> over the logical volume on bcache
# over the SATA disk; the link names neither the device nor the volume
# group. The mapping is made with dmsetup and a throwaway key.
disk=$(DiskByModel QVSATA)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$disk" "$cset")
Check "bcache device over $disk" [ -b "/dev/$bc" ]
BluestoreOsdOnLvm 0 "$bc" "/dev/$(DiskBySerial QVDB)"
dir=/var/lib/ceph/osd/ceph-0
volume=$(readlink "$dir/block")
lvuuid=$(lvs --noheadings -o lv_uuid "$volume" | tr -d ' ')
Check "dm-crypt mapping $lvuuid over $volume" CryptMap "$lvuuid" "$volume"
rm "$dir/block"
ln -s "/dev/mapper/$lvuuid" "$dir/block"
CaptureStack "$dir/block"
CheckSwitchOff "$disk" sata
Check "traced through the block stack" LogHas "[INFO][block stack of $dir/block: on $bc]"
