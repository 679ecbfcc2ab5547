# needs: full-daemon
# vm: boot
# The product as installed, on a Debian system booted with systemd from a
# disk image whose four OSDs ceph-volume made (tests/vm/bootimage.sh). Two
# boots of copies of that image, each a new QEMU:
#   install  the package's life: the previous build, the upgrade to this
#            one, remove, purge; then this build installed for good with
#            the metrics timer, and the early watcher of the disks' caches
#   measure  a cold boot, every disk's cache at its default: how long each
#            OSD runs before its disk reads WCE 0 / VWC 0, the daemon under
#            its unit, the stop, the OSDs when the daemon is away, the purge
#   bare     (only with QUELVAR_VM_BOOT_STAGES="install bare measure") a cold
#            boot with the OSDs' drop-in masked, before measure: each disk
#            must read 0 before its OSD's directory is filled
# /etc/quelvar-vm/osds (from the image) lists "ID DISK-ID KIND" per OSD.
OSDS=/etc/quelvar-vm/osds
PKG=/results/pkg
WATCH=/run/quelvar-vm/wce.log
LOG=/var/log/quelvar/quelvar.log
METRICS=/var/lib/prometheus/node-exporter/quelvar.prom

Uptime() { cut -d' ' -f1 /proc/uptime; }
Apt() { DEBIAN_FRONTEND=noninteractive apt-get -y -q -o Dpkg::Use-Pty=0 "$@" >/tmp/apt.out 2>&1 || { sed 's/^/  apt| /' /tmp/apt.out; return 1; }; }
Active() { [ "$(systemctl is-active "$1")" = active ]; }
Prop() { systemctl show -p "$2" --value "$1"; }
# Seconds since boot, from systemd's monotonic microseconds.
PropSeconds() { awk -v us="$(Prop "$1" "$2")" 'BEGIN { printf "%.2f", us / 1e6 }'; }

# pvs under a capability bounding set, every device scanned (not only the
# PVs its hints name): how many devices it could not open.
PvsComplaints() {
    systemd-run --wait --pipe -q -p "CapabilityBoundingSet=$1" pvs --noheadings --config 'devices { hints = "none" }' \
        >/tmp/pvs.out 2>&1
    sed 's/^/    pvs| /' /tmp/pvs.out >&2
    grep -c 'has no path names' /tmp/pvs.out
}

# When activation made the OSD's block link, the last thing the daemon needs
# to see it, in seconds since boot.
Filled() {
    python3 -c 'import os, sys, time
print("%.2f" % (os.lstat(sys.argv[1]).st_ctime - time.time() + time.clock_gettime(time.CLOCK_MONOTONIC)))' \
        "/var/lib/ceph/osd/ceph-$1/block" 2>/dev/null || echo "?"
}

OsdsActive() {
    local id
    for id in $(awk '{print $1}' "$OSDS"); do Active "ceph-osd@$id" || return 1; done
}

WaitOsds() {
    local i=0
    while [ $i -lt "$1" ]; do
        OsdsActive && return 0
        sleep 2
        i=$((i + 2))
    done
    systemctl --no-pager list-units 'ceph*' | sed 's/^/  | /'
    return 1
}

# The disk of an OSD by the name QEMU gave it; its cache as the disk says.
DiskOf() { DiskByModel "$1" || NvmeBySerial "$1"; }
CacheOf() { case "$1" in nvme*) Vwc "$1" ;; *) Wce "$1" ;; esac; }
Guarded() { [ "$1" != colocated ]; }

# Paths on the root file system, less those that change on their own.
Snapshot() {
    find / -xdev \( -path /var/lib/ceph -o -path /var/log/journal -o -path /var/cache -o -path /var/lib/apt \
        -o -path /var/lib/dpkg -o -path /var/log/apt -o -path /tmp -o -path /var/tmp -o -path /etc/lvm/archive \
        -o -path /etc/lvm/backup -o -path /root -o -path /etc/ceph \) -prune -o -print | sort
}

# What quelvar left on the root file system since BEFORE was taken.
# The collector's directory is the test's own, made as the node exporter's
# package makes it.
Leftovers() {
    Snapshot | comm -13 "$1" - | grep -vx -e '/var/log/\(dpkg\|alternatives\)\.log' \
        -e /var/lib/prometheus -e /var/lib/prometheus/node-exporter
}

