# Helpers for the guest scenarios (busybox sh). A scenario builds its disks,
# runs the daemon and checks what the kernel and the disks show afterwards;
# every failed Check is counted in /tmp/failures, which decides the verdict.

LOG=/var/log/quelvar/quelvar.log

# Mainline bcache implements no private device requests: it hands them to the
# backing disk's driver, so the error is the backing disk's: ENOTTY from a
# SATA disk (libata), EINVAL from any other SCSI disk.
TuningWarning() {
    case "$1" in
    sata) echo "[WARNING][ioctl error:25 Inappropriate ioctl for device]" ;;
    *) echo "[WARNING][ioctl error:22 Invalid argument]" ;;
    esac
}

Say() { echo "$*"; }

Check() {
    local what=$1
    shift
    if "$@"; then
        echo "ok - $what"
    else
        echo "not ok - $what"
        echo "$what" >>/tmp/failures
    fi
}

# Disks are found by the model or serial QEMU gives them, not by probe order:
# the disk of /sys/block/PATTERN whose ATTR reads VALUE, blanks left out.
DiskWith() {
    local d
    for d in /sys/block/$1; do
        [ -e "$d/$2" ] || continue
        if [ "$(tr -d ' ' <"$d/$2")" = "$3" ]; then
            basename "$d"
            return 0
        fi
    done
    return 1
}

DiskByModel() { DiskWith 'sd*' device/model "$1"; }
DiskBySerial() { DiskWith 'vd*' serial "$1"; }
# The NVMe namespace of the controller QEMU gives this serial.
NvmeBySerial() { DiskWith 'nvme*' device/serial "$1"; }

