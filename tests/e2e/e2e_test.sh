#!/bin/bash
# End-to-end tests of the real quelvar binary on a simulated host.
# usage: e2e_test.sh CASE   (QUELVAR, SIMHOST and SCENARIOS from the environment)
set -uo pipefail

QUELVAR=${QUELVAR:?path of the quelvar binary}
KERNELSIM=${KERNELSIM:-}
SIMHOST=${SIMHOST:-$(dirname "$0")/../support/simhost.sh}
SCENARIOS=${SCENARIOS:-$(dirname "$0")/scenarios}
OUT=$(mktemp -d /tmp/quelvar-e2e.XXXXXX)
# A daemon running as another user reaches the simulator's state in there.
chmod 0755 "$OUT"
trap 'rm -rf "$OUT"' EXIT

if [ "$(id -u)" != 0 ]; then
    echo "SKIP: the simulated host needs root for private mount and PID namespaces"
    exit 77
fi

failures=0
check() {  # check DESCRIPTION COMMAND...
    if "${@:2}"; then
        echo "ok   - $1"
    else
        echo "FAIL - $1"
        failures=$((failures + 1))
    fi
}
run() {  # run SCENARIO [VAR=VALUE...]
    local scenario=$1
    shift
    env "$@" bash "$SIMHOST" "$SCENARIOS/$scenario.sh" "$OUT/run" "$QUELVAR"
}
log() { cat "$OUT/run/log/quelvar.log" 2>/dev/null; }
state() { cat "$OUT/run/state/$1" 2>/dev/null; }
# pass_trace K: the device requests of pass K ("<device> <request>" lines).
pass_trace() { awk -v k="$1" '/^pause /{p++; next} p==k-1' "$OUT/run/state/all.trace"; }
requests() { pass_trace "$1" | grep -c "^$2 $3" || true; }
# pass_log K: the log lines written in pass K (after the last pause: the stop).
pass_log() {
    local at=$OUT/run/state/all.trace from to
    from=$(awk -v k=$(($1 - 1)) '$1 == "pause" && $2 == k {print substr($3, 5)}' "$at")
    to=$(awk -v k="$1" '$1 == "pause" && $2 == k {print substr($3, 5)}' "$at")
    from=${from:-0}
    log | tail -c +$((from + 1)) | head -c $((${to:-$((1 << 30))} - from)) | cut -d] -f3-
}
# logged PASS TEXT: how many lines of pass PASS hold TEXT.
logged() { pass_log "$1" | grep -cF -- "$2" || true; }
# since TEXT [N]: the time of the Nth line holding TEXT (first).
since() { log | grep -F -- "$1" | sed -n "${2:-1}p" | cut -c2-20; }
sim() {  # sim SCENARIO [VAR=VALUE...]: a run with the kernel simulator
    local scenario=$1
    shift
    run "$scenario" SIM_PRELOAD="$KERNELSIM" "$@"
}
status() { cat "$OUT/run/status"; }
has_line() { log | grep -qxE "$1"; }
no_line() { ! log | grep -qE "$1"; }
PREFIX='\[[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\]\[process\([0-9]+\)\]'

case_start_and_sigterm() {
    run empty SIM_PASSES=1 SIM_TIMEOUT=20
    check "the first line is the start line in its final format" \
        bash -c "head -n 1 '$OUT/run/log/quelvar.log' | grep -qxE '$PREFIX\[INFO\]\[quelvar start\]'"
    check "SIGTERM during the pause logs the stop line" has_line "$PREFIX\[INFO\]\[quelvar stop\]"
    check "exit status 0 after an orderly stop" test "$(status)" = 0
    check "the pause ends promptly on SIGTERM ($(cat "$OUT/run/stop_ms") ms)" test "$(cat "$OUT/run/stop_ms")" -lt 2000
}

case_failed_start() {
    run readonly-log SIM_TIMEOUT=10
    check "a failed log preparation exits with 255" test "$(status)" = 255
    check "no start line" test -z "$(log)"
    check "the reason is on standard output" grep -qx "mkdir error:Read-only file system" "$OUT/run/stdout"
}

case_unreadable_dev() {
    run locked-dev SIM_DROP_DAC=1 SIM_TIMEOUT=10
    check "an unreadable /dev exits with 255" test "$(status)" = 255
    check "the opendir failure is logged" has_line "$PREFIX\[ERROR\]\[opendir \[/dev\] error:13 Permission denied\]"
    check "no stop line" no_line "quelvar stop"
}

# The one-shot MODE SENSE(10) of the Caching page that asks a disk its state.
PEEK10="SG_IO 5a 00 08 00 00 00 00 00 fc 00"

# The tuning record the policy gives for percent 25, baseA 1000, baseB
# 4000000000, both gates as set: scaled by 75 %, low level, mode 1.
TUNED_25=$(perl -e 'print unpack("H*", pack("VVCCCCVVV", 750, 3000000000, 1, 0, 0, 1, 1, 0x400000, 85))')

case_tunes_without_osds() {
    sim no-osds SIM_PASSES=2
    check "both devices tuned in both passes" test "$(requests 1 bcache0 SET_TUNING)$(requests 2 bcache1 SET_TUNING)" = 11
    check "no disk is asked anything" test -z "$(grep -E '^sd[bc] ' "$OUT/run/state/all.trace")"
    check "nothing logged but start, the rebuild and stop" test "$(log | wc -l)" = 3
}

