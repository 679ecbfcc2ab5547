#!/bin/bash
# simhost.sh: runs the real quelvar binary on a simulated host.
#
# As root, enters a private mount and PID namespace, mounts throwaway tmpfs
# trees over /var/log/quelvar's parent, /var/lib/ceph's and /run/quelvar's
# deepest existing ancestors, /dev and /sys, builds the host a scenario describes, puts the
# scenario's scripted pvs first on PATH and runs the daemon. Nothing outside
# the namespace is touched apart from OUTDIR.
#
# usage: simhost.sh SCENARIO OUTDIR QUELVAR
# environment:
#   SIM_PASSES=N      send SIGTERM once the daemon has begun its Nth pause (1)
#   SIM_PRELOAD=LIB   preload the kernel simulator (which shortens the pause
#                     and counts passes); without it the first pause is waited
#                     for through the log
#   SIM_EUID=UID      run with this effective user and a real user of 0
#   SIM_USER=UID      run with every user and group id UID and no privilege
#   SIM_ARGS="ARGS"   the daemon's arguments (none, as the service runs it)
#   SIM_REPORTS="ARGS" also run quelvar --status ARGS just before the daemon
#                     starts and just after it has exited: OUTDIR/report.before
#                     and report.after, with .status and .stderr beside them
#   SIM_DROP_DAC=1    run without CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH
#   SIM_TIMEOUT=S     give up after S seconds (60)
#   SIM_WRAPPER=CMD   words put before the daemon's command line, such as a
#                     tracer or profiler (strace -f -o FILE); the simulator is
#                     still preloaded into the daemon alone
# results in OUTDIR: log/ (the log directory), stdout, stderr, status (exit status),
# stop_ms (milliseconds from SIGTERM to exit), exited_ns (when it exited),
# state/ (the simulator's device state), passes, and whatever the scenario's
# after_run writes.
#
# A scenario is a bash file sourced inside the namespace. It describes the
# host with the functions below and may define:
#   on_pass N   run when the daemon begins its Nth pause
#   after_run   run after the daemon has exited, inside the namespace
set -euo pipefail

if [ "$#" -ne 3 ]; then
    echo "usage: $0 SCENARIO OUTDIR QUELVAR" >&2
    exit 2
fi
SCENARIO=$(realpath "$1")
OUTDIR=$(realpath -m "$2")
QUELVAR=$(realpath "$3")

if [ -z "${SIM_INSIDE:-}" ]; then
    if [ "$(id -u)" != 0 ]; then
        echo "simhost: needs root for its private namespaces" >&2
        exit 77
    fi
    rm -rf "$OUTDIR"
    mkdir -p "$OUTDIR/bin" "$OUTDIR/state"
    SIM_INSIDE=1 exec unshare --mount --pid --fork --mount-proc --propagation private \
        "$0" "$SCENARIO" "$OUTDIR" "$QUELVAR"
fi

# --- inside the namespaces ----------------------------------------------------

# Mounts a tmpfs at the deepest existing ancestor of PATH and recreates PATH
# in it, so that no mount point is ever created on the host. Within a
# scratch tree of ours the path is only made.
scratch() {
    local path=$1 base=$1
    while [ ! -d "$base" ]; do base=$(dirname "$base"); done
    [ "$(findmnt -n -o SOURCE --target "$base")" = simhost ] || mount -t tmpfs -o mode=0755 simhost "$base"
    mkdir -p "$path"
}

scratch /var/log
# The daemon's runtime directory, where it publishes its view.
scratch /run/quelvar
# Rook's base before /var/lib/ceph: where neither exists, the first makes
# the scratch tree over /var/lib that the second is then made in. It is left
# absent, as on most hosts, unless a scenario makes a Rook directory.
scratch /var/lib/rook
rmdir /var/lib/rook 2>/dev/null || true
# All of /var/lib/ceph: the clusters' directories live beside the classic
# root.
scratch /var/lib/ceph
mkdir -p /var/lib/ceph/osd
scratch /sys
mount -t tmpfs -o mode=0755 simhost /dev
mknod -m 0666 /dev/null c 1 3
mkdir -p /sys/block /sys/class/block /sys/devices/virtual/block /sys/dev/block

