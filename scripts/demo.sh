#!/bin/bash
# Builds quelvar and tells the story of two passes of the unchanged binary on
# a sample simulated host (as root; nothing outside private namespaces is
# touched): what the host holds, what `quelvar --status` says before, each
# command each device received, the tuning records written, what the report
# says after, and a summary of what was switched and what was left alone.
#
#   DEMO_OUT=dir   where the demo keeps its files (/tmp/quelvar-demo)
set -euo pipefail
cd "$(dirname "$0")/.."
out=${DEMO_OUT:-/tmp/quelvar-demo}
run=$out/run
mkdir -p "$out"
build_log=$out/build.log

say() { printf '%s\n' "$*"; }
title() { printf '\n== %s\n' "$*"; }

# What the report run WHEN (before or after) sent, from its part of the trace.
report_requests() {
    local lines other counts
    lines=$(awk -v when="$1" '$0 == "report " when {p=1; next} /^report end$/ {p=0} p' "$run/state/all.trace")
    other=$(grep -vE '^[a-z0-9]+ SG_IO (5a|1a) ' <<< "$lines" || true)
    if [ -n "$other" ]; then
        say "It sent more than MODE SENSE:"
        say "$other"
        return
    fi
    counts=$(awk '{n[$1]++} END {for (d in n) printf "%s%s %d", (sep++ ? ", " : ""), d, n[d]}' <<< "$lines")
    say "To answer, it asked the disks with MODE SENSE of the Caching page, which only reads"
    say "(header, then the whole page: $counts); nothing else reached a device, nothing was logged."
}

title "Building quelvar (the build's output goes to $build_log)"
if ! { bash scripts/setup.sh && cmake -S . -B build -G Ninja && ninja -C build quelvar quelvar_kernelsim; } \
    > "$build_log" 2>&1; then
    tail -n 20 "$build_log"
    say "The build failed; its whole output is in $build_log."
    exit 1
fi
say "Built build/src/quelvar."

title "The sample host (tests/e2e/scenarios/sample.sh)"
cat <<'HOST'
A small storage node, simulated: private mount and PID namespaces with
throwaway /dev, /sys, /var/lib/ceph/osd and /var/log, and a preloaded library
that plays the kernel's part for the disks and the bcache driver.

  sdb        a SATA disk, volatile write cache on (the kernel shows "write back")
  sdc        a SCSI disk, volatile write cache on
  nvme0n1    flash; its partitions nvme0n1p1 and nvme0n1p2 hold OSD databases
  bcache0    a bcache device over sdb
  bcache1    a bcache device over sdc, an LVM physical volume of ceph-vg1
  ceph-0     bluestore OSD: block /dev/bcache0, DB /dev/nvme0n1p1
  ceph-1     bluestore OSD: block /dev/ceph-vg1/osd-block-1 (on bcache1), DB /dev/nvme0n1p2
  ceph-2     filestore OSD
  bcache9, bcache-dir   a character device and a directory in /dev that merely
                        look like bcache devices

A bluestore OSD whose DB is on another device acknowledges a write once it is
on the data disk; a volatile write cache on that disk could lose it in a power
cut. quelvar switches such a disk's cache off, and leaves every other disk alone.
HOST

SIM_PASSES=2 SIM_REPORTS="" SIM_PRELOAD="$PWD/build/tests/support/kernelsim/quelvar_kernelsim.so" \
    bash tests/support/simhost.sh tests/e2e/scenarios/sample.sh "$run" build/src/quelvar

status_meaning() {
    case $1 in
        0) say "(exit status 0: every guarded disk is protected)" ;;
        2) say "(exit status 2: at least one guarded disk is UNPROTECTED)" ;;
        3) say "(exit status 3: some state could not be read)" ;;
        *) say "(exit status $1)" ;;
    esac
}

title "Before the daemon starts: quelvar --status"
cat "$run/report.before"
status_meaning "$(cat "$run/report.before.status")"
report_requests before

# One line of the simulated devices' trace, in words.
describe() {
    local device=$1 request=$2
    shift 2
    local words=$*
    local note=""
    [[ $words == *refused ]] && note="  -> refused (ILLEGAL REQUEST)"
    case $request in
        SG_IO)
            local -a cdb
            read -r -a cdb <<< "${words%  refused}"
            case ${cdb[0]} in
                5a) say "    $device  MODE SENSE(10), Caching page, $((16#${cdb[7]}${cdb[8]})) bytes$note" ;;
                1a) say "    $device  MODE SENSE(6), Caching page, $((16#${cdb[4]})) bytes$note" ;;
                55) say "    $device  MODE SELECT(10): the Caching page sent back with WCE cleared$note" ;;
                15) say "    $device  MODE SELECT(6): the Caching page sent back with WCE cleared$note" ;;
                85) say "    $device  ATA SET FEATURES: disable write cache, in ATA PASS-THROUGH(16)$note" ;;
                a1) say "    $device  ATA SET FEATURES: disable write cache, in ATA PASS-THROUGH(12)$note" ;;
                35) say "    $device  SYNCHRONIZE CACHE(10): write out what the cache held$note" ;;
                91) say "    $device  SYNCHRONIZE CACHE(16)$note" ;;
                *) say "    $device  SCSI command ${cdb[*]}$note" ;;
            esac
            ;;
        HDIO_SET_WCACHE) say "    $device  HDIO_SET_WCACHE $words: the block layer's switch" ;;
        failed) say "             -> refused by the driver" ;;
        RESCAN) say "    $device  write 1 to /sys/block/$device/device/rescan: the kernel re-reads the disk" ;;
        GET_STATUS) say "    $device  BCACHE_IOC_GET_STATUS: read the driver's status record" ;;
        SET_TUNING) say "    $device  BCACHE_IOC_SET_TUNING: write the tuning record" ;;
        *) say "    $device  $request $words" ;;
    esac
}

