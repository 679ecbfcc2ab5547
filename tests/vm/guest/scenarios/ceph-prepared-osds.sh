# needs: full-daemon
# vm: ceph-root
# OSDs that ceph-volume prepared and nothing activated, as a host holds them
# after a reboot until its units run: no OSD directory, only what Ceph left
# on the devices. Four bcache devices, each over its own disk, one cache set;
# the daemon runs from the start and is held (SIGSTOP) while each prepare
# runs and its directory is unmounted again, so that it only ever sees the
# tags and labels:
#   SATA   lvm prepare --dmcrypt, DB on an LV    tags (with a lockbox secret)  WCE 0
#   NVMe   raw prepare, DB on a partition        labels                        VWC 0
#   SCSI2  lvm prepare, DB on the data device    control                       WCE 1
#   SCSI   raw prepare, no DB                    control                       WCE 1
# Then the raw NVMe OSD is activated as Rook does it, into its directory on
# the host (/var/lib/rook/rook-ceph/<cluster fsid>_<osd uuid>), which must
# agree with its labels. The daemon runs in the guest's own root, where
# /var/lib/rook can be made, over the Debian root's /var/lib/ceph; the tools
# run in the chroot. Every check reads the disks, and the report for the
# sources.
. /guest/ceph.sh

CephDisks
Check "Debian's root with Ceph is mounted" CephEnter
Say "Ceph: $(InCeph ceph --version)"
Check "a one-node cluster is up" CephMon
CephBcache
printf 'o\nn\np\n1\n\n+4096M\nn\np\n2\n\n\nw\n' | fdisk "/dev/$db" >/dev/null 2>&1
i=0
while [ ! -b "/dev/${db}2" ] && [ $i -lt 10 ]; do sleep 1; i=$((i + 1)); done
InCeph sh -c "pvcreate -q /dev/${db}1 && vgcreate -q ceph-db /dev/${db}1 &&
    lvcreate -q -y -Zn -Wn -L 1G -n db0 ceph-db" >/dev/null
Check "a DB volume and a DB partition" test -b /dev/ceph-db/db0 -a -b "/dev/${db}2"
mount --bind "$CEPH/var/lib/ceph" /var/lib/ceph
mkdir -p /var/lib/rook/rook-ceph
cluster=$(sed -n 's/^fsid = //p' "$CEPH/etc/ceph/ceph.conf")

StartDaemon
Check "the daemon started" WaitLog "[INFO][quelvar start]" 1 10
Ms() { qvprobe now; }
Cache() { case "$1" in nvme*) Vwc "$1" ;; *) Wce "$1" ;; esac; }
# The id the last prepare gave its OSD, and its fsid.
OsdId() { sed -n 's/.* --mkfs -i \([0-9][0-9]*\) .*/\1/p' /tmp/ceph-volume.out | head -n 1; }
OsdFsid() { sed -n 's/.* --osd-uuid \([0-9a-f-]*\) .*/\1/p' /tmp/ceph-volume.out | head -n 1; }

# Prepare DISK's bcache device BC with the daemon held, unmount the
# directory prepare leaves, let the daemon go and time its disk.
Prepared() {
    local what=$1 disk=$2 bc=$3 want=$4 t0 id
    shift 4
    Say "$bc before: $(qvprobe times "/dev/$bc" | cut -d' ' -f2-)"
    kill -STOP "$DAEMON_PID"
    CephVolume "$@" --bluestore --data "/dev/$bc" || { kill -CONT "$DAEMON_PID"; return 1; }
    id=$(OsdId)
    eval "fsid_$id=$(OsdFsid)"
    InCeph umount "/var/lib/ceph/osd/ceph-$id"
    rmdir "$CEPH/var/lib/ceph/osd/ceph-$id"
    Say "$what: osd.$id, no directory; $bc after: $(qvprobe times "/dev/$bc" | cut -d' ' -f2-)"
    t0=$(Ms)
    kill -CONT "$DAEMON_PID"
    if [ "$want" = 0 ]; then
        WaitValue 0 14 Cache "$disk" >/dev/null
        Say "$what: $disk reads $(Cache "$disk") $(($(Ms) - t0)) ms after the daemon went on"
    else
        sleep 12
        Say "$what: $disk reads $(Cache "$disk") two passes after the daemon went on"
    fi
    eval "id_$(echo "$what" | tr -c 'a-z0-9\n' _)=$id"
    [ "$(Cache "$disk")" = "$want" ]
}

Check "lvm prepare --dmcrypt over $bc_sata: $sata off within two passes" \
    Prepared lvm "$sata" "$bc_sata" 0 lvm prepare --dmcrypt --block.db ceph-db/db0
Check "raw prepare over $bc_nvme: $nvme off within two passes" \
    Prepared raw "$nvme" "$bc_nvme" 0 raw prepare --block.db "/dev/${db}2"