# --- scenario vocabulary --------------------------------------------------------
next_minor=0
node() {  # node TYPE NAME: a device node with a fresh number
    next_minor=$((next_minor + 1))
    mknod -m 0660 "/dev/$2" "$1" 251 "$next_minor"
}
# blockdev NAME [SYSDIR]: a block device node, with its "dev" attribute in
# SYSDIR (/sys/devices/virtual/block/NAME) and the /sys/dev/block link to it.
blockdev() {
    local sysdir=${2:-/sys/devices/virtual/block/$1}
    node b "$1"
    mkdir -p "$sysdir/holders"
    echo "251:$next_minor" > "$sysdir/dev"
    ln -s "../../${sysdir#/sys/}" "/sys/dev/block/251:$next_minor"
    [ -e "/sys/class/block/$1" ] || ln -s "../../${sysdir#/sys/}" "/sys/class/block/$1"
}

# hold HOLDER DEVICE: HOLDER (a bcache or device-mapper device) is built on
# DEVICE (a directory below /sys/devices/virtual/block), as the kernel links
# them both ways.
hold() {
    mkdir -p "/sys/devices/virtual/block/$2/holders"
    ln -s "../../$1" "/sys/devices/virtual/block/$2/holders/$1"
}
chardev() { node c "$1"; }
devdir() { mkdir -p "/dev/$1"; }

# disk NAME [WRITE_CACHE_TEXT [KIND]]: a whole disk with its block-layer
# attributes; KIND (scsi, sata or nvme) tells the kernel simulator how it
# answers. An NVMe namespace's directory lies below its controller, as the
# kernel lays it out (reached from /sys/devices/virtual/block/NAME here, as
# every other disk), and it has no rescan trigger.
disk() {
    local name=$1 mode=${2:-write back} kind=${3:-scsi}
    local dir=/sys/devices/virtual/block/$name
    if [ "$kind" = nvme ]; then
        local controller=/sys/devices/pci0000:00/0000:00:05.0/nvme/nvme${next_nvme:-0}
        next_nvme=$((${next_nvme:-0} + 1))
        mkdir -p "$controller/$name"
        ln -s "../../${controller#/sys/devices/}/$name" "$dir"
    fi
    mkdir -p "$dir/queue" "$dir/device"
    printf '%s\n' "$mode" > "$dir/queue/write_cache"
    # The SCSI device's state, or the NVMe controller's.
    if [ "$kind" = nvme ]; then echo live; else echo running; fi > "$dir/device/state"
    # The SCSI layer's vendor: a translated ATA disk is "ATA" (SAT-3).
    if [ "$kind" = sata ]; then printf '%-8s\n' ATA; else printf '%-8s\n' QEMU; fi > "$dir/device/vendor"
    ln -s "../devices/virtual/block/$name" "/sys/block/$name"
    ln -s "../../devices/virtual/block/$name" "/sys/class/block/$name"
    [ "$kind" = nvme ] || : > "$dir/device/rescan"
    blockdev "$name"
    echo "$kind" > "$OUTDIR/state/$name.kind"
}

# bcache NAME BACKING: a bcache device fronting BACKING (a disk, or a
# partition as DISK/PART, directory below /sys/devices/virtual/block).
bcache() {
    local name=$1 backing=$2
    local target=/sys/devices/virtual/block/$backing
    mkdir -p "$target/bcache" "/sys/devices/virtual/block/$name"
    ln -s "../devices/virtual/block/$name" "/sys/block/$name"
    ln -s "$target/bcache" "/sys/devices/virtual/block/$name/bcache"
    mkdir -p "/sys/devices/virtual/block/$name/slaves"
    ln -s "../../$backing" "/sys/devices/virtual/block/$name/slaves/${backing##*/}"
    blockdev "$name"
    hold "$name" "$backing"
    echo bcache > "$OUTDIR/state/$name.kind"
    bcache_status "$name" 50
}