pass=1
in_pass=0
skipping=0
disk_lines=0
while read -r device request rest; do
    case $device in
        report)
            # The status reports' own requests are told with their output.
            skipping=$([ "$request" = end ] && echo 0 || echo 1)
            continue
            ;;
        pause)
            if [ "$pass" -gt 1 ] && [ "$disk_lines" = 0 ]; then
                say "  No disk received anything: the kernel shows their caches off now, so there is"
                say "  nothing to decide; the bcache devices are tuned as on every pass."
            fi
            say "  ... then the daemon pauses five seconds (shortened here)."
            pass=$((pass + 1))
            in_pass=0
            disk_lines=0
            continue
            ;;
    esac
    [ "$skipping" = 1 ] && continue
    if [ "$in_pass" = 0 ]; then
        if [ "$pass" = 1 ]; then
            title "Pass 1: the inventory is built (each OSD traced down the kernel's block stack to its bcache device)"
        else
            title "Pass $pass: the inventory has not changed; each device is checked again"
        fi
        say "  What each device received, in order:"
        in_pass=1
    fi
    [[ $device == bcache* ]] || disk_lines=$((disk_lines + 1))
    describe "$device" "$request" $rest
done < "$run/state/all.trace"

title "The tuning records written, by field"
for state in "$run"/state/bcache*.tuning; do
    [ -f "$state" ] || continue
    device=$(basename "$state" .tuning)
    perl -e 'read(STDIN, $b, 32); my @s = unpack("VVVVQ<VV", $b);
             printf "  %s read:    percent %d, baseA %d, baseB %d, modeGate %d, markGate %d\n",
                    $ARGV[0], $s[5], $s[0], $s[1], $s[2], $s[4];' "$device" < "$run/state/$device.state"
    perl -e 'read(STDIN, $b, 24); my @t = unpack("VVCCCCVVV", $b);
             printf "  %s written: scaledA %d, scaledB %d, lowLevel %d, veryLowLevel %d, reserved %d, mark %d,\n" .
                    "  %*s          mode %d, lowLevelSize %d, fixedLevel %d\n",
                    $ARGV[0], @t[0..5], length($ARGV[0]), "", @t[6..8];' "$device" < "$state"
done
say "  (At 30 percent and above the base values go back unchanged; below, the policy scales them down.)"

title "After two passes: quelvar --status"
cat "$run/report.after"
status_meaning "$(cat "$run/report.after.status")"
report_requests after

title "The daemon's log ($run/log/quelvar.log)"
cat "$run/log/quelvar.log"

# How the disk's cache went off, from what it received.
method() {
    local disk=$1 trace=$run/state/all.trace
    if grep -q "^$disk SG_IO 55 " "$trace"; then
        say "MODE SELECT(10) of the Caching page"
    elif grep -q "^$disk SG_IO 15 " "$trace"; then
        say "MODE SELECT(6) of the Caching page"
    elif grep -E "^$disk SG_IO (85|a1) " "$trace" | grep -vq refused; then
        say "ATA SET FEATURES: disable write cache"
    else
        say "HDIO_SET_WCACHE"
    fi
}

title "Summary"
# The text report's columns are aligned under its header.
awk -v before="$run/report.before" '
    function cell(line, name, next_name) {
        s = substr(line, index(header, name))
        if (next_name != "") s = substr(s, 1, index(header, next_name) - index(header, name))
        sub(/ +$/, "", s)
        return s
    }
    FNR == 1 { file++; header = "" }
    /^DEVICE / { header = $0; next }
    header == "" || NF == 0 { next }
    file == 1 { was[cell($0, "DEVICE", "DISK")] = cell($0, "VERDICT", "WHY"); next }
    { print cell($0, "DEVICE", "DISK") "\t" cell($0, "DISK", "TRANSPORT") "\t" cell($0, "OSD", "DB") "\t" \
            was[cell($0, "DEVICE", "DISK")] "\t" cell($0, "VERDICT", "WHY") "\t" cell($0, "WHY", "") }
' "$run/report.before" "$run/report.after" |
    while IFS=$'\t' read -r device disk osd before after why; do
        if [ "$before" = UNPROTECTED ] && [ "$after" = protected ]; then
            say "  switched off: $disk under $device: its OSD $osd keeps its DB on another device;"
            say "                by $(method "$disk"); $why."
        elif [ "$after" = "not guarded" ]; then
            say "  left alone:   $disk under $device: $why."
        else
            say "  $after:  $disk under $device: $why."
        fi
    done
say "  left alone:   nvme0n1, whose partitions hold the DBs: it is not behind bcache."
say "  left alone:   ceph-2, a filestore OSD: filestore OSDs are never acted on."
say "  skipped:      bcache9 and bcache-dir: not block devices."
say "  tuned:        every bcache block device, on every pass."
say "  The daemon ran $(cat "$run/passes") passes and exited with status $(cat "$run/status") after SIGTERM."

title "Where the files are"
say "  $build_log               the build's output"
say "  $run/report.before, report.after   quelvar --status before and after (.status: exit statuses)"
say "  $run/log/quelvar.log     the daemon's log"
say "  $run/state/all.trace     every request each device received, pass by pass (CDBs in hex)"
say "  $run/state/              each simulated device's state (*.state), its tuning record (*.tuning),"
say "                               and each disk's write_cache attribute before and after"
say "  Run it again with DEMO_OUT=dir to keep another copy; see README.md for the real-kernel proof."
