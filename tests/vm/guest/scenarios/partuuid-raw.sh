# needs: full-daemon
# A raw OSD on the first partition of a bcache device over the SATA disk,
# its "block" linked through /dev/disk/by-partuuid/ as ceph-volume raw and
# simple leave it. The guest has no udev: the link is made here the way
# udev makes it (../../<partition>), from the MBR's disk signature, which
# the kernel turns into the PARTUUID "<signature>-<number>".
disk=$(DiskByModel QVSATA)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$disk" "$cset")
Check "bcache device over $disk" [ -b "/dev/$bc" ]
# One primary partition of type 0x83 from sector 2048 to the end; disk
# signature 0x5eed1234, stored little-endian at byte 440.
sectors=$(blockdev --getsz "/dev/$bc")
le32() {
    local v=$1 i=0
    while [ $i -lt 4 ]; do
        printf "\\$(printf %03o $((v & 255)))"
        v=$((v >> 8))
        i=$((i + 1))
    done
}
dd if=/dev/zero of=/tmp/mbr bs=512 count=1 2>/dev/null
{ le32 $((0x5eed1234)); printf '\000\000'; printf '\000\000\002\000\203\377\377\377'
  le32 2048; le32 $((sectors - 2048)); } | dd of=/tmp/mbr bs=1 seek=440 conv=notrunc 2>/dev/null
printf '\125\252' | dd of=/tmp/mbr bs=1 seek=510 conv=notrunc 2>/dev/null
dd if=/tmp/mbr of="/dev/$bc" bs=512 count=1 conv=notrunc 2>/dev/null
sync
blockdev --rereadpt "/dev/$bc"
part=${bc}p1
i=0
while [ ! -b "/dev/$part" ] && [ $i -lt 10 ]; do sleep 1; i=$((i + 1)); done
Check "partition $part of $bc" [ -b "/dev/$part" ]
Check "the kernel nests it in $bc's directory" [ -e "/sys/block/$bc/$part/partition" ]
partuuid=5eed1234-01
mkdir -p /dev/disk/by-partuuid
ln -s "../../$part" "/dev/disk/by-partuuid/$partuuid"
dir=/var/lib/ceph/osd/ceph-0
OsdFiles "$dir" 0 bluestore "$(Uuid)"
ln -s "/dev/disk/by-partuuid/$partuuid" "$dir/block"
ln -s "/dev/$(DiskBySerial QVDB)" "$dir/block.db"
CaptureStack "$dir/block"
# The main loop meets /dev/<bc>p1 too: it is backed by <bc>'s disk, and no
# line of the log names it but the end of its refused tuning.
CheckSwitchOff "$disk" sata
Check "the partition $part is quiet" sh -c "! grep -F '$part' $LOG | grep -vq ': ended after [0-9]* repeats since .*: ioctl error:'"
Check "traced through the block stack" LogHas "[INFO][block stack of $dir/block: on $bc]"