# The OSD's start, stopped first: its main process runs within 10 s of the
# start (the drop-in's wait, were it to wait, would hold it 20 s).
OsdStartsAtOnce() {
    systemctl stop "ceph-osd@$1"
    local t0
    t0=$(Uptime)
    systemctl start "ceph-osd@$1" || return 1
    Active "ceph-osd@$1" || return 1
    awk -v id="$1" -v t0="$t0" -v s="$(PropSeconds "ceph-osd@$1" ExecMainStartTimestampMonotonic)" \
        'BEGIN { printf "  osd.%s runs %.2f s after its start\n", id, s - t0; exit !(s - t0 < 10) }'
}

InstallStage() {
    Say "booted: $(uname -r), $(systemctl --version | head -n 1), PID 1 $(cat /proc/1/comm)"
    Check "PID 1 is systemd" [ "$(cat /proc/1/comm)" = systemd ]
    Check "Ceph's own units start the four OSDs at boot" WaitOsds 600
    InstallWatcher
    Snapshot >/var/tmp/quelvar-vm-before.list

    Check "install the previous build" Apt install "$PKG/quelvar-prev.deb"
    prev=$(dpkg-query -W -f '${Version}' quelvar)
    Check "the previous build runs ($prev), enabled" sh -c 'sleep 3; systemctl -q is-active quelvar && systemctl -q is-enabled quelvar'
    Check "upgrade over it with this build" Apt install "$PKG/quelvar.deb"
    cur=$(dpkg-query -W -f '${Version}' quelvar)
    Say "upgraded $prev -> $cur"
    Check "the upgrade restarts the daemon: one stop, two starts" WaitValue "1 2" 30 \
        sh -c 'echo "$(grep -c "\[INFO\]\[quelvar stop\]" '$LOG') $(grep -c "\[INFO\]\[quelvar start\]" '$LOG')"'
    Check "the new build runs" Active quelvar
    Check "remove" Apt remove quelvar
    Check "removed: stopped, no binary, no unit" sh -c '! systemctl -q is-active quelvar && [ ! -e /usr/sbin/quelvar ] && [ ! -e /lib/systemd/system/quelvar.service ]'
    Check "removed: the logs stay until purge" [ -s $LOG ]
    Check "purge" Apt purge quelvar
    left=$(Leftovers /var/tmp/quelvar-vm-before.list)
    [ -z "$left" ] || echo "$left" | sed 's/^/  left: /'
    Check "purged: nothing left on the root file system" [ -z "$left" ]

    # For good: this build, the metrics timer (the collector's directory is
    # what the node exporter's package makes).
    Check "install this build" Apt install "$PKG/quelvar.deb"
    systemctl enable --now quelvar
    mkdir -p /var/lib/prometheus/node-exporter
    Check "the metrics timer enabled" systemctl enable --now quelvar-metrics.timer
    local id disk kind d
    while read -r id disk kind; do
        d=$(DiskOf "$disk")
        Guarded "$kind" || continue
        Check "osd.$id ($kind on $d): the daemon switches the cache off" WaitValue 0 60 CacheOf "$d"
    done <"$OSDS"
    Say "daemon log:"
    sed 's/^/  | /' $LOG
    if grep -qw bare /results/stages 2>/dev/null; then
        # A drop-in of the same name under /etc linked to /dev/null masks
        # the package's for the next boot.
        mkdir -p /etc/systemd/system/ceph-osd@.service.d
        ln -sf /dev/null /etc/systemd/system/ceph-osd@.service.d/quelvar.conf
        Say "the OSDs' drop-in masked for the next boot"
    fi
}

