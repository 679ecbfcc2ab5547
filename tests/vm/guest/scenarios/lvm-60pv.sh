# runs: when named
# What a rebuild of the inventory costs with real LVM and 60 physical volumes
# present (sixty 3 MiB slices of the NVMe disk past its first, device-mapper
# linear maps, in six volume groups): two bcache devices carry bluestore OSDs, one on LVM
# (SATA disk), one straight on its device (SCSI disk), and a third OSD's
# block is a node the kernel does not list, so that only LVM could tie it.
# quelvar --status reads the host as a pass does, rebuild included: its wall
# time is measured with and without that third OSD, beside pvs's own.
nvme=$(NvmeBySerial QVNVME0)
i=0
while [ $i -lt 60 ]; do
    DM_DISABLE_UDEV=1 dmsetup --noudevsync create "pv$i" --table "0 6144 linear /dev/$nvme $(((i + 1) * 6144))" || break
    i=$((i + 1))
done
g=0
while [ $g -lt 6 ]; do
    set --
    i=$((g * 10))
    while [ $i -lt $((g * 10 + 10)) ]; do set -- "$@" "/dev/mapper/pv$i"; i=$((i + 1)); done
    pvcreate -q -y "$@" >/dev/null && vgcreate -q "many$g" "$@" >/dev/null
    g=$((g + 1))
done
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
BluestoreOsdOnLvm 0 "$(MakeBacking "$(DiskByModel QVSATA)" "$cset")" "/dev/$(DiskBySerial QVDB)"
bc=$(MakeBacking "$(DiskByModel QVSCSI)" "$cset")
dir=/var/lib/ceph/osd/ceph-1
OsdFiles "$dir" 1 bluestore "$(Uuid)"
ln -s "/dev/$bc" "$dir/block"
ln -s "/dev/$(DiskBySerial QVDB)" "$dir/block.db"
Check "60 physical volumes and 2 bcache devices" [ "$(pvs --noheadings | wc -l)" = 61 ]

Ms() { qvprobe now; }
Time() {
    local t0 n=1
    while [ $n -le 3 ]; do
        t0=$(Ms)
        "$@" >/dev/null 2>&1
        Say "$*: $(($(Ms) - t0)) ms"
        n=$((n + 1))
    done
}
Time pvs --noheadings -o pv_name,vg_name
Time /usr/sbin/quelvar --status
mknod /dev/gone-osd b 240 7
dir=/var/lib/ceph/osd/ceph-2
OsdFiles "$dir" 2 bluestore "$(Uuid)"
ln -s /dev/gone-osd "$dir/block"
ln -s "/dev/$(DiskBySerial QVDB)" "$dir/block.db"
Say "with an OSD only LVM could tie:"
Time /usr/sbin/quelvar --status
/usr/sbin/quelvar --status || Say "exit status $?"