case_sata_osd_switched_by_ata() {
    sim sata-osd SIM_PASSES=2
    check "the tuning record is the policy's" test "$(state bcache0.tuning | od -An -tx1 | tr -d ' \n')" = "$TUNED_25"
    check "switched by ATA SET FEATURES 0x82" test "$(requests 1 sdb 'SG_IO 85 06 20 00 82')" = 1
    check "no MODE SELECT" test "$(requests 1 sdb 'SG_IO 55')" = 0
    check "rescanned, then synced" bash -c "grep -A1 '^sdb RESCAN' '$OUT/run/state/all.trace' | grep -q 'sdb SG_IO 35'"
    check "the disk's cache is off" test "$(state sdb.state)" = "wce=0 savedWce=1"
    check "the block layer shows write through" test "$(state sdb.write_cache)" = "write through"
    check "only asked on the next pass: one MODE SENSE" test "$(pass_trace 2 | grep '^sdb')" = "sdb $PEEK10"
    check "logged once" test "$(log | grep -c 'change config of sdb succeed')" = 1
    check "rescan and sync logged" has_line "$PREFIX\[INFO\]\[sync device sdb return 0\]"
}

case_ceph_lvm_osd_switched_by_mode_select() {
    sim scsi-lvm-osd SIM_PASSES=2
    check "pvs run once, for every volume and its tags at once" \
        test "$(cat "$OUT/run/pvs.runs")" = "--readonly --noheadings --separator ; -o pv_name,vg_name,lv_uuid,lv_tags"
    check "switched by MODE SELECT(10)" test "$(requests 1 sdc 'SG_IO 55 10')" = 1
    check "the disk's cache is off" test "$(state sdc.state)" = "wce=0 savedWce=1"
    check "the block layer shows write through" test "$(state sdc.write_cache)" = "write through"
    check "only asked on the next pass: one MODE SENSE" test "$(pass_trace 2 | grep '^sdc')" = "sdc $PEEK10"
}

case_strict_scsi_disk() {
    sim strict-scsi SIM_PASSES=1
    check "switched by MODE SELECT(10)" test "$(requests 1 sde 'SG_IO 55 10')" = 1
    check "the rescan took up the unit attention: SYNCHRONIZE CACHE(10) was enough" \
        test "$(grep -A3 '^sde RESCAN' "$OUT/run/state/all.trace" | grep -c '^sde SG_IO')" = 1
    check "and the sync is logged" has_line "$PREFIX\[INFO\]\[sync device sde return 0\]"
    check "the disk's cache is off" test "$(state sde.state)" = "wce=0 savedWce=1"
}

case_write_through_left_alone() {
    sim write-through SIM_PASSES=2
    check "one read-only command a pass reaches the disk" \
        test "$(pass_trace 1 | grep '^sdb')$(pass_trace 2 | grep '^sdb')" = "sdb ${PEEK10}sdb $PEEK10"
    check "nothing logged but start, the rebuild and stop" test "$(log | wc -l)" = 3
    check "still tuned" test "$(requests 2 bcache0 SET_TUNING)" = 1
}

case_unknown_mode_switched() {
    sim unknown-mode SIM_PASSES=1
    check "switched although the mode text is unknown" test "$(state sdb.state)" = "wce=0 savedWce=1"
}

case_records_that_keep_caches() {
    sim no-flush-records SIM_PASSES=2
    check "bcache0 (no OSD of its own) keeps its disk's cache" test -z "$(grep '^sdb' "$OUT/run/state/all.trace")"
    check "DB on the block device keeps the cache" test -z "$(grep '^sdd' "$OUT/run/state/all.trace")"
    check "bcache01's OSD switches its own disk" test "$(state sdc.state)" = "wce=0 savedWce=1"
}

case_failures_still_tune() {
    # Half an hour a pause: the failures are recalled in the third and fifth.
    sim stubborn-disk SIM_PASSES=5 QUELVAR_SIM_CLOCK_STEP_S=1800
    check "a device without backing disk is warned about" has_line "$PREFIX\[WARNING\]\[GetBackendDev error:bcache1\]"
    check "and still tuned" test "$(requests 1 bcache1 SET_TUNING)" = 1
    check "a disk that refuses is reported" has_line "$PREFIX\[ERROR\]\[change config of sdb failed\]"
    check "with the flush result" has_line "$PREFIX\[ERROR\]\[FlushBcache error:bcache0 return:1\]"
    check "its device still tuned" test "$(requests 1 bcache0 SET_TUNING)" = 1
    check "logged once, tried on every pass" \
        test "$(log | grep -c '\]\[change config of sdb failed')$(requests 2 sdb 'SG_IO 55')$(requests 5 sdb 'SG_IO 55')" = 111
    check "each failure recalled once an hour" \
        test "$(logged 3 'still failing')$(logged 4 'still failing')$(logged 5 'still failing')" = 505
    check "at its level, with its device and count" \
        test "$(logged 5 'ERROR][sdb: still failing after 4 repeats since')$(logged 5 'WARNING][bcache1: still failing after 4 repeats since')" = 21
    check "the device named where its text does not name it" \
        test "$(logged 5 'WARNING][sdb: still failing after 16 repeats since ')" = 1
    check "each ended before the stop" \
        test "$(log | tail -n 6 | cut -d] -f3- | grep -c '^\[INFO\]\[[a-z0-9]*: ended after')$(log | tail -n 1 | cut -d] -f3-)" = \
        "5[INFO][quelvar stop]"
    check "the cache is still on" test "$(state sdb.state)" = "wce=1 savedWce=1"
}