# bcache_status NAME PERCENT [BASE_A BASE_B MODE_GATE MARK_GATE]: the status
# record the simulated driver answers for NAME.
bcache_status() {
    perl -e 'print pack("VVVVQ<VVx24l<l<VV", $ARGV[1], $ARGV[2], $ARGV[3], 0, $ARGV[4], $ARGV[0], 0, 0, 0, 0, 0)' \
        "$2" "${3:-1000}" "${4:-2000}" "${5:-1}" "${6:-0}" > "$OUTDIR/state/$1.state"
}

# bcache_fail NAME status|tuning ERRNO: that request of NAME fails.
bcache_fail() {
    local offset=56
    [ "$2" = tuning ] && offset=60
    [ -f "$OUTDIR/state/$1.state" ] || bcache_status "$1" 50
    perl -e 'open(F, "+<", $ARGV[0]) or die; seek(F, $ARGV[1], 0); print F pack("l<", $ARGV[2]);' \
        "$OUTDIR/state/$1.state" "$offset" "$3"
}

# disk_config NAME SETTING...: a quirk or fault of a simulated disk (see the
# kernel simulator's <name>.config).
disk_config() {
    local name=$1
    shift
    echo "$*" >> "$OUTDIR/state/$name.config"
}

# disk_state NAME TEXT: what the disk's device/state says (offline, ...).
disk_state() {
    printf '%s\n' "$2" > "/sys/devices/virtual/block/$1/device/state"
}

# disk_wce NAME 0|1: the disk's current volatile write cache. For an NVMe
# namespace, its Volatile Write Cache feature.
disk_wce() {
    if [ "$(cat "$OUTDIR/state/$1.kind")" = nvme ]; then
        echo "vwc=$2 flushes=0" > "$OUTDIR/state/$1.state"
    else
        echo "wce=$2 savedWce=1" > "$OUTDIR/state/$1.state"
    fi
}

# osd DIR TYPE FSID [block=T] [db=T] [wal=T]: an OSD data directory.
osd() {
    osd_at "/var/lib/ceph/osd/$1" "${@:2}"
}

# cephadm_osd CLUSTER ID TYPE FSID [LINK...]: osd.ID in the directory of the
# cluster whose fsid is CLUSTER, as container deployments lay it out.
cephadm_osd() {
    osd_at "/var/lib/ceph/$1/osd.$2" "${@:3}"
}

# rook_osd NAMESPACE CLUSTER UUID TYPE [LINK...]: the directory Rook keeps
# on the host for the OSD UUID of the cluster whose fsid is CLUSTER.
rook_osd() {
    osd_at "/var/lib/rook/$1/$2_$3" "$4" "$3" "${@:5}"
}

# no_classic_root: a host without /var/lib/ceph/osd/.
no_classic_root() {
    rmdir /var/lib/ceph/osd
}

osd_at() {
    local dir=$1 type=$2 fsid=$3
    shift 3
    mkdir -p "$dir"
    printf '%s\n' "$type" > "$dir/type"
    printf '%s\n' "$fsid" > "$dir/fsid"
    local link
    for link in "$@"; do
        case $link in
            block=*) ln -s "${link#block=}" "$dir/block" ;;
            db=*) ln -s "${link#db=}" "$dir/block.db" ;;
            wal=*) ln -s "${link#wal=}" "$dir/block.wal" ;;
        esac
    done
}

