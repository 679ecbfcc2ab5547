#!/bin/bash
# Runs ctest in a build directory and then names every skipped test with the
# reason it gave. ctest itself lists skipped tests without their reasons
# outside -V, so a suite that silently skips half its cases (not root, no
# private mounts) would look as green as one that ran them all.
#   scripts/ctest.sh BUILD_DIR [CTEST_ARGS...]
set -uo pipefail
build=$1
shift
out=$(mktemp)
trap 'rm -f "$out"' EXIT
ctest --test-dir "$build" "$@" | tee "$out"
status=${PIPESTATUS[0]}
skipped=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (Skipped)$/\1/p' "$out")
if [ -n "$skipped" ]; then
    echo "Skipped tests and why:"
    # The reason is the line after a GoogleTest "Skipped" marker, or the
    # "SKIP: ..." line an end-to-end script prints before it exits 77.
    awk -v names="$skipped" '
        BEGIN { n = split(names, list, "\n"); for (i = 1; i <= n; i++) want[list[i]] = 1 }
        /^[0-9]+\/[0-9]+ Test: / { name = $3; reason = ""; next_is_reason = 0; next }
        next_is_reason { if (reason == "") reason = $0; next_is_reason = 0; next }
        /: Skipped$/ { next_is_reason = 1; next }
        /^SKIP: / { if (reason == "") reason = substr($0, 7); next }
        /^<end of output>$/ { if (name in want) why[name] = (reason == "" ? "(no reason given)" : reason) }
        END { for (i = 1; i <= n; i++) printf "  %s: %s\n", list[i], (list[i] in why ? why[list[i]] : "(no output kept)") }
    ' "$build/Testing/Temporary/LastTest.log"
fi
# A caller that reports the last line of a failed run gets the count.
if [ "$status" != 0 ]; then
    echo "ctest in $build: $(grep -E 'tests passed, [0-9]+ tests? failed' "$out" || echo "exit status $status")"
fi
exit "$status"