WaitForDisks() {
    local i=0
    while [ $i -lt 30 ]; do
        DiskByModel QVSATA >/dev/null && DiskByModel QVSCSI >/dev/null &&
            DiskBySerial QVCACHE >/dev/null && DiskBySerial QVDB >/dev/null && return 0
        sleep 1
        i=$((i + 1))
    done
    echo "init: disks missing:" /sys/block/*
    return 1
}

# scsi_debug with room for a bcache superblock and a small LVM volume.
LoadScsiDebug() {
    insmod "/lib/modules/$(uname -r)/scsi_debug.ko" dev_size_mb=64 "$@" || return 1
    local i=0
    while [ $i -lt 20 ]; do
        DiskByModel scsi_debug && return 0
        sleep 1
        i=$((i + 1))
    done
    return 1
}

Uuid() { cat /proc/sys/kernel/random/uuid; }

# A cache set on a virtio disk; prints its set uuid. Small cache devices
# need 64k buckets or registration fails.
MakeCacheSet() {
    make-bcache --bucket 64k -C "/dev/$1" >/dev/null || return 1
    echo "/dev/$1" >/sys/fs/bcache/register 2>/dev/null
    bcache-super-show "/dev/$1" | awk '$1 == "cset.uuid" {print $2}'
}

# A backing device on the disk, attached to the cache set in writeback mode;
# prints the bcache device's name.
MakeBacking() {
    local disk=$1 cset=$2 i=0
    make-bcache -B "/dev/$disk" >/dev/null || return 1
    echo "/dev/$disk" >/sys/fs/bcache/register 2>/dev/null
    while [ ! -e "/sys/class/block/$disk/bcache/dev" ] && [ $i -lt 10 ]; do
        sleep 1
        i=$((i + 1))
    done
    local bc
    bc=$(basename "$(readlink "/sys/class/block/$disk/bcache/dev")")
    echo "$cset" >"/sys/class/block/$disk/bcache/attach"
    echo writeback >"/sys/class/block/$disk/bcache/cache_mode"
    i=0
    while [ ! -b "/dev/$bc" ] && [ $i -lt 10 ]; do
        sleep 1
        i=$((i + 1))
    done
    echo "$bc"
}

# The common files of an OSD directory as ceph-volume leaves them.
OsdFiles() {
    local dir=$1 id=$2 type=$3 fsid=$4
    mkdir -p "$dir"
    echo "$type" >"$dir/type"
    echo "$fsid" >"$dir/fsid"
    Uuid >"$dir/ceph_fsid"
    echo "$id" >"$dir/whoami"
    echo ready >"$dir/ready"
    printf '[osd.%s]\nkey = AQAAAAAAAAAAABAAAAAAAAAAAAAAAAAAAAAAAA==\n' "$id" >"$dir/keyring"
}

# A bluestore OSD whose block is an LVM volume on the bcache device, named as
# ceph-volume names it (/dev/ceph-<vg uuid>/osd-block-<osd fsid>). The DB is
# "same" (block.db naming the block volume), "none" (no block.db: DB inside
# the block device, as ceph-volume lays it out) or a device path. There is
# never a block.wal: without a WAL device the WAL lives with the DB.
# OSD_DIR puts the directory elsewhere than /var/lib/ceph/osd/ceph-<id>.
BluestoreOsdOnLvm() {
    local id=$1 bc=$2 db=$3
    local fsid vg lv dir
    fsid=$(Uuid)
    vg=ceph-$(Uuid)
    lv=osd-block-$fsid
    dir=${OSD_DIR:-/var/lib/ceph/osd/ceph-$id}
    pvcreate -q -y "/dev/$bc" >/dev/null || return 1
    vgcreate -q "$vg" "/dev/$bc" >/dev/null || return 1
    lvcreate -q -y -Zn -Wn -l 100%FREE -n "$lv" "$vg" >/dev/null || return 1
    [ -e "/dev/$vg/$lv" ] || return 1
    OsdFiles "$dir" "$id" bluestore "$fsid"
    ln -s "/dev/$vg/$lv" "$dir/block"
    case "$db" in
    none) ;;
    same) ln -s "/dev/$vg/$lv" "$dir/block.db" ;;
    *) ln -s "$db" "$dir/block.db" ;;
    esac
    echo "osd.$id: bluestore on /dev/$vg/$lv over $bc, db $db"
}

# The SATA and the SCSI disk (in $sata and $scsi), each under a bcache
# device with a bluestore OSD on LVM whose DB is elsewhere: both guarded.
TwoGuardedDisks() {
    local cset
    sata=$(DiskByModel QVSATA)
    scsi=$(DiskByModel QVSCSI)
    cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
    BluestoreOsdOnLvm 0 "$(MakeBacking "$sata" "$cset")" "/dev/$(DiskBySerial QVDB)"
    BluestoreOsdOnLvm 1 "$(MakeBacking "$scsi" "$cset")" "/dev/$(DiskBySerial QVDB)"
}

# A dm-crypt mapping NAME over the block device DEV, keyed with a throwaway
# key and no header, as the deployment tools map an encrypted volume once
# its key is unlocked. aes-cbc-plain needs nothing beyond dm_crypt.
CryptMap() {
    local name=$1 dev=$2 key sectors
    key=$(head -c 32 /dev/urandom | od -An -tx1 | tr -d ' \n')
    sectors=$(blockdev --getsz "$dev") || return 1
    DM_DISABLE_UDEV=1 dmsetup --noudevsync create "$name" \
        --table "0 $sectors crypt aes-cbc-plain $key 0 $dev 0" || return 1
    [ -b "/dev/mapper/$name" ]
}

# Prints the sysfs entries the daemon's walk reads below the block device
# that PATH leads to, one "sysfs: " line each, in the form of the tests'
# captured trees (tests/data/sysfs).
CaptureStack() {
    local devno dir rel s todo
    devno=$(stat -L -c '%t:%T' "$1") || return 1
    devno=$((0x${devno%:*})):$((0x${devno#*:}))
    echo "sysfs: dev/block/$devno -> $(readlink "/sys/dev/block/$devno")"
    todo=$(realpath "/sys/dev/block/$devno")
    while [ -n "$todo" ]; do
        dir=${todo%% *}
        todo=${todo#"$dir"}
        todo=${todo# }
        rel=${dir#/sys/}
        echo "sysfs: $rel/dev = $(cat "$dir/dev")"
        if [ -e "$dir/partition" ]; then
            echo "sysfs: $rel/partition = $(cat "$dir/partition")"
            todo=${todo:+$todo }${dir%/*}
            continue
        fi
        [ -e "$dir/dm/name" ] && echo "sysfs: $rel/dm/name = $(cat "$dir/dm/name")"
        [ -n "$(ls "$dir/slaves" 2>/dev/null)" ] || echo "sysfs: $rel/slaves/"
        for s in "$dir"/slaves/*; do
            [ -L "$s" ] || continue
            echo "sysfs: $rel/slaves/${s##*/} -> $(readlink "$s")"
            todo=${todo:+$todo }$(realpath "$s")
        done
    done
}

