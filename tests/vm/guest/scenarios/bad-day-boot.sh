# needs: full-daemon
# vm: boot provision=boot/provision-bad-day.sh stages=install,measure-before,upgrade,measure
# A bad day at a cold boot, on a Debian system booted with systemd
# (boot/provision-bad-day.sh made its three OSDs): two OSDs on one bcache
# device, one OSD under a unit named as cephadm names it, and a guarded disk
# that does not answer (boot/silent-disk, made at every boot before the
# daemon). Four boots, each a new QEMU:
#   install         the previous build (QUELVAR_VM_DEB_PREV, main's), the
#                   early watcher of the disks' caches, the silent disk's unit
#   measure-before  a cold boot with it: the figures, its checks only told
#   upgrade         this build over it
#   measure         a cold boot: each OSD's start delay (its unit's start to
#                   its ceph-osd) against the first time its disk reads 0;
#                   the report while the daemon runs; the race lost on
#                   purpose for every OSD
# /etc/quelvar-vm/osds (from the image) lists "ID DISK-ID KIND UNIT".
OSDS=/etc/quelvar-vm/osds
WATCH=/run/quelvar-vm/wce.log
LOG=/var/log/quelvar/quelvar.log

Uptime() { cut -d' ' -f1 /proc/uptime; }
Prop() { systemctl show -p "$2" --value "$1"; }
Seconds() { awk -v us="$(Prop "$1" "$2")" 'BEGIN { printf "%.2f", us / 1e6 }'; }
Units() { awk '{print $4}' "$OSDS"; }
AllActive() {
    local u
    for u in $(Units); do [ "$(systemctl is-active "$u")" = active ] || return 1; done
}
WaitUnits() {
    local i=0
    while [ $i -lt "$1" ]; do
        AllActive && return 0
        sleep 2
        i=$((i + 2))
    done
    return 1
}
DiskOf() { DiskByModel "$1" || NvmeBySerial "$1"; }
CacheOf() { case "$1" in nvme*) Vwc "$1" ;; *) Wce "$1" ;; esac; }
CacheOn() { case "$1" in nvme*) qvprobe nvme "/dev/$1" admin 09 0 6 1 >/dev/null ;; *) sdparm -q --set=WCE "/dev/$1" ;; esac; }
# The unit's start time-out in seconds (systemctl shows "1min 30s"); empty
# for none.
TimeoutOf() { systemd-analyze timespan "$(Prop "$1" TimeoutStartUSec)" 2>/dev/null | sed -n 's/^ *μs: *\([0-9]*\)$/\1/p' | awk '{print $1 / 1e6}'; }
# The first time after $2 (uptime) the watcher saw the disk named $1 read 0.
ZeroAfter() { awk -v d="$1" -v t="$2" '$2 == d && $1 > t && $3 == 0 {print $1; exit}' "$WATCH"; }
# The uptime of the first switch of the disk $1 (its kernel name) the
# daemon logged after uptime $2. The log's clock is the wall clock, to the
# second: the switch came in the second that begins at the figure given.
SwitchAfter() {
    local offset
    offset=$(awk -v u="$(Uptime)" -v w="$(date +%s.%N)" 'BEGIN { printf "%.2f", w - u }')
    grep -F "[INFO][change config of $1 succeed]" "$LOG" | sed 's/^\[\([^]]*\)\].*/\1/' |
        while read -r day time; do echo "$(date -d "$day $time" +%s) $offset"; done |
        awk -v t="$2" '{ u = $1 - $2; if (u + 1 > t) { printf "%.2f\n", u; exit } }'
}

InstallStage() {
    Check "PID 1 is systemd" [ "$(cat /proc/1/comm)" = systemd ]
    Check "the three OSDs come up from their units" WaitUnits 600
    InstallWatcher
    install -m 755 /results/guest/boot/silent-disk /usr/local/sbin/qv-silent-disk
    cat >/etc/systemd/system/qv-silent-disk.service <<'UNIT'
[Unit]
Description=Test bed: a guarded disk that does not answer
DefaultDependencies=no
After=local-fs.target systemd-udev-trigger.service
Before=sysinit.target quelvar.service

[Service]
Type=oneshot
RemainAfterExit=yes
ExecStart=/usr/local/sbin/qv-silent-disk

[Install]
WantedBy=sysinit.target
UNIT
    systemctl enable qv-silent-disk.service 2>/dev/null
    Installed quelvar-prev.deb
}

# A package installed (a new one over the old) and running, each guarded
# disk switched off.
Installed() {
    Check "install $1" sh -c "DEBIAN_FRONTEND=noninteractive apt-get install -y -q /results/pkg/$1 >/tmp/apt.out 2>&1 || { cat /tmp/apt.out; false; }"
    systemctl enable --now quelvar
    Say "quelvar $(dpkg-query -W -f '${Version}' quelvar) installed"
    local id disk kind unit
    while read -r id disk kind unit; do
        Check "osd.$id ($kind): the daemon switches its disk off" WaitValue 0 60 CacheOf "$(DiskOf "$disk")"
        Say "osd.$id under $unit: drop-ins $(Prop "$unit" DropInPaths)"
    done <"$OSDS"
}

# A check of this build; of the previous one, only told.
Expect() {
    if [ "$QV_STAGE" = measure ]; then
        Check "$@"
        return
    fi
    local what=$1
    shift
    if "$@" >/dev/null 2>&1; then Say "  (previous build) holds: $what"; else Say "  (previous build) does not hold: $what"; fi
}

