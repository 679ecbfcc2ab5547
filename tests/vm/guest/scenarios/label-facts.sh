# runs: when named
# What the kernel and LVM show the inventory's readers, measured without the
# daemon (run with QUELVAR_VM_TIMEOUT=600):
# - block 0 read from the page cache only (RWF_NOWAIT): cold, after
#   readahead was asked for, after LVM and a label writer wrote the device;
# - a bcache device node's times when pvs reads it, when LVM writes its
#   label and metadata (pvcreate, vgcreate, lvcreate, a tag added), when a
#   label is written with O_DIRECT and through the page cache; what /dev
#   gains with an LV;
# - LVM's metadata at 120 physical volumes, each its own volume group with
#   one volume tagged as ceph-volume tags a block volume: pvs as the daemon
#   asked it, pvs with the tags and --readonly, and each device's own
#   metadata area read without a process (qvprobe lvm-meta); then the same
#   while another command holds LVM's lock files.
sata=$(DiskByModel QVSATA)
scsi=$(DiskByModel QVSCSI)
nvme=$(NvmeBySerial QVNVME0)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc=$(MakeBacking "$sata" "$cset")
bc2=$(MakeBacking "$scsi" "$cset")
Ms() { qvprobe now; }
Times() { Say "  $1: $(qvprobe times "/dev/$2" | cut -d' ' -f2-)"; }

Say "== block 0 from the page cache only"
Say "  $bc cold: $(qvprobe block0 "/dev/$bc" 3000 | tr '\n' ' ')"
Say "  $bc again: $(qvprobe block0 "/dev/$bc" | tr '\n' ' ')"
Say "  $sata (held by bcache) cold: $(qvprobe block0 "/dev/$sata" 3000 | tr '\n' ' ')"

Say "== the node's times"
Times "made" "$bc"
pvs >/dev/null 2>&1
blkid "/dev/$bc" >/dev/null 2>&1
Times "after pvs and blkid read it" "$bc"
sleep 1
pvcreate -q -y "/dev/$bc" >/dev/null
Times "after pvcreate" "$bc"
sleep 1
vgcreate -q vgf "/dev/$bc" >/dev/null
Times "after vgcreate" "$bc"
ls /dev >/tmp/dev.before
sleep 1
lvcreate -q -y -Zn -Wn -L 8M -n lv vgf >/dev/null
Times "after lvcreate" "$bc"
ls /dev >/tmp/dev.after
Say "  /dev gained: $(diff /tmp/dev.before /tmp/dev.after | sed -n 's/^+\([^+]\)/\1/p' | tr '\n' ' ')"
sleep 1
lvm lvchange -q --addtag ceph.type=block vgf/lv >/dev/null
Times "after a tag was added" "$bc"
Say "  $bc block 0 after LVM wrote it: $(qvprobe block0 "/dev/$bc" 3000 | tr '\n' ' ')"
lvm lvchange -q -an vgf/lv >/dev/null
sleep 1
lvm lvchange -q --addtag ceph.db_uuid=x vgf/lv >/dev/null
Times "after a tag was added to the inactive volume" "$bc"
Say "  $bc2 block 0 before: $(qvprobe block0 "/dev/$bc2" 3000 | tr '\n' ' ')"
Times "before a label" "$bc2"
sleep 1
Say "  $(qvprobe write0 "/dev/$bc2" direct)"
Times "after a label written with O_DIRECT" "$bc2"
Say "  $bc2 block 0 after: $(qvprobe block0 "/dev/$bc2" 3000 | tr '\n' ' ')"
sleep 1
Say "  $(qvprobe write0 "/dev/$bc2" buffered)"
Times "after a label written through the page cache" "$bc2"
Say "  $bc2 block 0 after: $(qvprobe block0 "/dev/$bc2" | tr '\n' ' ')"