# A filestore OSD: its data directory on the bcache device, journal beside it.
FilestoreOsd() {
    local id=$1 bc=$2 dir=/var/lib/ceph/osd/ceph-$1
    OsdFiles "$dir" "$id" filestore "$(Uuid)"
    ln -s "/dev/$bc" "$dir/journal"
    echo "osd.$id: filestore over $bc"
}

# The disk's own answer: WCE of the Caching page's current values. A pending
# UNIT ATTENTION (scsi_debug after MODE SELECT) fails the first read.
Wce() {
    local i=0 v
    while [ $i -lt 3 ]; do
        v=$(sdparm --get=WCE "/dev/$1" 2>/dev/null | awk '$1 == "WCE" {print $2}')
        [ -n "$v" ] && { echo "$v"; return 0; }
        i=$((i + 1))
    done
    echo unreadable
}

WriteCacheAttr() { cat "/sys/block/$1/queue/write_cache"; }

State() { echo "$1: WCE $(Wce "$1"), queue/write_cache '$(WriteCacheAttr "$1")'"; }

StartDaemon() {
    /usr/sbin/quelvar >/tmp/quelvar.stdout 2>&1 &
    DAEMON_PID=$!
    echo "$DAEMON_PID" >/tmp/quelvar.pid
    echo "daemon started, pid $DAEMON_PID"
}

# SIGTERM, then wait for the exit with a bound; DAEMON_STATUS gets the exit
# status, or "hung" when the daemon did not stop.
StopDaemon() {
    kill -TERM "$DAEMON_PID"
    local i=0
    while kill -0 "$DAEMON_PID" 2>/dev/null && [ $i -lt 20 ]; do
        # A zombie still answers kill -0; its state tells it has ended.
        grep -q '^State:.*Z' "/proc/$DAEMON_PID/status" 2>/dev/null && break
        sleep 1
        i=$((i + 1))
    done
    if grep -q '^State:.*[RSD]' "/proc/$DAEMON_PID/status" 2>/dev/null; then
        DAEMON_STATUS=hung
        kill -KILL "$DAEMON_PID"
    fi
    wait "$DAEMON_PID"
    local rc=$?
    [ "${DAEMON_STATUS:-}" = hung ] || DAEMON_STATUS=$rc
    rm -f /tmp/quelvar.pid
    echo "daemon stopped, status $DAEMON_STATUS"
    if [ -s /tmp/quelvar.stdout ]; then
        echo "daemon standard output:"
        sed 's/^/  | /' /tmp/quelvar.stdout
    fi
}

LogCount() { grep -cF -- "$1" "$LOG" 2>/dev/null || true; }

LogHas() { grep -qF -- "$1" "$LOG" 2>/dev/null; }

LogLacks() { ! LogHas "$1"; }

# Waits until the log holds the text at least COUNT times, SECONDS at most.
WaitLog() {
    local text=$1 count=$2 limit=$3 i=0
    while [ $i -lt "$limit" ]; do
        [ "$(LogCount "$text")" -ge "$count" ] && return 0
        sleep 1
        i=$((i + 1))
    done
    return 1
}

