# needs: full-daemon
# Every disk under an OSD is guarded, in the layouts where a first match by
# name left disks unguarded; each OSD's DB on the virtio DB disk:
#   one volume group over the bcache devices of the SATA and the SCSI disk,
#   one OSD's volume on each;
#   one volume striped over the bcache devices of the NVMe disk and of a
#   scsi_debug disk;
#   an OSD linked to the first partition of the bcache device of a second
#   scsi_debug disk, whose node is made again after the partition's, so that
#   /dev lists it first (as udev or an operator may do).
# --status exits 2 before the first pass and 0 after, every device
# protected; each disk's cache is read from the disk.
insmod "/lib/modules/$(uname -r)/scsi_debug.ko" dev_size_mb=64 per_host_store=1 add_host=2
i=0
while [ "$(DiskWith 'sd*' device/model scsi_debug | wc -l)" -lt 1 ] && [ $i -lt 20 ]; do sleep 1; i=$((i + 1)); done
sleep 2
debug=$(for d in /sys/block/sd*; do [ "$(tr -d ' ' <"$d/device/model")" = scsi_debug ] && basename "$d"; done)
set -- $debug
Check "two scsi_debug disks, each with a store of its own" [ $# = 2 ]
sata=$(DiskByModel QVSATA)
scsi=$(DiskByModel QVSCSI)
nvme=$(NvmeBySerial QVNVME0)
sd1=$1
sd2=$2
db=/dev/$(DiskBySerial QVDB)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
for d in "$sata" "$scsi" "$nvme" "$sd1" "$sd2"; do
    eval "bc_$d=$(MakeBacking "$d" "$cset")"
done
Bc() { eval echo "\$bc_$1"; }
Say "bcache devices: $sata $(Bc "$sata"), $scsi $(Bc "$scsi"), $nvme $(Bc "$nvme"), $sd1 $(Bc "$sd1"), $sd2 $(Bc "$sd2")"

Osd() {  # Osd ID BLOCK
    local dir=/var/lib/ceph/osd/ceph-$1
    OsdFiles "$dir" "$1" bluestore "$(Uuid)"
    ln -s "$2" "$dir/block"
    ln -s "$db" "$dir/block.db"
}
pvcreate -q -y "/dev/$(Bc "$sata")" "/dev/$(Bc "$scsi")" >/dev/null
vgcreate -q ceph-shared "/dev/$(Bc "$sata")" "/dev/$(Bc "$scsi")" >/dev/null
lvcreate -q -y -Zn -Wn -l 100%PVS -n osd-block-0 ceph-shared "/dev/$(Bc "$sata")" >/dev/null
lvcreate -q -y -Zn -Wn -l 100%PVS -n osd-block-1 ceph-shared "/dev/$(Bc "$scsi")" >/dev/null
Osd 0 /dev/ceph-shared/osd-block-0
Osd 1 /dev/ceph-shared/osd-block-1
pvcreate -q -y "/dev/$(Bc "$nvme")" "/dev/$(Bc "$sd1")" >/dev/null
vgcreate -q ceph-striped "/dev/$(Bc "$nvme")" "/dev/$(Bc "$sd1")" >/dev/null
lvcreate -q -y -Zn -Wn -i 2 -I 64k -l 100%FREE -n osd-block-2 ceph-striped >/dev/null
Osd 2 /dev/ceph-striped/osd-block-2
Check "the shared group's volumes lie one on each device" \
    [ "$(ls /sys/block/dm-*/slaves | grep -c bcache)" -ge 4 ]
bc=$(Bc "$sd2")
printf 'o\nn\np\n1\n\n\nw\n' | fdisk "/dev/$bc" >/dev/null 2>&1
blockdev --rereadpt "/dev/$bc"
i=0
while [ ! -b "/dev/${bc}p1" ] && [ $i -lt 10 ]; do sleep 1; i=$((i + 1)); done
Check "partition ${bc}p1" [ -b "/dev/${bc}p1" ]
number=$(cat "/sys/block/$bc/dev")
rm "/dev/$bc"
mknod "/dev/$bc" b "${number%:*}" "${number#*:}"
Osd 3 "/dev/${bc}p1"
Check "/dev lists /dev/$bc before its partition" [ "$(find /dev -maxdepth 1 -name "$bc*" | head -n 1)" = "/dev/$bc" ]
for o in 0 2; do CaptureStack "/var/lib/ceph/osd/ceph-$o/block"; done

Cache() { case "$1" in nvme*) Vwc "$1" ;; *) Wce "$1" ;; esac; }
# Report: the metrics form, easy for busybox; each device's verdict.
Report() {
    /usr/sbin/quelvar --status --prometheus >/tmp/report.prom 2>/tmp/report.err
    REPORT_STATUS=$?
    /usr/sbin/quelvar --status | sed 's/^/  | /'
}
Verdicts() {
    local d
    for d in "$sata" "$scsi" "$nvme" "$sd1" "$sd2"; do
        grep "^quelvar_disk_verdict{bcache=\"$(Bc "$d")\"" /tmp/report.prom | awk '{printf "%s ", $NF}'
    done
}
for d in "$sata" "$scsi" "$nvme" "$sd1" "$sd2"; do Say "before: $d cache $(Cache "$d")"; done
Report
Check "before a pass: exit status 2" [ "$REPORT_STATUS" = 2 ]
Check "before a pass: every device UNPROTECTED" [ "$(Verdicts)" = "2 2 2 2 2 " ]
Check "the partition has no row of its own" sh -c "! grep -q 'bcache=\"${bc}p1\"' /tmp/report.prom"

StartDaemon
for d in "$sata" "$scsi" "$nvme" "$sd1" "$sd2"; do
    Check "$d's cache is off, read from the disk" WaitValue 0 40 Cache "$d"
done
Check "a pause begins" WaitPauseStart
StopDaemon
ShowLog
Report
Check "after a pass: exit status 0" [ "$REPORT_STATUS" = 0 ]
Check "after a pass: every device protected" [ "$(Verdicts)" = "0 0 0 0 0 " ]
Check "the striped volume's OSD is on both its devices, said once" \
    [ "$(LogCount "[INFO][block stack of /var/lib/ceph/osd/ceph-2/block: on ")" = 1 ]
Check "nothing on the report's standard error" [ ! -s /tmp/report.err ]
Check "no block stack refused" LogLacks "WARNING][block stack"
CheckOrderlyStop