# When each OSD's disk read 0 against when its directory filled, its unit
# started and its ceph-osd ran, in seconds since boot, as a table; after
# the boot without the drop-in (bare), the disk must have read 0 first.
OsdTimes() {
    local id disk kind d start unit filled first zero exp
    Say "| OSD | kind | disk | directory filled (s) | unit starts (s) | ceph-osd runs (s) | disk reads 0 (s) | exposure (s) |"
    Say "|---|---|---|---|---|---|---|---|"
    while read -r id disk kind; do
        d=$(DiskOf "$disk")
        start=$(PropSeconds "ceph-osd@$id" ExecMainStartTimestampMonotonic)
        unit=$(PropSeconds "ceph-osd@$id" InactiveExitTimestampMonotonic)
        filled=$(Filled "$id")
        first=$(awk -v d="$disk" '$2 == d && $3 != "unreadable" {print $3; exit}' "$WATCH")
        zero=$(awk -v d="$disk" '$2 == d && $3 == 0 {print $1; exit}' "$WATCH")
        if ! Guarded "$kind"; then
            Say "| osd.$id | $kind | $d | $filled | $unit | $start | (not guarded) | - |"
            Check "osd.$id ($kind): the disk keeps its cache" [ "$(CacheOf "$d")" = 1 ]
            continue
        fi
        exp=$(awk -v s="$start" -v z="${zero:-1e9}" 'BEGIN { e = z - s; printf "%.2f", e < 0 ? 0 : e }')
        Say "| osd.$id | $kind | $d | $filled | $unit | $start | ${zero:-never} | $exp |"
        Check "osd.$id: its disk came up with the cache on" [ "$first" = 1 ]
        Check "osd.$id: exposure under one pass (5 s)" awk -v e="$exp" 'BEGIN { exit !(e < 5) }'
        Check "osd.$id: the watcher ran before the OSD" awk -v w="$(PropSeconds qv-wce-watch ExecMainStartTimestampMonotonic)" \
            -v s="$start" 'BEGIN { exit !(w < s) }'
        [ "$1" = bare ] || continue
        Check "osd.$id: its disk reads 0 before its directory is filled" \
            awk -v z="${zero:-1e9}" -v f="$filled" 'BEGIN { exit !(f != "?" && z < f) }'
    done <"$OSDS"
}

# Once the OSDs are up after a cold boot: the disks' answers as the watcher
# saw them and OsdTimes for STAGE.
ColdBootTimes() {
    Check "Ceph's own units start the four OSDs" WaitOsds 600
    # The last switch lands a pass or two after the last OSD.
    sleep 15
    Say "quelvar.service from $(PropSeconds quelvar ExecMainStartTimestampMonotonic) s"
    Say "the disks' own answers (uptime, disk, value):"
    sed 's/^/  | /' "$WATCH"
    Say ""
    OsdTimes "$1"
    Say ""
}

# A cold boot without the OSDs' drop-in: the daemon alone must have every
# disk off before its OSD's directory is filled. The drop-in is back for the
# next boot.
BareStage() {
    Say "cold boot, the OSDs' drop-in masked: $(readlink /etc/systemd/system/ceph-osd@.service.d/quelvar.conf)"
    Check "the package's drop-in is masked" sh -c "! systemctl show -p DropInPaths --value ceph-osd@$(awk 'NR == 1 {print $1}' $OSDS) | grep -q /lib/systemd"
    ColdBootTimes bare
    Say "daemon log:"
    sed 's/^/  | /' $LOG
    Check "quelvar --status: 0" quelvar --status
    rm -f /etc/systemd/system/ceph-osd@.service.d/quelvar.conf
    UdevSignal
}

# What a host with udev shows of LVM writing a device, for the inventory's
# change check: the node's times, and what udev adds to /dev, on a loop
# device over a file, as on an unused disk.
UdevSignal() {
    local dev
    truncate -s 64M /var/tmp/qv-signal.img
    dev=$(losetup --find --show /var/tmp/qv-signal.img) || return 0
    udevadm settle
    T() { qvprobe times "$dev" | cut -d' ' -f2-; }
    Say "udev: $dev made: $(T)"
    pvs >/dev/null 2>&1
    blkid "$dev" >/dev/null 2>&1
    Say "udev: after pvs and blkid read it: $(T)"
    pvcreate -q "$dev" >/dev/null && udevadm settle
    Say "udev: after pvcreate: $(T)"
    ls /dev >/tmp/dev.before
    vgcreate -q qvsignal "$dev" >/dev/null && lvcreate -q -y -L 8M -n lv qvsignal >/dev/null && udevadm settle
    Say "udev: after vgcreate and lvcreate: $(T); /dev gained: $(ls /dev | comm -13 /tmp/dev.before - | tr '\n' ' ')"
    lvchange -q --addtag ceph.type=block qvsignal/lv >/dev/null && udevadm settle
    Say "udev: after a tag was added: $(T)"
    vgremove -q -y qvsignal >/dev/null 2>&1
    pvremove -q "$dev" >/dev/null 2>&1
    losetup -d "$dev"
    rm -f /var/tmp/qv-signal.img
}