# pv DEVICE VG [LV_UUID TAGS]: DEVICE is an LVM physical volume of VG, as
# pvs reports it, with the volume LV_UUID (tagged TAGS, comma-separated)
# on it; block 0 of the device holds LVM's label.
pv() {
    printf '  /dev/%s;%s;%s;%s\n' "$1" "$2" "${3:-}" "${4:-}" >> "$OUTDIR/bin/pvs.report"
    perl -e 'print "\0" x 512, "LABELONE", "\0" x 16, "LVM2 001", "\0" x (4096 - 512 - 32)' \
        > "$OUTDIR/state/${1//\//_}.block0"
}

# label DEVICE ROLE UUID [WHOAMI [KEY]]: block 0 of DEVICE holds a bluestore
# label as ceph-osd writes it: ROLE main, "bluefs db" or "bluefs wal", the
# OSD's UUID, for a main label its id and a key among its meta data.
label() {
    perl -e '
        my ($role, $uuid, $whoami, $key) = @ARGV;
        my @t; for my $n (0 .. 255) { my $c = $n; $c = $c & 1 ? ($c >> 1) ^ 0x82F63B78 : $c >> 1 for 1 .. 8; $t[$n] = $c }
        sub text { pack("V", length $_[0]) . $_[0] }
        (my $raw = $uuid) =~ s/-//g;
        my %meta = $role eq "main" ? (whoami => $whoami, osd_key => $key, ready => "ready", kv_backend => "rocksdb") : ();
        my $body = pack("H32", $raw) . pack("Q<VV", 8 << 30, 1796000000, 0) . text($role) .
            pack("V", scalar keys %meta) . join("", map { text($_) . text($meta{$_}) } sort keys %meta);
        my $label = "bluestore block device\n$uuid\n" . pack("CCV", 2, 1, length $body) . $body;
        my $crc = 0xFFFFFFFF;
        $crc = $t[($crc ^ ord) & 0xFF] ^ ($crc >> 8) for split //, $label;
        $label .= pack("V", $crc);
        print $label, "\0" x (4096 - length $label);
    ' "$2" "$3" "${4:-0}" "${5:-AQBkZXliLXF1ZWx2YXItdGVzdC1rZXk9PQ==}" > "$OUTDIR/state/$1.block0"
}

# wrote DEVICE: a writer (LVM, ceph-osd) wrote through the device's node:
# the kernel moves the node's times, as seen on the real-kernel bed.
wrote() {
    touch -d "@$(( $(date +%s) + ${wrote_tick:=1} ))" "/dev/$1"
    wrote_tick=$((wrote_tick + 1))
}

# pvs_hook COMMANDS: run by the scripted pvs whenever it starts, as the
# daemon's child ($PPID is the daemon).
pvs_hook() {
    echo "$*" > "$OUTDIR/bin/pvs.hook"
}

# dm NAME [SLAVE...]: a device-mapper device dm-N (a dm-crypt mapping, a
# multipath map) over the devices SLAVE (kernel names), with its
# /dev/mapper/NAME link; its kernel name is then in $last_dm. A slave may be
# a dm device made later, for stacks that loop.
next_dm=0
dm() {
    local name=$1 slave
    shift
    last_dm=dm-$next_dm
    next_dm=$((next_dm + 1))
    blockdev "$last_dm"
    mkdir -p /dev/mapper "/sys/devices/virtual/block/$last_dm/slaves" "/sys/devices/virtual/block/$last_dm/dm"
    echo "$name" > "/sys/devices/virtual/block/$last_dm/dm/name"
    ln -s "../$last_dm" "/dev/mapper/$name"
    for slave in "$@"; do
        ln -s "../../$slave" "/sys/devices/virtual/block/$last_dm/slaves/${slave##*/}"
        [ ! -d "/sys/devices/virtual/block/$slave" ] || hold "$last_dm" "$slave"
    done
}