MeasureStage() {
    local id disk kind unit d unitStart start zero delay exp t0 silent switched
    Say "cold boot: $(uname -r); quelvar.service from $(Seconds quelvar ExecMainStartTimestampMonotonic) s"
    silent=$(cat /run/quelvar-vm-silent 2>/dev/null)
    Say "silent disk: $silent"
    Check "the silent disk was made before the daemon started" [ -n "$silent" ]
    Check "the three OSDs come up" WaitUnits 600
    sleep 15
    Say "the disks' own answers (uptime, disk, value):"
    sed 's/^/  | /' "$WATCH"
    Say ""
    Say "| OSD | unit | disk | unit starts (s) | ceph-osd runs (s) | start delay (s) | disk reads 0 (s) | exposure (s) |"
    Say "|---|---|---|---|---|---|---|---|"
    while read -r id disk kind unit; do
        d=$(DiskOf "$disk")
        unitStart=$(Seconds "$unit" InactiveExitTimestampMonotonic)
        start=$(Seconds "$unit" ExecMainStartTimestampMonotonic)
        zero=$(ZeroAfter "$disk" 0)
        delay=$(awk -v a="$unitStart" -v b="$start" 'BEGIN { printf "%.2f", b - a }')
        exp=$(awk -v s="$start" -v z="${zero:-1e9}" 'BEGIN { e = z - s; printf "%.2f", e < 0 ? 0 : e }')
        Say "| osd.$id ($kind) | $unit | $d | $unitStart | $start | $delay | ${zero:-never} | $exp |"
        Expect "osd.$id: no write through its disk's cache (exposure $exp s, the watcher polls every 0.5 s)" \
            awk -v e="$exp" 'BEGIN { exit !(e < 1) }'
        Expect "osd.$id: its start waited less than its unit's start time-out" \
            awk -v e="$delay" -v t="$(TimeoutOf "$unit")" 'BEGIN { exit !(t == "" || e < t + 0) }'
        Expect "osd.$id: $unit carries the drop-in" sh -c "systemctl show -p DropInPaths --value '$unit' | grep -q quelvar"
    done <"$OSDS"
    Say ""
    journalctl -b --no-pager -o short-monotonic | grep -e 'osd-wait\|waited .* for quelvar\|starts with the write cache' | sed 's/^/  wait| /'

    t0=$(date +%s%N)
    quelvar --status >/tmp/status.out 2>&1
    local rc=$? ms=$((($(date +%s%N) - t0) / 1000000))
    sed 's/^/  report| /' /tmp/status.out
    Say "quelvar --status while the daemon runs: ${ms} ms, exit status $rc"
    Expect "the report answers from the daemon's view in under a second" [ "$ms" -lt 1000 ]
    Expect "the report names its source" grep -q "daemon's view" /tmp/status.out
    Expect "the silent disk's device is unknown" grep -q "$(echo "$silent" | awk '{print $3}') .* unknown " /tmp/status.out
    Expect "a mon instance of the drop-in's reach does not wait" sh -c \
        "t=\$(date +%s); systemctl restart ceph-mon@a; [ \$((\$(date +%s) - t)) -lt 10 ]"

    # The race lost on purpose: every OSD stopped, the daemon held still,
    # every guarded disk's cache turned on behind its back, the OSDs
    # started. Each must wait until the daemon, let go, has switched its
    # disk off: both OSDs of the shared device, and the cephadm-named one.
    for unit in $(Units); do systemctl stop "$unit"; done
    local pid
    pid=$(Prop quelvar MainPID)
    kill -STOP "$pid"
    while read -r id disk kind unit; do CacheOn "$(DiskOf "$disk")"; done <"$OSDS"
    t0=$(Uptime)
    for unit in $(Units); do systemctl start --no-block "$unit"; done
    sleep 8
    kill -CONT "$pid"
    Check "the OSDs start again" WaitUnits 90
    sleep 2
    while read -r id disk kind unit; do
        start=$(Seconds "$unit" ExecMainStartTimestampMonotonic)
        zero=$(ZeroAfter "$disk" "$t0")
        exp=$(awk -v s="$start" -v z="${zero:-1e9}" 'BEGIN { e = z - s; printf "%.2f", e < 0 ? 0 : e }')
        switched=$(SwitchAfter "$(DiskOf "$disk")" "$t0")
        Say "race: osd.$id started at $t0 s, ceph-osd runs at $start s, the daemon logs its disk's switch at ${switched:-never} s, the watcher reads 0 at ${zero:-never} s ($exp s later)"
        Expect "race: osd.$id waited for the daemon" sh -c "journalctl -b --no-pager -u '$unit' | grep -qF 'osd.$id waited'"
        # The watcher asks four disks in turn, then sleeps half a second: on a
        # loaded host under emulation a round took up to 4 s, so it tells the
        # order of the switch and the start no better than that. The daemon's
        # own log does, to the second.
        Expect "race: osd.$id's ceph-osd runs no earlier than the second its disk's switch is logged in" \
            awk -v s="$start" -v w="${switched:-1e9}" 'BEGIN { exit !(s >= w) }'
    done <"$OSDS"
    Say "the kernel and the silent disk:"
    dmesg | grep -i -e 'scsi_debug\|abort\|timing out\|timeout' | tail -n 20 | sed 's/^/  | /'
    ShowLog
    cp $LOG /results/quelvar.log
}

case "$QV_STAGE" in
install) InstallStage ;;
upgrade) Installed quelvar.deb ;;
measure-before | measure) MeasureStage ;;
*) Check "a known stage: $QV_STAGE" false ;;
esac