MeasureStage() {
    local t0 d start zero exp
    Say "cold boot: $(uname -r); the watcher from $(PropSeconds qv-wce-watch ExecMainStartTimestampMonotonic) s"
    ColdBootTimes measure

    Check "quelvar.service active, never restarted" [ "$(Active quelvar && Prop quelvar NRestarts)" = 0 ]
    systemctl --no-pager status quelvar >/tmp/status.out 2>&1
    sed 's/^/  status| /' /tmp/status.out
    Check "systemctl status quelvar: exit 0" [ "$(systemctl --no-pager status quelvar >/dev/null 2>&1; echo $?)" = 0 ]
    journalctl -b --no-pager -u quelvar -u quelvar-metrics >/tmp/journal.out
    Check "no EPERM or EACCES in the journal" sh -c '! grep -E "Operation not permitted|Permission denied|EPERM|EACCES" /tmp/journal.out'
    Check "no EPERM or EACCES in the log" sh -c '! grep -E "error:(1|13) |Operation not permitted|Permission denied" '$LOG
    Say "ERROR lines since the boot:"
    grep -F '[ERROR]' $LOG | sed 's/^/  | /'
    lines=$(wc -l <$LOG)
    sleep 12
    Check "no ERROR line once the OSDs are up" sh -c "! tail -n +$((lines + 1)) $LOG | grep -F '[ERROR]'"
    # The LVM OSDs are traced to their disks only through pvs, whose
    # complaints go to the journal: a device it cannot open is one where it
    # would not see a PV.
    Check "pvs works inside the sandbox: the inventory is built" LogHas "[INFO][UpdateOsdInfoList succeed]"
    Check "pvs inside the sandbox opens every device (no \"has no path names\")" sh -c '! grep "has no path names" /tmp/journal.out'
    # What pvs meets under the unit's capabilities, with and without
    # CAP_FOWNER: ceph-volume hands some devices to the ceph user.
    ls -lL /dev/vdb2 /dev/bcache* /dev/dm-* 2>/dev/null | awk '$3 == "ceph" {print "  ceph owns: " $NF}'
    local caps
    caps=$(Prop quelvar CapabilityBoundingSet)
    Say "the unit's capabilities: $caps"
    Say "pvs scanning every device with them less cap_fowner: $(PvsComplaints "$(echo "$caps" | sed 's/cap_fowner//')") complaints"
    Say "pvs scanning every device with them: $(PvsComplaints "$caps") complaints"
    report=$(quelvar --status)
    rc=$?
    echo "$report" | sed 's/^/  report| /'
    Check "quelvar --status exits 0" [ "$rc" = 0 ]
    Check "the metrics timer writes the metrics" WaitValue 0 120 sh -c "grep -qx 'quelvar_status 0' $METRICS; echo \$?"
    Check "the metrics service ends clean" [ "$(Prop quelvar-metrics.service Result)" = success ]

    local dropin=/lib/systemd/system/ceph-@.service.d/quelvar.conf lvm_id
    lvm_id=$(awk '$3 == "lvm" {print $1; exit}' "$OSDS")
    if [ -e $dropin ]; then
        Check "ceph-osd@$lvm_id carries the drop-in" sh -c "systemctl show -p DropInPaths --value ceph-osd@$lvm_id | grep -q $dropin"
        Say "the drop-in's waits at this boot:"
        journalctl -b --no-pager -o short-monotonic -u 'ceph-osd@*' | grep -e 'starts with the write cache' | sed 's/^/  | /'
    else
        Say "this build has no drop-in for the OSDs"
    fi

    if [ -e $dropin ]; then
        # The race lost on purpose: the disk's cache on again behind the
        # daemon's back, the daemon held still, and the OSD started. The
        # drop-in must hold it until the daemon, let go, has switched the
        # cache off.
        d=$(DiskOf QVSATA)
        systemctl stop "ceph-osd@$lvm_id"
        pid=$(Prop quelvar MainPID)
        kill -STOP "$pid"
        sdparm -q --set=WCE "/dev/$d"
        t0=$(Uptime)
        systemctl start --no-block "ceph-osd@$lvm_id"
        sleep 8
        kill -CONT "$pid"
        WaitValue active 60 systemctl is-active "ceph-osd@$lvm_id" >/dev/null
        start=$(PropSeconds "ceph-osd@$lvm_id" ExecMainStartTimestampMonotonic)
        sleep 2
        zero=$(awk -v t="$t0" '$2 == "QVSATA" && $1 > t && $3 == 0 {print $1; exit}' "$WATCH")
        exp=$(awk -v s="$start" -v z="${zero:-1e9}" 'BEGIN { e = z - s; printf "%.2f", e < 0 ? 0 : e }')
        Say "osd.$lvm_id started at $t0 s over $d with its cache on: ceph-osd runs at $start s, the disk reads 0 at ${zero:-never} s"
        journalctl -b --no-pager -u "ceph-osd@$lvm_id" | grep -F "osd.$lvm_id waited" | sed 's/^/  | /'
        Check "osd.$lvm_id waited for the daemon" sh -c "journalctl -b --no-pager -u ceph-osd@$lvm_id | grep -qF 'osd.$lvm_id waited'"
        # The watcher sees the switch up to one round of its polls late.
        Check "osd.$lvm_id runs with its cache on for no longer than the watcher can tell ($exp s)" \
            awk -v e="$exp" 'BEGIN { exit !(e < 1) }'
    fi

    t0=$(date +%s%N)
    systemctl stop quelvar
    STOP_MS=$((($(date +%s%N) - t0) / 1000000))
    Say "systemctl stop quelvar: ${STOP_MS} ms, result $(Prop quelvar Result), status $(Prop quelvar ExecMainStatus)"
    Check "the stop is orderly: \"quelvar stop\", status 0" sh -c "tail -n 1 $LOG | grep -qF '[INFO][quelvar stop]' && [ \"\$(systemctl show -p ExecMainStatus --value quelvar)\" = 0 ]"
    Check "the stop takes under 10 s" [ "$STOP_MS" -lt 10000 ]

    if [ -e $dropin ]; then
        Check "the daemon stopped: osd.$lvm_id starts without waiting" OsdStartsAtOnce "$lvm_id"
        # A daemon that fails at every start, as a broken build would.
        mkdir -p /run/systemd/system/quelvar.service.d
        printf '[Service]\nExecStart=\nExecStart=/bin/false\n' >/run/systemd/system/quelvar.service.d/broken.conf
        systemctl daemon-reload
        systemctl start quelvar 2>/dev/null
        Say "a failing daemon: $(systemctl show -p ActiveState,SubState,Result --value quelvar | tr '\n' ' ')"
        Check "the daemon failing: osd.$lvm_id starts without waiting" OsdStartsAtOnce "$lvm_id"
        rm -rf /run/systemd/system/quelvar.service.d
        systemctl daemon-reload
        systemctl stop quelvar
        systemctl reset-failed quelvar
    fi
    ShowLog
    cp $LOG /results/quelvar.log
    Check "purge" Apt purge quelvar
    left=$(Leftovers /var/tmp/quelvar-vm-before.list)
    [ -z "$left" ] || echo "$left" | sed 's/^/  left: /'
    Check "purged after a run: nothing left on the root file system" [ -z "$left" ]
    Check "the daemon purged: osd.$lvm_id starts, without the drop-in" sh -c \
        "! systemctl show -p DropInPaths --value ceph-osd@$lvm_id | grep -q quelvar"
    Check "the daemon purged: osd.$lvm_id starts without waiting" OsdStartsAtOnce "$lvm_id"
}

case "$QV_STAGE" in
install) InstallStage ;;
bare) BareStage ;;
measure) MeasureStage ;;
*) Check "a known stage: $QV_STAGE" false ;;
esac