# lv VG LV [PV...]: a logical volume on the physical volumes PV (kernel
# names), linked as LVM links it (/dev/VG/LV and /dev/mapper/VG-LV). Without
# a PV it has no /sys/dev/block entry: a volume whose block stack cannot be
# read, which only LVM's report (see pv) ties to its devices.
lv() {
    local vg=$1 lv=$2
    shift 2
    dm "${vg//-/--}-${lv//-/--}" "$@"
    mkdir -p "/dev/$vg"
    ln -s "../$last_dm" "/dev/$vg/$lv"
    [ "$#" -gt 0 ] || rm "/sys/dev/block/251:$next_minor"
}

# partition NAME DISK [NUMBER [PARTUUID]]: partition NAME of DISK, its sysfs
# directory inside the disk's as the kernel lays it out, with its
# /sys/class/block link and, given a PARTUUID, the /dev/disk/by-partuuid
# link udev makes.
partition() {
    local name=$1 disk=$2 number=${3:-${1##*[!0-9]}}
    blockdev "$name" "/sys/devices/virtual/block/$disk/$name"
    echo "$number" > "/sys/devices/virtual/block/$disk/$name/partition"
    # A bcache device's driver answers for its partitions.
    if [ "$(cat "$OUTDIR/state/$disk.kind" 2>/dev/null)" = bcache ]; then
        echo "partition-of $disk" > "$OUTDIR/state/$name.kind"
    fi
    if [ -n "${4:-}" ]; then
        mkdir -p /dev/disk/by-partuuid
        ln -s "../../$name" "/dev/disk/by-partuuid/$4"
    fi
}

write_pvs() {
    cat > "$OUTDIR/bin/pvs" <<PVS
#!/bin/sh
# Scripted pvs: every volume with its group, whatever the fields asked for.
echo "\$*" >> "$OUTDIR/pvs.runs"
[ -f "$OUTDIR/bin/pvs.hook" ] && . "$OUTDIR/bin/pvs.hook"
case " \$* " in
*" --noheadings "*) ;;
*) echo "  PV         VG" ;;
esac
cat "$OUTDIR/bin/pvs.report" 2>/dev/null
exit 0
PVS
    chmod 0755 "$OUTDIR/bin/pvs"
}

on_pass() { :; }
after_run() { :; }

# shellcheck source=/dev/null
source "$SCENARIO"
write_pvs

# What the block layer shows of each disk's cache before and after the run.
snapshot() {
    local attribute disk
    for attribute in /sys/devices/virtual/block/*/queue/write_cache; do
        [ -f "$attribute" ] || continue
        disk=${attribute%/queue/write_cache}
        cp "$attribute" "$OUTDIR/state/${disk##*/}.write_cache$1"
    done
}
snapshot .before

# --- the run --------------------------------------------------------------------
export PATH="$OUTDIR/bin:$PATH"
export QUELVAR_SIM_STATE="$OUTDIR/state"
launch=()
if [ -n "${SIM_DROP_DAC:-}" ]; then
    launch+=(capsh --drop=cap_dac_override,cap_dac_read_search --)
    launch+=(-c 'exec "$0" "$@"')
fi
if [ -n "${SIM_EUID:-}" ]; then
    chmod -R a+rwX "$OUTDIR/state"
    launch=(setpriv --euid "$SIM_EUID" --ruid 0 --)
fi
if [ -n "${SIM_USER:-}" ]; then
    launch=(setpriv --reuid "$SIM_USER" --regid "$SIM_USER" --clear-groups --inh-caps=-all --)
fi

if [ -n "${SIM_PRELOAD:-}" ] && [ -n "${SIM_EUID:-}" ]; then
    # A real user that differs from the effective one makes the loader run
    # in secure mode, where it preloads only set-user-ID libraries from the
    # system's library directory. Lay the simulator into that directory
    # through an overlay that only this namespace sees.
    libdir=$(dirname "$(ldd "$QUELVAR" | awk '/libc\.so/ {print $3}')")
    mkdir -p "$OUTDIR/lib/upper" "$OUTDIR/lib/work"
    mount -t overlay simhost -o "lowerdir=$libdir,upperdir=$OUTDIR/lib/upper,workdir=$OUTDIR/lib/work" "$libdir"
    install -m 4755 "$SIM_PRELOAD" "$libdir/quelvar_kernelsim.so"
    SIM_PRELOAD=quelvar_kernelsim.so
