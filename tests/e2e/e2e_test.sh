#!/bin/bash
# End-to-end tests of the real quelvar binary on a simulated host.
# usage: e2e_test.sh CASE   (QUELVAR, SIMHOST and SCENARIOS from the environment)
set -uo pipefail

QUELVAR=${QUELVAR:?path of the quelvar binary}
SIMHOST=${SIMHOST:-$(dirname "$0")/../support/simhost.sh}
SCENARIOS=${SCENARIOS:-$(dirname "$0")/scenarios}
OUT=$(mktemp -d /tmp/quelvar-e2e.XXXXXX)
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

"case_$1"
if [ "$failures" -ne 0 ]; then
    echo "--- log"; log; echo "--- stdout"; cat "$OUT/run/stdout" 2>/dev/null
    exit 1
fi