case_repeating_failures_said_once() {
    sim repeating-failures SIM_PASSES=8 QUELVAR_SIM_PAUSE_MS=400
    local pass
    check "the first pass says each failure as it comes" \
        test "$(logged 1 '[WARNING][SG IO excute failed 1 0 8.]')$(logged 1 '[ERROR][change config of sdb failed]')$(logged 1 '[WARNING][ioctl error:22 Invalid argument]')" = 412
    check "the next says nothing" test -z "$(pass_log 2)"
    for pass in 1 2 3 4 5; do
        check "pass $pass tries the refused requests again, and the switch but while the disk is offline" \
            test "$(requests $pass sdb 'SG_IO 55 10')$(requests $pass bcache1 'GET_STATUS failed')" = $((pass != 3))1
    done
    check "another text takes the place of one: the old one ends" \
        test "$(logged 3 '[WARNING][ioctl error:25 Inappropriate ioctl for device]')$(logged 3 "[INFO][bcache1: ended after 1 repeats since $(since 'ioctl error:22'): ioctl error:22 Invalid argument]")" = 11
    check "a disk that takes no commands keeps its failures open" \
        test "$(logged 3 'sdb')$(logged 4 'sdb')" = "$(logged 3 'disk sdb cannot take commands')$(logged 4 'disk sdb answers again')"
    check "a device that went away ends its own" \
        test "$(logged 4 'INFO][bcache2: ended after 2 repeats since')$(logged 4 'bcache1')" = 10
    check "a device that came says the same text afresh" test "$(logged 5 '[WARNING][ioctl error:22 Invalid argument]')" = 1
    check "a switch that works ends the refusals in its pass" \
        test "$(logged 6 'change config of sdb succeed')$(logged 6 'INFO][sdb: ended after 3 repeats since')" = 12
    check "no failure said again after the pass it began in" \
        test -z "$(for pass in 2 3 4 5 6 7 8; do pass_log $pass; done | grep -E '^\[(WARNING|ERROR)\]' | grep -v 'ioctl\|disk sdb')"
    check "what lasts ends before the stop" test "$(log | tail -n 3 | cut -d] -f3-)" = \
        "[INFO][bcache1: ended after 5 repeats since $(since 'ioctl error:25'): ioctl error:25 Inappropriate ioctl for device]
[INFO][bcache3: ended after 3 repeats since $(since '[WARNING][ioctl error:22' 3): ioctl error:22 Invalid argument]
[INFO][quelvar stop]"
}

case_cache_switched_back_on() {
    # A longer pause, so that the change surely lands between passes 2 and 3
    # on a loaded machine too.
    sim cache-back-on SIM_PASSES=3 QUELVAR_SIM_PAUSE_MS=400
    check "switched off in the first pass" test "$(requests 1 sdb 'SG_IO 55 10')" = 1
    check "only asked in the second" test "$(pass_trace 2 | grep '^sdb')" = "sdb $PEEK10"
    check "switched off again in the third" test "$(requests 3 sdb 'SG_IO 55 10')" = 1
    check "off at the end" test "$(state sdb.write_cache)" = "write through"
}

case_cache_turned_on_behind_the_kernel() {
    sim wce-behind-kernel SIM_PASSES=4
    # The change lands during the first pause, or on a loaded machine early
    # in the second pass: caught by the next pass that asks the disk.
    check "caught within a pass and switched by MODE SELECT(10)" \
        test "$(requests 2 sdb 'SG_IO 55 10')$(requests 3 sdb 'SG_IO 55 10')" = 10 -o \
        "$(requests 2 sdb 'SG_IO 55 10')$(requests 3 sdb 'SG_IO 55 10')" = 01
    check "the operator learns of it once" \
        test "$(log | grep -c 'INFO\]\[write cache of sdb: the disk says on, the kernel says write through\]')" = 1
    check "two switches in all" test "$(log | grep -c 'change config of sdb succeed')" = 2
    check "then only asked" test "$(pass_trace 4 | grep '^sdb')" = "sdb $PEEK10"
    check "off at the end" test "$(state sdb.state)" = "wce=0 savedWce=1"
}

case_nvme_switched_once() {
    sim nvme-osd SIM_PASSES=3
    check "switched by Set Features, confirmed, flushed with its namespace id" \
        test "$(pass_trace 1 | grep '^nvme1n1' | tr '\n' ' ')" = \
        "nvme1n1 NVME get nvme1n1 NVME set=0 nvme1n1 NVME get nvme1n1 NVME id nvme1n1 NVME flush "
    check "the namespace's cache is off and was flushed" test "$(state nvme1n1.state)" = "vwc=0 flushes=1"
    check "then one Get Features a pass" test "$(pass_trace 2 | grep '^nvme1n1')$(pass_trace 3 | grep '^nvme1n1')" = \
        "nvme1n1 NVME getnvme1n1 NVME get"
    check "never a SCSI command" test -z "$(grep '^nvme1n1 SG_IO\|^nvme1n1 HDIO' "$OUT/run/state/all.trace")"
    check "switch and flush logged once" \
        test "$(log | grep -c 'change config of nvme1n1 succeed\|sync device nvme1n1 return 0')" = 2
    check "no rescan" no_line "rescan dev"
    check "no error or warning" no_line "ERROR|WARNING"
}

case_partition_switches_its_disk() {
    sim partition-osd SIM_PASSES=3
    check "the whole disk is switched, once" test "$(log | grep -c 'change config of sdb succeed')" = 1
    check "and rescanned" has_line "$PREFIX\[INFO\]\[rescan dev sdb return 0\]"
    check "the disk's cache is off" test "$(state sdb.state)" = "wce=0 savedWce=1"
    check "the kernel says write through" test "$(state sdb.write_cache)" = "write through"
    check "the second partition's device only asks, in the first pass" test "$(requests 1 sdb 'SG_IO 55')" = 1
    check "later passes only ask, once per device" test "$(requests 3 sdb 'SG_IO 5a 00 08 00 00 00 00 00 fc')" = 2
    check "no ERROR line" no_line "ERROR"
    check "nothing logged after the first pass but the end of its refused pass-through, and the stop" \
        test "$(pass_log 2)$(pass_log 3)" = "[INFO][sdb: ended after 0 repeats since $(since 'SG IO'): SG IO excute failed 1 0 8.]"
}