fi
# SIM_EMULATOR runs a binary built for another architecture (qemu-user).
read -r -a emulator <<< "${SIM_EMULATOR:-}"
command=("${emulator[@]}" "$QUELVAR")
if [ -n "${SIM_PRELOAD:-}" ]; then
    # Set for the daemon alone, after any launcher: the simulator drops it
    # from the environment of the process it is loaded into.
    # A sanitizer build's runtime then no longer comes first; that is fine.
    command=(env "LD_PRELOAD=$SIM_PRELOAD" "ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
        "${command[@]}")
fi
base=("${command[@]}")
read -r -a wrapper <<< "${SIM_WRAPPER:-}"
read -r -a arguments <<< "${SIM_ARGS:-}"
command=("${wrapper[@]}" "${command[@]}" "${arguments[@]}")

report() {  # report WHEN: quelvar --status $SIM_REPORTS into OUTDIR/report.WHEN
    local status=0 options
    read -r -a options <<< "$SIM_REPORTS"
    echo "report $1" >> "$OUTDIR/state/all.trace"
    "${launch[@]}" "${base[@]}" --status "${options[@]}" > "$OUTDIR/report.$1" 2> "$OUTDIR/report.$1.stderr" ||
        status=$?
    echo "report end" >> "$OUTDIR/state/all.trace"
    echo "$status" > "$OUTDIR/report.$1.status"
}
if [ -n "${SIM_REPORTS+set}" ]; then
    report before
fi
"${launch[@]}" "${command[@]}" > "$OUTDIR/stdout" 2> "$OUTDIR/stderr" &
daemon=$!

passes() {
    if [ -n "${SIM_PRELOAD:-}" ]; then
        # Read while the simulator may be rewriting it: empty counts as 0.
        local count
        count=$(cat "$OUTDIR/state/passes" 2>/dev/null) || true
        echo "${count:-0}"
    elif grep -q 'quelvar start' /var/log/quelvar/quelvar.log 2>/dev/null; then
        # Without the simulator the first pass on an empty host is immediate;
        # give it a moment to reach its pause.
        sleep 0.5
        echo 1
    else
        echo 0
    fi
}

deadline=$((SECONDS + ${SIM_TIMEOUT:-60}))
seen=0
signalled=
while kill -0 "$daemon" 2>/dev/null; do
    count=$(passes)
    while [ "$seen" -lt "$count" ]; do
        seen=$((seen + 1))
        on_pass "$seen"
    done
    if [ "$seen" -ge "${SIM_PASSES:-1}" ]; then
        signalled=$(date +%s%N)
        kill -TERM "$daemon" 2>/dev/null || true
        break
    fi
    if [ "$SECONDS" -ge "$deadline" ]; then
        echo "simhost: timed out after ${SIM_TIMEOUT:-60} s" >&2
        kill -KILL "$daemon"
        break
    fi
    sleep 0.05
done
status=0
wait "$daemon" || status=$?
date +%s%N > "$OUTDIR/exited_ns"
echo "$status" > "$OUTDIR/status"
if [ -n "$signalled" ]; then
    echo $((($(date +%s%N) - signalled) / 1000000)) > "$OUTDIR/stop_ms"
fi
echo "$seen" > "$OUTDIR/passes"
if [ -n "${SIM_REPORTS+set}" ]; then
    report after
fi
after_run
snapshot ""
cp -a /var/log/quelvar "$OUTDIR/log" 2>/dev/null || mkdir -p "$OUTDIR/log"