ShowLog() {
    echo "daemon log:"
    sed 's/^/  | /' "$LOG" 2>/dev/null
}

# The end of every scenario for the daemon's orderly stop.
CheckOrderlyStop() {
    Check "SIGTERM gives \"quelvar stop\"" LogHas "[INFO][quelvar stop]"
    Check "exit status 0 after SIGTERM" [ "$DAEMON_STATUS" = 0 ]
    Check "one start line" [ "$(LogCount "[INFO][quelvar start]")" = 1 ]
}

# A bluestore OSD with its DB on another disk, on LVM on a bcache device
# backed by DISK (of KIND sata, scsi or scsi_debug): the first pass must
# switch the disk's volatile cache off, rescan it and sync it; the second
# finds it off and leaves it; the refused tuning requests stop nothing.
SwitchOffScenario() {
    local disk=$1 kind=$2 cset bc
    cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
    bc=$(MakeBacking "$disk" "$cset")
    Check "bcache device over $disk" [ -b "/dev/$bc" ]
    BluestoreOsdOnLvm 0 "$bc" "/dev/$(DiskBySerial QVDB)"
    CheckSwitchOff "$disk" "$kind"
}

# The daemon's run over a bluestore OSD already laid out on a bcache device
# backed by DISK: the checks of SwitchOffScenario. IGNORED, when given, is
# the text of an ERROR line the layout is known to cause on every pass.
CheckSwitchOff() {
    local disk=$1 kind=$2 ignored=${3:-} warning
    warning=$(TuningWarning "$kind")
    Check "$disk starts with WCE 1" [ "$(Wce "$disk")" = 1 ]
    Check "$disk starts in write back" [ "$(WriteCacheAttr "$disk")" = "write back" ]
    StartDaemon
    Check "first pass logs the switch" WaitLog "[INFO][change config of $disk succeed]" 1 30
    Check "first pass logs the rescan" WaitLog "[INFO][rescan dev $disk return 0]" 1 5
    Check "first pass logs the sync" WaitLog "[INFO][sync device $disk return 0]" 1 5
    Say "after the first pass: $(State "$disk")"
    Check "the disk's own Caching page reads WCE 0" [ "$(Wce "$disk")" = 0 ]
    Check "queue/write_cache reads write through" [ "$(WriteCacheAttr "$disk")" = "write through" ]
    Check "the refused tuning request is logged on two passes" WaitLog "$warning" 2 20
    StopDaemon
    ShowLog
    Say "at the end: $(State "$disk")"
    Check "the disk is switched once (the second pass finds write through)" [ "$(LogCount "change config of")" = 1 ]
    Check "still WCE 0 at the end" [ "$(Wce "$disk")" = 0 ]
    Check "no FlushBcache error" LogLacks "FlushBcache error"
    if [ -z "$ignored" ]; then
        Check "no ERROR line" LogLacks "[ERROR]"
    else
        Check "no ERROR line but those about $ignored" sh -c "! grep -F '[ERROR]' $LOG | grep -vF '$ignored'"
    fi
    CheckOrderlyStop
}

# Leaves nothing open, so power-off does not wait for bcache or LVM.
Teardown() {
    if [ -f /tmp/quelvar.pid ]; then
        kill -KILL "$(cat /tmp/quelvar.pid)" 2>/dev/null
    fi
    DM_DISABLE_UDEV=1 dmsetup --noudevsync remove_all >/dev/null 2>&1
    vgchange -an >/dev/null 2>&1
    DM_DISABLE_UDEV=1 dmsetup --noudevsync remove_all >/dev/null 2>&1
    local f
    for f in /sys/block/bcache*/bcache/stop; do
        [ -e "$f" ] && echo 1 >"$f"
    done
    sleep 1
    for f in /sys/fs/bcache/*-*/unregister; do
        [ -e "$f" ] && echo 1 >"$f"
    done
    sleep 1
    return 0
}