case_silent_disk_isolated() {
    # A longer pause, so that each change surely lands before the pass after;
    # passes enough for the try ten seconds after the second.
    sim silent-disk SIM_PASSES=32 QUELVAR_SIM_PAUSE_MS=400 SIM_TIMEOUT=90
    local last switched
    last=$(pass_trace 2 | tail -n 1)
    switched=$(awk '/^pause /{p++; next} /^sdd SG_IO 55 10/{print p + 1}' "$OUT/run/state/all.trace")
    check "the silent disk gets one command a try: the read's 30 s, then 10 s a try" \
        test "$(pass_trace 1 | grep '^sdd')$last" = \
        "sdd SG_IO 5a 00 08 00 00 00 00 00 08 00  timed out after 30000 mssdd SG_IO 5a 00 08 00 00 00 00 00 fc 00  timed out after 10000 ms"
    check "the others are switched in the same pass" test "$(state sdb.state)$(requests 1 sdc 'SG_IO 55 10')" = "wce=0 savedWce=11"
    check "its try comes after every other request of the next pass" test "${last%% *}" = sdd
    check "a cache turned back on meanwhile is switched off in that pass" test "$(requests 2 sdc 'SG_IO 55 10')" = 1
    check "left alone on the third pass" test -z "$(pass_trace 3 | grep '^sdd')"
    check "switched once, at its try ten seconds later, when it answers again (pass $switched)" \
        test "$(echo "$switched" | wc -w)" = 1 -a "${switched:-0}" -ge 4
    check "an offline disk gets nothing, its device is still tuned" \
        test "$(grep -c '^sde' "$OUT/run/state/all.trace")$(requests 5 bcache3 SET_TUNING)" = 01
    check "each change logged once" test "$(log | grep -oE '(WARNING|INFO)\]\[disk .*' | sort | tr '\n' ' ')" = \
        "INFO][disk sdd answers again] WARNING][disk sdd does not answer: its command timed out] WARNING][disk sde cannot take commands: state offline] "
    check "no ERROR line" no_line "ERROR"
}

case_unprivileged_daemon() {
    # A real user of 0 with another effective user puts the loader in secure
    # mode, which the simulated host meets with a set-user-ID copy of the
    # simulator in the system's library directory. A sanitizer runtime
    # cannot be put first in that mode, and an emulated loader looks for
    # the library under its own prefix: those builds leave this case to the
    # native one.
    if [ -n "${QUELVAR_SANITIZED:-}" ] || [ -n "${SIM_EMULATOR:-}" ]; then
        echo "SKIP: secure-mode preloading is only simulated for the native, uninstrumented daemon"
        exit 77
    fi
    # The daemon's user must reach the binary, and a clone under /root is
    # closed to it.
    cp "$QUELVAR" "$OUT/quelvar"
    QUELVAR=$OUT/quelvar
    sim unprivileged SIM_EUID=1000 SIM_PASSES=2
    check "exit status 0" test "$(status)" = 0
    check "the ceph user's OSD was read and its disk switched" test "$(state sdb.state)" = "wce=0 savedWce=1"
    check "the rescan trigger was written" has_line "$PREFIX\[INFO\]\[rescan dev sdb return 0\]"
    check "the root-only device node was tuned" test "$(requests 2 bcache0 SET_TUNING)" = 1
    check "the log belongs to the daemon's user" test "$(stat -c %u "$OUT/run/log/quelvar.log")" = 1000
    check "nothing failed" no_line "failed|error"
}

# Both disks are guarded again in the pass that waits for pvs: each check
# reads the disk.
guarded_again() {
    check "both disks switched off again in that pass" \
        test "$(log | grep -c 'change config of sd[bc] succeed')$(state sdb.state)$(state sdc.state)" = \
        "4wce=0 savedWce=1wce=0 savedWce=1"
    check "nothing pvs started is left running" test "$(cat "$OUT/run/left")" = 0
}

case_pvs_hangs() {
    # A longer pause, so that pvs surely hangs from the second pass on.
    sim pvs-hangs SIM_PASSES=2 SIM_TIMEOUT=40 QUELVAR_SIM_PAUSE_MS=400
    check "pvs is ended at its deadline, with one warning" \
        test "$(log | grep -c 'WARNING\]\[pvs did not end within 10000 ms: killed\]')" = 1
    check "after waiting for it that long" \
        test $(($(cat "$OUT/run/exited_ns") - $(cat "$OUT/run/pvs.hung"))) -ge 10000000000
    guarded_again
    check "and stopped in order" test "$(status)" = 0
}

case_sigterm_mid_pass() {
    sim pvs-hangs SIM_PASSES=9 SIM_TIMEOUT=40 STOP_IN_PVS=1 QUELVAR_SIM_PAUSE_MS=400
    local took=$((($(cat "$OUT/run/exited_ns") - $(cat "$OUT/run/pvs.hung")) / 1000000))
    check "SIGTERM while pvs hangs: stopped in order ($took ms)" \
        test "$(status)$(log | tail -n 1 | grep -c 'INFO\]\[quelvar stop')" = 01 -a "$took" -lt 2000
    check "the pass ran to its end without a pause" test "$(state passes)" = "$(cat "$OUT/run/pvs.hung.passes")"
    guarded_again
    check "no warning: the stop is no failure" no_line "WARNING.*pvs"
}

