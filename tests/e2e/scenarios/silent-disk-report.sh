# The silent-disk host, with the report asked while the daemon pauses after
# its third pass (sdd silent, sde offline): report.during, and how long it
# took in report.during.ms.
. "${SCENARIO%/*}/silent-disk.sh"
eval "$(declare -f on_pass | sed '1s/on_pass/silent_disk_pass/')"
on_pass() {
    silent_disk_pass "$1"
    if [ "$1" = 3 ]; then
        local t0
        t0=$(date +%s%N)
        report during
        echo $((($(date +%s%N) - t0) / 1000000)) > "$OUTDIR/report.during.ms"
    fi
}