Check "control: lvm prepare over $bc_coloc, DB on the data device: $scsi2 keeps its cache" \
    Prepared lvm-colocated "$scsi2" "$bc_coloc" 1 lvm prepare
Check "control: raw prepare over $bc_scsi, no DB label anywhere: $scsi keeps its cache" \
    Prepared raw-colocated "$scsi" "$bc_scsi" 1 raw prepare
Check "no OSD directory was ever filled" [ -z "$(ls "$CEPH/var/lib/ceph/osd")" ]
InCeph lvs -o lv_name,lv_tags --noheadings 2>/dev/null | sed 's/cephx_lockbox_secret=[^,]*/cephx_lockbox_secret=(hidden)/; s/^/  lvs| /'
secret=$(InCeph lvs -o lv_tags --noheadings 2>/dev/null | tr ',' '\n' | sed -n 's/^ *ceph.cephx_lockbox_secret=//p' | grep . | head -n 1)
Check "the encrypted OSD's tags hold a lockbox secret" [ -n "$secret" ]
key=$(InCeph ceph-bluestore-tool show-label --dev "/dev/$bc_nvme" 2>/dev/null | sed -n 's/.*"osd_key": "\([^"]*\)".*/\1/p')
Check "the raw OSD's label holds its key" [ -n "$key" ]
InCeph ceph-bluestore-tool show-label --dev "/dev/$bc_nvme" 2>/dev/null | grep -v osd_key | sed 's/^/  label| /'
# Block 0 as ceph-osd wrote it, for the tests' fixtures (the key is a
# throwaway cluster's).
od -An -tx1 -v -N 1024 "/dev/$bc_nvme" >/results/label-main.hex
od -An -tx1 -v -N 1024 "/dev/${db}2" >/results/label-db.hex

report=$(/usr/sbin/quelvar --status)
echo "$report" | sed 's/^/  status| /'
Row() { echo "$report" | grep -E "^$1 "; }
Check "report: $bc_sata protected, known from LVM tags" sh -c 'echo "$1" | grep -q " protected .*" && echo "$1" | grep -q "LVM tags"' _ "$(Row "$bc_sata")"
Check "report: $bc_nvme protected, known from labels" sh -c 'echo "$1" | grep -q " protected " && echo "$1" | grep -q "label)"' _ "$(Row "$bc_nvme")"
Check "report: $bc_coloc not guarded" sh -c 'echo "$1" | grep -q "not guarded"' _ "$(Row "$bc_coloc")"
Check "report: $bc_scsi not guarded" sh -c 'echo "$1" | grep -q "not guarded"' _ "$(Row "$bc_scsi")"

# Rook's activation: its directory on the host, mounted where ceph-volume
# fills it, without a tmpfs.
raw_fsid=$(eval echo "\$fsid_$id_raw")
rook=/var/lib/rook/rook-ceph/${cluster}_$raw_fsid
mkdir -p "$rook" "$CEPH/var/lib/ceph/osd/ceph-$id_raw"
mount --bind "$rook" "$CEPH/var/lib/ceph/osd/ceph-$id_raw"
Check "raw activate --no-tmpfs into the Rook directory $rook" \
    CephVolume raw activate --no-systemd --no-tmpfs --device "/dev/$bc_nvme" --block.db "/dev/${db}2"
umount "$CEPH/var/lib/ceph/osd/ceph-$id_raw"
rmdir "$CEPH/var/lib/ceph/osd/ceph-$id_raw"
ls -l "$rook" | sed 's/^/  rook| /'
sleep 12
report=$(/usr/sbin/quelvar --status)
echo "$report" | sed 's/^/  status| /'
Check "report: $bc_nvme protected, known from its Rook directory and its labels" \
    sh -c 'echo "$1" | grep -q " protected " && echo "$1" | grep -q "Rook directory+label"' _ "$(Row "$bc_nvme")"
Check "$nvme (Rook): VWC 0" [ "$(Vwc "$nvme")" = 0 ]
Check "the Rook directory agrees with the labels: no WARNING" LogLacks "[WARNING][OSD "

for d in "$sata" "$nvme" "$scsi2" "$scsi"; do Say "at the end: $(State "$d")"; done
json=$(/usr/sbin/quelvar --status --json)
prom=$(/usr/sbin/quelvar --status --prometheus)
StopDaemon
ShowLog
Check "no secret in the log, the report or the metrics" \
    sh -c '! grep -qF -e "$1" -e "$2" /var/log/quelvar/quelvar.log && ! printf "%s\n%s\n%s\n" "$3" "$4" "$5" | grep -qF -e "$1" -e "$2"' \
    _ "$secret" "$key" "$report" "$json" "$prom"
Check "no ERROR line" LogLacks "[ERROR]"
CheckOrderlyStop
umount /var/lib/ceph
InCeph sh -c 'pkill ceph-mon; for d in $(dmsetup ls --target crypt | cut -f1); do cryptsetup close $d; done' >/dev/null 2>&1