case_cephadm_host() {
    sim cephadm-host SIM_PASSES=3
    check "osd.0 (LVM on bcache0) switched its SATA disk" test "$(state sdb.state)" = "wce=0 savedWce=1"
    check "osd.1 (dm-crypt over LVM on bcache1) switched its SCSI disk" test "$(state sdc.state)" = "wce=0 savedWce=1"
    check "the encrypted one through the block stack" \
        has_line "$PREFIX\[INFO\]\[block stack of /var/lib/ceph/6c3e1f0a-8d2b-4f7e-9a1c-2b3d4e5f6a7b/osd.1/block: on bcache1\]"
    check "one rebuild in three passes" test "$(log | grep -c 'UpdateOsdInfoList succeed')" = 1
    check "the missing classic root is not an error" no_line "ERROR"
}

case_stacked_layouts() {
    sim stacked-osds SIM_PASSES=2
    local disk
    for disk in sdb sdc sdd; do
        check "$disk's cache is off" test "$(state $disk.state)" = "wce=0 savedWce=1"
    done
    check "LVM over dm-crypt traced" has_line "$PREFIX\[INFO\]\[block stack of /var/lib/ceph/osd/ceph-0/block: on bcache0\]"
    check "the partition link traced" has_line "$PREFIX\[INFO\]\[block stack of /var/lib/ceph/osd/ceph-1/block: on bcache1\]"
    check "dm-crypt over LVM traced" has_line "$PREFIX\[INFO\]\[block stack of /var/lib/ceph/osd/ceph-2/block: on bcache2\]"
    check "only asked on the next pass" test -z "$(pass_trace 2 | grep '^sd' | grep -vE 'SG_IO (5a|1a) ')"
    # The walk meets /dev/bcache1p1 too: it is backed by bcache1's disk, and
    # tuned through bcache1's driver, without a word.
    check "no ERROR line" no_line "ERROR"
    check "the partition of bcache1 is quiet" no_line "bcache1p1"
    check "and tuned" test "$(requests 2 bcache1 SET_TUNING)" = 2
    check "no stack refused" no_line "WARNING.*block stack"
}

case_broken_stacks() {
    sim broken-stacks SIM_PASSES=3 SIM_TIMEOUT=30
    check "the loop is refused" has_line "$PREFIX\[WARNING\]\[block stack of /var/lib/ceph/osd/ceph-0/block: loop at /sys/devices/virtual/block/dm-[01]\]"
    check "the deep stack is refused at the bound" \
        has_line "$PREFIX\[WARNING\]\[block stack of /var/lib/ceph/osd/ceph-1/block: too deep at /sys/devices/virtual/block/dm-[0-9]+\]"
    check "each once, at the one rebuild" test "$(log | grep -c 'WARNING\]\[block stack of')" = 2
    check "no disk is switched" test -z "$(grep -E '^sd[bc] ' "$OUT/run/state/all.trace")"
    check "every pass ran" test "$(state passes)" -ge 3
    check "and the daemon stopped in order" test "$(status)" = 0
}

case_spanning_layouts() {
    sim spanning-osds SIM_PASSES=2 SIM_REPORTS=--json
    local devices disk
    devices="bcache0=% bcache1=% bcache2=% bcache3=% bcache4=%"
    check "before: exit status 2, every device UNPROTECTED, no row for the partition" \
        test "$(cat "$OUT/run/report.before.status") $(verdicts report.before)" = "2 ${devices//%/UNPROTECTED}"
    check "after a pass: exit status 0, every device protected" \
        test "$(cat "$OUT/run/report.after.status") $(verdicts report.after)" = "0 ${devices//%/protected}"
    for disk in sdb sdc sdd sde sdf; do
        check "$disk's cache is off" test "$(state $disk.state)" = "wce=0 savedWce=1"
    done
    check "the striped volume's OSD is on both devices, said once" \
        test "$(log | grep -c 'INFO\]\[block stack of /var/lib/ceph/osd/ceph-2/block: on bcache2, bcache3\]')" = 1
    check "the block stack told it all: LVM asked only for its tags, once a read (two reports, one rebuild)" \
        test "$(wc -l < "$OUT/run/pvs.runs")" = 3
}

case_links_after_fsid() {
    # A longer pause, so that the links surely appear between passes 1 and 2.
    sim links-later SIM_PASSES=3 QUELVAR_SIM_PAUSE_MS=400
    check "nothing to guard in the first pass" test -z "$(pass_trace 1 | grep '^sdb')"
    check "switched in the second, when the links appeared" test "$(requests 2 sdb 'SG_IO 55 10')" = 1
    check "the disk's cache is off" test "$(state sdb.state)" = "wce=0 savedWce=1"
    check "rebuilt twice" test "$(log | grep -c 'UpdateOsdInfoList succeed')" = 2
}

case_first_pvs_failed() {
    sim pvs-late SIM_PASSES=3
    check "nothing to guard in the first pass" test -z "$(pass_trace 1 | grep '^sdc')"
    check "switched in the second, when pvs answered" test "$(requests 2 sdc 'SG_IO 55 10')" = 1
    check "the disk's cache is off" test "$(state sdc.state)" = "wce=0 savedWce=1"
    check "pvs run once in the first pass, once in the second, then left alone" \
        test "$(wc -l < "$OUT/run/pvs.runs")" = 2
}

# --- quelvar --status ------------------------------------------------------------
report_json() { jq -r "$1" "$OUT/run/$2"; }
verdicts() { report_json '[.devices[] | .device + "=" + .verdict] | join(" ")' "$1"; }
# Only MODE SENSE (10 or 6) reached a disk, and no request the driver.
only_mode_sense() { ! grep -vE '^(report [a-z]+|(sd[a-z]+|nvme[0-9n]+) SG_IO (5a|1a) .*)$' "$OUT/run/state/all.trace"; }

