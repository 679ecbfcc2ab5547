# needs: full-daemon
# A host deployed with containers: no /var/lib/ceph/osd/, and the OSD in
# /var/lib/ceph/<cluster fsid>/osd.0/ beside a monitor's directory, its
# block on LVM on bcache over the SCSI disk as ceph-volume's LVM mode lays
# it out inside the container (which shares the host's /dev).
disk=$(DiskByModel QVSCSI)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$disk" "$cset")
Check "bcache device over $disk" [ -b "/dev/$bc" ]
cluster=$(Uuid)
rmdir /var/lib/ceph/osd
mkdir -p "/var/lib/ceph/$cluster/mon.a" "/var/lib/ceph/$cluster/crash"
OSD_DIR=/var/lib/ceph/$cluster/osd.0 BluestoreOsdOnLvm 0 "$bc" "/dev/$(DiskBySerial QVDB)"
CheckSwitchOff "$disk" scsi
Check "the absent classic root is not logged" LogLacks "access /var/lib/ceph/osd/"