Say "== 120 physical volumes with ceph-volume's tags"
i=0
while [ $i -lt 120 ]; do
    DM_DISABLE_UDEV=1 dmsetup --noudevsync create "pv$i" --table "0 4096 linear /dev/$nvme $((2048 + i * 4096))" || break
    i=$((i + 1))
done
t0=$(Ms)
i=0
{
    echo "pvcreate -q -y --metadatasize 128k --dataalignment 64k $(i=0; while [ $i -lt 120 ]; do printf '/dev/mapper/pv%d ' $i; i=$((i + 1)); done)"
    while [ $i -lt 120 ]; do
        u=$(Uuid)
        echo "vgcreate -q -s 1m ceph-$i /dev/mapper/pv$i"
        echo "lvcreate -q -y -Zn -Wn -an -l 1 -n osd-block-$u ceph-$i --addtag ceph.block_device=/dev/ceph-$i/osd-block-$u --addtag ceph.block_uuid=$(Uuid | cut -c1-32) --addtag ceph.cephx_lockbox_secret= --addtag ceph.cluster_fsid=$(Uuid) --addtag ceph.cluster_name=ceph --addtag ceph.crush_device_class= --addtag ceph.db_device=/dev/ceph-db/db$i --addtag ceph.db_uuid=$(Uuid | cut -c1-32) --addtag ceph.encrypted=0 --addtag ceph.osd_fsid=$u --addtag ceph.osd_id=$i --addtag ceph.osdspec_affinity= --addtag ceph.type=block --addtag ceph.vdo=0"
        i=$((i + 1))
    done
} >/tmp/lvm.cmds
lvm </tmp/lvm.cmds >/tmp/lvm.out 2>&1
Say "  made in $(($(Ms) - t0)) ms: $(pvs --noheadings 2>/dev/null | wc -l) physical volumes, $(lvs --noheadings 2>/dev/null | wc -l) volumes"
OLD="pvs --noheadings -o pv_name,vg_name"
NEW="pvs --readonly --noheadings --separator ; -o pv_name,vg_name,lv_uuid,lv_tags"
Time() {
    local n=1 t0 out
    while [ $n -le 3 ]; do
        t0=$(Ms)
        out=$("$@" 2>/dev/null)
        Say "  $1 $2 ...: $(($(Ms) - t0)) ms, $(echo "$out" | wc -l) lines, $(echo "$out" | wc -c) bytes, longest $(echo "$out" | awk '{ if (length > m) m = length } END { print m }')"
        n=$((n + 1))
    done
}
Time $OLD
Time $NEW
Say "  tagged block volumes in pvs's report: $($NEW 2>/dev/null | grep -c 'ceph.type=block')"
devs=$(i=0; while [ $i -lt 120 ]; do printf '/dev/mapper/pv%d ' $i; i=$((i + 1)); done)
for n in 1 2 3; do Say "  lvm-meta: $(qvprobe lvm-meta $devs)"; done
Say "== the same while another command holds LVM's lock files"
qvprobe flock /run/lock/lvm/P_global /run/lock/lvm/V_ceph-7 >/tmp/flock.out &
holder=$!
WaitValue locked 5 cat /tmp/flock.out >/dev/null
t0=$(Ms)
timeout 15 $OLD >/dev/null 2>&1
Say "  $OLD: status $?, $(($(Ms) - t0)) ms"
t0=$(Ms)
out=$(timeout 15 $NEW 2>/tmp/pvs.err)
Say "  $NEW: status $?, $(($(Ms) - t0)) ms, $(echo "$out" | grep -c 'ceph.type=block') tagged volumes; stderr: $(head -c 300 /tmp/pvs.err)"
Say "  lvm-meta: $(qvprobe lvm-meta $devs)"
kill "$holder"
i=0
while [ $i -lt 120 ]; do
    vgchange -q -an "ceph-$i" >/dev/null 2>&1
    i=$((i + 1))
done
Check "facts recorded" true