# Puts the guest back as it booted, so that scenarios can follow one another
# in one boot: the daemon's log kept aside as /results/NAME-quelvar.log, the
# OSDs, LVM, bcache and scsi_debug gone, the disks' first megabyte (bcache
# and LVM labels) blank and their volatile caches on again.
Reset() {
    local name=$1 d f i=0
    Teardown
    # Stopping and unregistering are asynchronous.
    while [ $i -lt 20 ] && ls -d /sys/block/bcache* /sys/fs/bcache/*-* >/dev/null 2>&1; do
        sleep 1
        i=$((i + 1))
    done
    rm -rf /var/lib/ceph/osd/*
    for f in /var/log/quelvar/quelvar.log*; do
        [ -e "$f" ] && mv "$f" "/results/$name-$(basename "$f")"
    done
    rmmod scsi_debug 2>/dev/null
    for d in /sys/block/sd* /sys/block/vd*; do
        [ -e "$d" ] || continue
        d=$(basename "$d")
        dd if=/dev/zero of="/dev/$d" bs=1M count=1 conv=fsync 2>/dev/null
        case "$d" in
        sd*) sdparm -q --set=WCE "/dev/$d" >/dev/null 2>&1 && echo 1 >"/sys/block/$d/device/rescan" ;;
        esac
    done
    unset DAEMON_PID DAEMON_STATUS
    echo "reset after $name: $(ls /sys/block | tr '\n' ' ')"
}

# The disk's own answer for an NVMe namespace: the Volatile Write Cache
# feature (FID 06h) read with Get Features, current value.
Vwc() {
    local r
    r=$(qvprobe nvme "/dev/$1" admin 0a 0 6 0 | sed -n 's/.* rc=0 .*result=0x\([0-9a-f]*\) .*/\1/p')
    [ -n "$r" ] && echo $((0x$r & 1)) || echo unreadable
}

# One primary partition over the first 128 MiB of the disk; prints its name.
MakePartition() {
    printf 'o\nn\np\n1\n\n+128M\nw\n' | fdisk "/dev/$1" >/dev/null 2>&1
    local i=0
    while [ ! -b "/dev/${1}1" ] && [ $i -lt 10 ]; do
        sleep 1
        i=$((i + 1))
    done
    [ -b "/dev/${1}1" ] && echo "${1}1"
}

# Waits until the command prints the value, SECONDS at most; the disk is
# asked, not the daemon's log.
WaitValue() {
    local want=$1 limit=$2 i=0
    shift 2
    while [ $i -lt "$limit" ]; do
        [ "$("$@")" = "$want" ] && return 0
        sleep 1
        i=$((i + 1))
    done
    return 1
}

# Waits for the daemon to begin a pause: its pass has ended and the next
# starts five seconds later, time enough to change a disk and read it back.
Sleeping() { grep -q nanosleep "/proc/$DAEMON_PID/wchan" 2>/dev/null; }
WaitPauseStart() {
    local i=0
    while Sleeping && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    while ! Sleeping && [ $i -lt 200 ]; do sleep 0.1; i=$((i + 1)); done
    Sleeping
}

# On a booted system: the bed's watcher of every disk's own cache state,
# from early boot (boot/wce-watch, its log in /run/quelvar-vm/wce.log), with
# the helpers it needs.
InstallWatcher() {
    mkdir -p /usr/local/lib/quelvar-vm
    cp /results/guest/lib.sh /usr/local/lib/quelvar-vm/lib.sh
    install -m 755 /results/guest/boot/wce-watch /usr/local/sbin/qv-wce-watch
    install -m 755 /results/bin/qvprobe /usr/local/sbin/qvprobe
    cat >/etc/systemd/system/qv-wce-watch.service <<'UNIT'
[Unit]
Description=Test bed: the disks' own write-cache state from early boot
DefaultDependencies=no
Before=sysinit.target

[Service]
ExecStart=/usr/local/sbin/qv-wce-watch

[Install]
WantedBy=sysinit.target
UNIT
    systemctl enable qv-wce-watch.service 2>/dev/null
}