case_prepared_osds_guarded() {
    sim prepared-osds SIM_PASSES=3 SIM_REPORTS=--json
    local disk
    for disk in sdb sdc sdf; do
        check "$disk's cache is off after the first pass" test "$(pass_trace 1 | grep -c "^$disk RESCAN")" = 1
    done
    for disk in sdd sde; do
        check "$disk, whose OSD keeps its DB on its device, keeps its cache" \
            test "$(grep -c "^$disk RESCAN" "$OUT/run/state/all.trace") $(state $disk.state)" = "0 wce=1 savedWce=1"
    done
    check "sdg, prepared during the second pause, is off in the third pass" \
        test "$(pass_trace 3 | grep -c '^sdg RESCAN') $(state sdg.state)" = "1 wce=0 savedWce=1"
    check "the report names each OSD's sources" test "$(jq -r '.devices[] | "\(.device)=\(.osd.sources // "-")/\(.verdict)"' \
        "$OUT/run/report.after" | tr '\n' ' ')" = "bcache0=LVM tags/protected bcache1=label/protected bcache2=LVM tags/not guarded \
bcache3=label/not guarded bcache4=Rook directory+label/protected bcache5=label/protected "
    check "pvs once a rebuild: the two reports' and the daemon's two" test "$(wc -l < "$OUT/run/pvs.runs")" = 4
    check "no secret in the log or the reports" \
        bash -c "! cat '$OUT/run/log/quelvar.log' '$OUT/run/report.before' '$OUT/run/report.after' | grep -e AQBsb2Nr -e AQBvc2Qt"
    check "no source disagrees, no ERROR" no_line "WARNING\]\[OSD|ERROR"
}

case_status_before_and_after_a_pass() {
    sim sample SIM_PASSES=1 SIM_REPORTS=--json
    check "before: exit status 2" test "$(cat "$OUT/run/report.before.status")" = 2
    check "before: both guarded disks UNPROTECTED" test "$(verdicts report.before)" = "bcache0=UNPROTECTED bcache1=UNPROTECTED"
    check "before: the kernel and the disk both show the cache on" \
        test "$(report_json '[.devices[].write_cache | .kernel + "/" + .disk] | join(" ")' report.before)" = \
        "write back/on write back/on"
    check "after a pass: exit status 0" test "$(cat "$OUT/run/report.after.status")" = 0
    check "after: both protected" test "$(verdicts report.after)" = "bcache0=protected bcache1=protected"
    check "after: the report agrees with the disks" \
        test "$(report_json '[.devices[].write_cache.disk] | join(" ")' report.after)$(state sdb.state)$(state sdc.state)" = \
        "off offwce=0 savedWce=1wce=0 savedWce=1"
    check "the OSD behind LVM is found, as a pass finds it" \
        test "$(report_json '.devices[1].osd | .id + " " + .directory + " " + .object_store' report.after)" = \
        "1 /var/lib/ceph/osd/ceph-1 bluestore"
    check "transports" test "$(report_json '[.devices[].transport] | join(" ")' report.after)" = "SATA SCSI/SAS"
}

case_status_each_verdict() {
    sim status-mixed SIM_ARGS="--status --json"
    check "exit status 3: something could not be read" test "$(status)" = 3
    check "one verdict per device" test "$(jq -r '[.devices[] | .device + "=" + .verdict] | join(" ")' "$OUT/run/stdout")" = \
        "bcache0=protected bcache1=not guarded bcache2=not guarded bcache3=unknown"
    check "with the reasons" test "$(jq -r '[.devices[1:][].reason] | join("; ")' "$OUT/run/stdout")" = \
        "it carries no OSD; its OSD keeps its DB on the same device; its backing disk could not be found"
    check "the disks were only asked, the driver not at all" only_mode_sense
    check "no disk changed" test "$(state sdc.write_cache)$(state sdd.write_cache)" = "write backwrite back"
    check "nothing logged, no log directory made" test -z "$(ls -A "$OUT/run/log")"
    check "nothing on standard error" test ! -s "$OUT/run/stderr"
}

case_status_unknown_inventory() {
    local root
    for root in "" 1; do
        sim status-unread SIM_ARGS="--status --json" NO_ROOT=$root
        check "exit status 3 ${root:+without an OSD root}" test "$(status)" = 3
        check "the device is unknown, not called unguarded ${root:+without an OSD root}" \
            test "$(jq -r '.devices[0] | .verdict + ": " + .reason' "$OUT/run/stdout")" = \
            "unknown: the OSD inventory could not be read"
        [ -n "$root" ] || check "the report says why" test "$(jq -r .problem "$OUT/run/stdout")" = \
            "the OSD inventory is incomplete: the OSD directory /var/lib/ceph/osd/ceph-0 could not be read whole"
    done
}

case_status_metrics_file_kept_clean() {
    local prom=$OUT/run/state/quelvar.prom
    sim status-file SIM_ARGS="--status --prometheus=$prom"
    check "exit status 2" test "$(status)" = 2
    check "the stale temporary is gone, the fresh one kept" \
        test "$(ls "$OUT/run/state" | grep 'quelvar\.prom\.' | tr '\n' ' ')" = "quelvar.prom.New123 "
    sim sample SIM_ARGS="--status --prometheus=/proc/quelvar.prom"
    check "a file that cannot be written is said on standard error" \
        grep -q '^quelvar --status: cannot write /proc/quelvar.prom: ' "$OUT/run/stderr"
    check "and hides no UNPROTECTED disk: exit status 2" test "$(status)" = 2
    sim write-through SIM_ARGS="--status --prometheus=/proc/quelvar.prom"
    check "with every disk protected, such a file gives 3, not 0" test "$(status)" = 3
}

