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
    check "left alone on the next pass" test -z "$(pass_trace 2 | grep '^sdb')"
    check "logged once" test "$(log | grep -c 'change config of sdb succeed')" = 1
    check "rescan and sync logged" has_line "$PREFIX\[INFO\]\[sync device sdb return 0\]"
}

case_ceph_lvm_osd_switched_by_mode_select() {
    sim scsi-lvm-osd SIM_PASSES=2
    check "pvs run twice for the physical volume" test "$(wc -l < "$OUT/run/pvs.runs")" = 2
    check "switched by MODE SELECT(10)" test "$(requests 1 sdc 'SG_IO 55 10')" = 1
    check "the disk's cache is off" test "$(state sdc.state)" = "wce=0 savedWce=1"
    check "the block layer shows write through" test "$(state sdc.write_cache)" = "write through"
    check "left alone on the next pass" test -z "$(pass_trace 2 | grep '^sdc')"
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
    check "no command reaches the disk" test -z "$(grep '^sdb' "$OUT/run/state/all.trace")"
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
    sim stubborn-disk SIM_PASSES=2
    check "a device without backing disk is warned about" has_line "$PREFIX\[WARNING\]\[GetBackendDev error:bcache1\]"
    check "and still tuned" test "$(requests 1 bcache1 SET_TUNING)" = 1
    check "a disk that refuses is reported" has_line "$PREFIX\[ERROR\]\[change config of sdb failed\]"
    check "with the flush result" has_line "$PREFIX\[ERROR\]\[FlushBcache error:bcache0 return:1\]"
    check "its device still tuned" test "$(requests 1 bcache0 SET_TUNING)" = 1
    check "tried again on the next pass" test "$(log | grep -c 'change config of sdb failed')" = 2
    check "the cache is still on" test "$(state sdb.state)" = "wce=1 savedWce=1"
}

case_cache_switched_back_on() {
    sim cache-back-on SIM_PASSES=3
    check "switched off in the first pass" test "$(requests 1 sdb 'SG_IO 55 10')" = 1
    check "left alone in the second" test -z "$(pass_trace 2 | grep '^sdb')"
    check "switched off again in the third" test "$(requests 3 sdb 'SG_IO 55 10')" = 1
    check "off at the end" test "$(state sdb.write_cache)" = "write through"
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
    sim unprivileged SIM_EUID=1000 SIM_PASSES=2
    check "exit status 0" test "$(status)" = 0
    check "the ceph user's OSD was read and its disk switched" test "$(state sdb.state)" = "wce=0 savedWce=1"
    check "the rescan trigger was written" has_line "$PREFIX\[INFO\]\[rescan dev sdb return 0\]"
    check "the root-only device node was tuned" test "$(requests 2 bcache0 SET_TUNING)" = 1
    check "the log belongs to the daemon's user" test "$(stat -c %u "$OUT/run/log/quelvar.log")" = 1000
    check "nothing failed" no_line "failed|error"
}

case_sigterm_mid_pass() {
    sim sigterm-mid-pass SIM_PASSES=5
    check "the pass ran to its end" test "$(requests 1 bcache0 SET_TUNING)$(requests 1 bcache1 SET_TUNING)" = 11
    check "its flush was done" test "$(state sdc.state)" = "wce=0 savedWce=1"
    check "then the daemon stopped" has_line "$PREFIX\[INFO\]\[quelvar stop\]"
    check "after one pass" test "$(state passes)" = 1
    check "with status 0" test "$(status)" = 0
}

# --- quelvar --status ------------------------------------------------------------
report_json() { jq -r "$1" "$OUT/run/$2"; }
verdicts() { report_json '[.devices[] | .device + "=" + .verdict] | join(" ")' "$1"; }
# Only MODE SENSE (10 or 6) reached a disk, and no request the driver.
only_mode_sense() { ! grep -vE '^(report [a-z]+|(sd[a-z]+|nvme[0-9n]+) SG_IO (5a|1a) .*)$' "$OUT/run/state/all.trace"; }

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

case_status_disk_overrides_kernel() {
    # The kernel shows write through, but the disk has its cache on: the
    # pass leaves it alone, the report does not.
    sim write-through SIM_ARGS=--status
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

"case_$1"
if [ "$failures" -ne 0 ]; then
    echo "--- log"; log; echo "--- stdout"; cat "$OUT/run/stdout" 2>/dev/null
    echo "--- stderr"; cat "$OUT/run/stderr" 2>/dev/null
    exit 1
fi