case_status_cephadm_host() {
    # The report finds the OSDs the daemon finds, with no classic root.
    sim cephadm-host SIM_ARGS="--status --json"
    check "exit status 2" test "$(status)" = 2
    check "both OSDs, both disks unprotected" \
        test "$(jq -r '[.devices[] | .device + "=" + .osd.id + "=" + .verdict] | join(" ")' "$OUT/run/stdout")" = \
        "bcache0=0=UNPROTECTED bcache1=1=UNPROTECTED"
}

case_status_disk_overrides_kernel() {
    # The kernel shows write through, but the disk has its cache on: the
    # report believes the disk.
    sim write-through SIM_ARGS=--status DISK_WCE=1
    check "exit status 2" test "$(status)" = 2
    check "the row says why" grep -qE '^bcache0 +sdb +SATA +write through +on .* UNPROTECTED +the disk reports its write cache on$' \
        "$OUT/run/stdout"
}

case_status_prometheus_file() {
    local prom=$OUT/run/state/quelvar.prom
    sim sample SIM_ARGS="--status --prometheus=$prom" SIM_REPORTS=--prometheus
    check "written, readable by the collector's user" test "$(stat -c %a "$prom")" = 644
    check "nothing left beside it" test -z "$(ls "$OUT/run/state" | grep 'quelvar\.prom\.')"
    check "nothing on standard output" test ! -s "$OUT/run/stdout"
    check "every line a HELP, TYPE or sample line" \
        bash -c "! grep -vE '^(# (HELP|TYPE) quelvar_[a-z_]+ .+|quelvar_[a-z_]+(\\{([a-z_]+=\"([^\"\\\\]|\\\\.)*\",?)+\\})? -?[0-9]+)$' '$prom'"
    check "the guarded disks are UNPROTECTED" test "$(grep -c '^quelvar_disk_verdict{.*} 2$' "$prom")" = 2
    check "on standard output the same metrics" \
        test "$(grep -v '^#' "$OUT/run/report.after" | sort | md5sum)" = "$(grep -v '^#' "$prom" | sort | md5sum)"
}

case_status_raises_privilege_to_read() {
    if [ -n "${QUELVAR_SANITIZED:-}" ] || [ -n "${SIM_EMULATOR:-}" ]; then
        echo "SKIP: secure-mode preloading is only simulated for the native, uninstrumented daemon"
        exit 77
    fi
    # The report's user must reach the binary, and a clone under /root is
    # closed to it.
    cp "$QUELVAR" "$OUT/quelvar"
    QUELVAR=$OUT/quelvar
    sim unprivileged SIM_EUID=1000 SIM_ARGS="--status --json"
    check "exit status 2" test "$(status)" = 2
    check "the ceph user's OSD was read" test "$(jq -r '.devices[0].osd.fsid' "$OUT/run/stdout")" = \
        00000000-0000-4000-8000-000000000000
    check "the root-only disk answered" test "$(jq -r '.devices[0].write_cache.disk' "$OUT/run/stdout")" = on
    check "and was only asked" only_mode_sense
}

case_status_usage_and_privilege() {
    run sample SIM_ARGS=--bogus
    check "an unknown option: exit status 64" test "$(status)" = 64
    check "one usage line on standard error" test "$(grep -c '^usage: quelvar ' "$OUT/run/stderr")$(wc -l < "$OUT/run/stderr")" = 11
    check "nothing created, nothing logged" test -z "$(ls -A "$OUT/run/log")"
    cp "$QUELVAR" "$OUT/quelvar"
    QUELVAR=$OUT/quelvar
    run sample SIM_USER=65534 SIM_ARGS=--status
    check "an unprivileged report: exit status 3" test "$(status)" = 3
    check "it says what it needs" grep -q 'needs root' "$OUT/run/stderr"
    run sample SIM_USER=65534
    check "an unprivileged daemon: exit status 255" test "$(status)" = 255
    check "it still prints the failed call" grep -qx 'setuid(0) failed: Operation not permitted' "$OUT/run/stdout"
    check "and says what it needs" grep -q '^quelvar: needs root' "$OUT/run/stderr"
    check "without making the log directory" test -z "$(ls -A "$OUT/run/log")"
}

# --- the daemon's published view, and the OSDs' wait ----------------------------------
case_status_from_the_daemons_view() {
    sim silent-disk-report SIM_PASSES=5 SIM_REPORTS=--json QUELVAR_SIM_PAUSE_MS=2000 SIM_TIMEOUT=90
    # An emulator's start-up alone may take most of a second.
    local bound=1000
    [ -z "${SIM_EMULATOR:-}" ] || bound=3000
    check "while the daemon runs: from its view, in under $bound ms ($(cat "$OUT/run/report.during.ms") ms)" \
        test "$(report_json '.source.from' report.during)" = daemon -a "$(cat "$OUT/run/report.during.ms")" -lt $bound
    check "no command to any disk while it answers" \
        test -z "$(sed -n '/^report during$/,/^report end$/p' "$OUT/run/state/all.trace" | grep -E '^(sd|nvme)')"
    check "the silent disk and the offline one unknown, with their reasons" \
        test "$(report_json '[.devices[2:][] | .verdict + ": " + .reason] | join("; ")' report.during)" = \
        "unknown: the disk does not answer: its command timed out; unknown: the disk cannot take commands: state offline"
    check "the others protected" test "$(verdicts report.during | cut -d' ' -f1,2)" = "bcache0=protected bcache1=protected"
    check "with the daemon stopped: read from the host" test "$(report_json '.source.from' report.after)" = host
    check "the offline disk never got a command" test -z "$(grep '^sde' "$OUT/run/state/all.trace")"
}

case_status_with_a_stale_view() {
    sim status-stale SIM_ARGS="--status --json"
    check "a view a live process left long ago is not used" test "$(jq -r .source.from "$OUT/run/stdout")" = host
    check "the silent disk is asked once, for 10 s at most" \
        test "$(grep '^sdb' "$OUT/run/state/all.trace")" = "sdb SG_IO 5a 00 08 00 00 00 00 00 fc 00  timed out after 10000 ms"
    check "the offline disk is not asked" test -z "$(grep '^sdc' "$OUT/run/state/all.trace")"
    check "both unknown, with their reasons" \
        test "$(jq -r '[.devices[] | .verdict + ": " + .reason] | join("; ")' "$OUT/run/stdout")" = \
        "unknown: the disk does not answer: no answer within 10 s; unknown: the disk cannot take commands: state offline"
    check "exit status 3" test "$(status)" = 3
}

case_status_two_osds_on_one_device() {
    sim shared-device SIM_PASSES=1 SIM_REPORTS=--prometheus
    check "the view shows both OSDs with their device's verdict" \
        test "$(grep '^osd' "$OUT/run/view" | cut -f2-4 | tr '\t\n' '  ')" = "bcache0 0 protected bcache0 1 protected "
    check "the view is root's alone" test "$(stat -c %a "$OUT/run/view")" = 600
    check "before the pass: one metric line per OSD, both UNPROTECTED" \
        test "$(grep -c '^quelvar_disk_verdict{bcache="bcache0",disk="sdb",osd="[01]"} 2$' "$OUT/run/report.before")" = 2
    check "after: both protected" \
        test "$(grep -c '^quelvar_disk_verdict{bcache="bcache0",disk="sdb",osd="[01]"} 0$' "$OUT/run/report.after")" = 2
}

# osd-wait in a private mount namespace, with /run on tmpfs and a stand-in
# for systemctl: CASE runs "LIMIT UNIT ACTIVE VIEW" and prints its output,
# then its status and seconds. ACTIVE is yes, no or hang; VIEW is none, or
# the verdict osd 3's line gives (absent: no line) from a pass that began
# before the wait (old) or after it (new).
osd_wait() {
    unshare -m --propagation private bash -c '
        mount -t tmpfs none /run && mkdir -p /run/quelvar /run/stub || exit 99
        case $3 in
        yes) printf "#!/bin/sh
exit 0
" ;; no) printf "#!/bin/sh
exit 3
" ;; *) printf "#!/bin/sh
exec sleep 100
" ;;
        esac >/run/stub/systemctl
        chmod 755 /run/stub/systemctl
        up=$(cut -d" " -f1 /proc/uptime)
        if [ "$4" != none ]; then
            began=$(awk -v u="$up" -v w="${4%%:*}" "BEGIN { print w == \"new\" ? u + 100 : u - 100 }")
            printf "quelvar-view\t1\npid\t1\npass\t9\t%s\t%s\n" "$began" "$up" >/run/quelvar/view
            [ "${4#*:}" = absent ] || printf "osd\tbcache0\t3\t%s\n" "${4#*:}" >>/run/quelvar/view
        fi
        t0=$(date +%s)
        PATH=/run/stub:$PATH QUELVAR_OSD_WAIT=$1 "$5" "$2"
        echo "status $? after $(($(date +%s) - t0))"
    ' osd-wait "$@" "$OSD_WAIT"
}

case_osd_wait_bounded() {
    OSD_WAIT=$(dirname "$0")/../../dist/quelvar-osd-wait
    local cephadm=ceph-6c3e1f0a-8d2b-4f7e-9a1c-2b3d4e5f6a7b@
    # limit unit active view | first line | least most (seconds)
    while IFS='|' read -r args line least most; do
        local out took
        # shellcheck disable=SC2086
        out=$(osd_wait $args)
        took=$(echo "$out" | sed -n 's/^status 0 after //p')
        check "osd-wait $args: ${line:-silent}, $least to $most s" \
            test "$(echo "$out" | head -n 1)" = "${line:-status 0 after $took}" -a -n "$took" -a "${took:-99}" -ge "$least" -a "${took:-99}" -le "$most"
    done <<CASES
2 ceph-osd@3.service hang none|osd.3 starts with the write cache of its disk on: quelvar has not switched it off within 2s|2|4
20s ceph-osd@3.service no none|osd.3: QUELVAR_OSD_WAIT=20s is not a whole number of seconds: waiting at most 20s|0|1
999 ceph-osd@3.service no none|osd.3: QUELVAR_OSD_WAIT=999 is more than 60s: waiting at most 60s|0|1
2 ${cephadm}mon.a.service yes old:UNPROTECTED||0|1
2 ${cephadm}osd.3.service yes old:UNPROTECTED|osd.3 starts with the write cache of its disk on: quelvar has not switched it off within 2s|2|4
2 ${cephadm}osd.3.service yes old:protected|osd.3 starts with the write cache of its disk on: quelvar has not switched it off within 2s|2|4
2 ${cephadm}osd.3.service yes new:protected||0|1
2 ceph-osd@3.service yes old:absent|osd.3 starts with the write cache of its disk on: quelvar has not switched it off within 2s|2|4
2 ceph-osd@3.service yes new:absent||0|1
2 ceph-osd@3.service yes new:unknown||0|1
CASES
}

"case_$1"
if [ "$failures" -ne 0 ]; then
    echo "--- log"; log; echo "--- stdout"; cat "$OUT/run/stdout" 2>/dev/null
    echo "--- stderr"; cat "$OUT/run/stderr" 2>/dev/null
    exit 1
fi
