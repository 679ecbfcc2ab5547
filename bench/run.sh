#!/bin/bash
# What a pass of the daemon costs a storage node, at 0/0, 12/12, 36/36 and
# 120/120 OSDs/bcache devices: builds the release binary and the kernel
# simulator in build-bench/, runs the unchanged binary on the simulated host
# and writes bench/results/REPORT.md and bench/results/pass-cost.png.
#
# usage (as root): bash bench/run.sh
# environment: BENCH_SCALES ("0 12 36 120"), BENCH_LONG (10000: passes of
# the memory run at 36/36; the other scales run BENCH_SHORT, 1000),
# BENCH_BEFORE (another build of the daemon, such as the last release's:
# its log budget is measured beside this one's) and BENCH_BEFORE_NAME (what
# the report calls it; its path by default).
#
# Log budget: the bytes the log grows by in a day at 36/36, in four host
# states (healthy; a bcache driver without the tuning requests; one disk
# that refuses the switch; one disk that does not answer), measured over
# passes 3 to 1442 (after the first, which switches the caches off, and the
# second, which ends what the switches said; two hours of the simulator's
# clock, which moves five seconds a pause, so that the hourly reminders
# come at their real rate) and multiplied by 12 for the 17,280 passes of a
# day.
#
# Steady pass: passes 3 onward (pass 1 builds the inventory and switches the
# caches off, pass 2 is the first with nothing changed, counted from 3 on).
# The simulator's own work is taken out of every figure (see the simulator's
# QUELVAR_SIM_* settings): a request it answers counts as the one system call
# the daemon made.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=$ROOT/build-bench
OUT=$ROOT/bench/results
SCALES=${BENCH_SCALES:-0 12 36 120}
LONG=${BENCH_LONG:-10000}
SHORT=${BENCH_SHORT:-1000}
STEADY_FROM=2   # counted passes are STEADY_FROM+1 .. STEADY_TO
STEADY_TO=22
CG_TO=8

if [ "$(id -u)" != 0 ]; then
    echo "bench: needs root for the simulated host's namespaces" >&2
    exit 77
fi

if [ -z "${BENCH_INSIDE:-}" ]; then
    bash scripts/setup.sh
    missing=()
    for package in strace valgrind gnuplot-nox perl; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
    done
    if [ "${#missing[@]}" -ne 0 ]; then
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
    fi
    cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release > /dev/null
    ninja -C "$BUILD" -j2 quelvar quelvar_kernelsim
    # The runs write thousands of small state files: a tmpfs of our own
    # keeps disk writeback out of the timings.
    mkdir -p "$BUILD/bench/work"
    BENCH_INSIDE=1 exec unshare --mount --propagation private "$0" "$@"
fi

WORK=$BUILD/bench/work
mount -t tmpfs bench "$WORK"
QUELVAR=$BUILD/src/quelvar
SIM=$BUILD/tests/support/kernelsim/quelvar_kernelsim.so
mkdir -p "$OUT"
DATA=$WORK/data
mkdir -p "$DATA"

simrun() {  # simrun SCENARIO NAME PASSES [VAR=VALUE...]: one run on the simulated host
    local scenario=$1 name=$2 passes=$3
    shift 3
    env QUELVAR_SIM_BENCH=1 QUELVAR_SIM_PAUSE_MS=0 QUELVAR_SIM_STOP_AFTER="$passes" \
        SIM_PASSES=$((passes + 1)) SIM_TIMEOUT=900 SIM_PRELOAD="$SIM" "$@" \
        bash tests/support/simhost.sh "$scenario" "$WORK/$name" "${DAEMON:-$QUELVAR}"
    [ "$(cat "$WORK/$name/status")" = 0 ] || { echo "bench: run $name failed" >&2; exit 1; }
}

# Counts the daemon's system calls per pass in an strace -f log: the
# simulator's stretches are left out, each counting as the call it stands for.
syscalls_per_pass() {  # FILE FROM TO -> "call per_pass" lines, then @min/@max totals
    awk -v from="$2" -v to="$3" '
    {
        line = $0
        sub(/^[0-9]+ +/, "", line)
        if (line ~ /^(---|\+\+\+|<\.\.\. )/) next
        p = pauses + 1
        inwin = (p > from && p <= to)
        if (index(line, "\"/.quelvar-sim/begin/") > 0) {
            call = line; sub(/.*\/\.quelvar-sim\/begin\//, "", call); sub(/".*/, "", call)
            if (call != "" && inwin) { count[call]++; total[p]++ }
            if (call == "clock_nanosleep") pauses++
            insim = 1
            next
        }
        if (index(line, "\"/.quelvar-sim/end\"") > 0) { insim = 0; next }
        if (insim) next
        name = line; sub(/\(.*/, "", name)
        if (inwin) { count[name]++; total[p]++ }
    }
    END {
        n = to - from; min = -1; max = 0
        for (q = from + 1; q <= to; q++) { t = total[q] + 0; if (min < 0 || t < min) min = t; if (t > max) max = t }
        for (c in count) printf "%s %g\n", c, count[c] / n
        printf "@min %d\n@max %d\n", min, max
    }' "$1"
}

# The floor of a steady pass by call, for N OSD directories and N bcache
# devices: four directory walks (the OSD root, /var/lib/ceph for clusters'
# roots, /dev twice: open, two reads of entries, close), an
# fsid read per OSD directory (open, read, close) and its change check (a
# stat of "type", a readlink of each of the three links), per device one
# readlink of its sysfs link, the device's open, two requests and close; the
# pause. Per guarded device (a bluestore OSD with its DB elsewhere: G of the N
# in bench/scenario.sh) also the write_cache read (open, read, close), the
# device/state read (the same) and the disk's own answer (open, one
# read-only command, close). Per bcache device that no OSD known from a
# directory lies on (W: the filestore OSDs' here, whose directories are on
# the simulated host's tmpfs) one stat of its node for the change check. In
# all, 17 + 7 N + 5 N + 9 G + W: bench/FLOOR.md gives each call's reason.
guarded_of() {  # N: every twelfth OSD is filestore, every fourth (from the second) keeps its DB
    local n=$1 i g=0
    for ((i = 0; i < n; i++)); do
        [ $((i % 12)) -ne 11 ] && [ $((i % 4)) -ne 1 ] && g=$((g + 1))
    done
    echo "$g"
}
unowned_of() {  # N: the filestore OSDs' devices
    local n=$1 i w=0
    for ((i = 0; i < n; i++)); do
        [ $((i % 12)) -eq 11 ] && w=$((w + 1))
    done
    echo "$w"
}
floor_of() {  # N CALL
    local n=$1 g w
    g=$(guarded_of "$n")
    w=$(unowned_of "$n")
    case $2 in
        openat) echo $((5 + n + n + 3 * g)) ;;
        getdents64) echo 8 ;;
        close) echo $((5 + n + n + 3 * g)) ;;
        write | rename) echo 1 ;;
        read) echo $((n + 2 * g)) ;;
        newfstatat) echo $((n + w)) ;;
        readlink) echo $((3 * n + n)) ;;
        ioctl) echo $((2 * n + g)) ;;
        clock_nanosleep) echo 1 ;;
        total) echo $((21 + 3 * n + 4 * n + 5 * n + 9 * g + w)) ;;
        *) echo 0 ;;
    esac
}

table=$DATA/table
: > "$table"
for n in $SCALES; do
    echo "== $n OSDs / $n bcache devices"
    bash bench/scenario.sh "$n" > "$DATA/steady$n.sh"
    bash bench/scenario.sh "$n" rebuild > "$DATA/rebuild$n.sh"

    # System calls and processes, steady passes.
    simrun "$DATA/steady$n.sh" "strace$n" "$STEADY_TO" QUELVAR_SIM_MARKERS=1 \
        SIM_WRAPPER="strace -f -o $DATA/strace$n.log"
    syscalls_per_pass "$DATA/strace$n.log" "$STEADY_FROM" "$STEADY_TO" > "$DATA/calls$n"
    calls=$(awk '$1 == "@max" {print $2}' "$DATA/calls$n")
    [ "$calls" = "$(awk '$1 == "@min" {print $2}' "$DATA/calls$n")" ] ||
        echo "bench: passes differ in their system calls at $n" >&2
    procs=$(awk '$1 ~ /^(clone|clone3|fork|vfork|execve)$/ {s += $2} END {print s + 0}' "$DATA/calls$n")

    # Instructions, steady passes, the simulator left uncollected.
    simrun "$DATA/steady$n.sh" "callgrind$n" "$CG_TO" QUELVAR_SIM_WINDOW="$STEADY_FROM $CG_TO" \
        SIM_WRAPPER="valgrind --tool=callgrind --trace-children=yes --trace-children-skip=/bin/sh,/usr/bin/sh,*/pvs --callgrind-out-file=$DATA/cg$n.%p"
    ir=$(awk '/^summary:/ {print $2}' "$DATA"/cg"$n".*.1)
    ir=$((ir / (CG_TO - STEADY_FROM)))
    # The zeroing of the 4 KiB path buffers, which callgrind counts a byte
    # at a time (rep stosb).
    zeroing=$(callgrind_annotate --inclusive=yes --threshold=100 "$DATA"/cg"$n".*.1 2>/dev/null |
        awk '/:memset_s\(/ && !done {gsub(",", "", $1); print $1; done = 1}')
    zeroing=$(( ${zeroing:-0} / (CG_TO - STEADY_FROM) ))

    # CPU time and memory over many passes, nothing wrapped.
    passes=$SHORT
    [ "$n" = 36 ] && passes=$LONG
    simrun "$DATA/steady$n.sh" "memory$n" "$passes"
    cp "$WORK/memory$n/state/bench.passes" "$DATA/passes$n"
    # Warm-up: the first 100 passes.
    read -r cpu rss0 rss1 hwm < <(awk 'NR == 100 {c = $2; r = $3} END {printf "%.1f %d %d %d\n", ($2 - c) / (NR - 100) / 1000, r, $3, $4}' "$DATA/passes$n")

    # A rebuild pass: a new OSD appears during the second pause; pvs takes
    # 50 ms and is asked once for the whole rebuild, whatever the scale.
    # On a loaded machine the scenario may make the new OSD only after the
    # third pass has listed its roots; that pass then rebuilds nothing (no
    # pvs run) and the run is made again, at most three times.
    for attempt in 1 2 3; do
        simrun "$DATA/rebuild$n.sh" "rebuild$n" 4 QUELVAR_SIM_PAUSE_MS=1000
        pvs=$(awk '$1 == 2 {a = $2} $1 == 3 {b = $2} END {print b - a}' "$WORK/rebuild$n/pvs.at")
        { [ "$n" = 0 ] || [ "$pvs" -gt 0 ]; } && break
        echo "bench: the third pass at $n rebuilt nothing (attempt $attempt): the new OSD came late" >&2
    done
    wall=$(awk '$1 == 3 {printf "%d", ($5 - $7) / 1e6}' "$WORK/rebuild$n/state/bench.passes")
    pvlimit=$(( n > 0 ? 1 : 0 ))

    echo "$n $calls $(floor_of "$n" total) $procs $ir $zeroing $cpu $hwm $((rss1 - rss0)) $pvs $pvlimit $wall $passes" >> "$table"
done

# --- log budget -------------------------------------------------------------------
LOG_FROM=2
LOG_TO=1442
LOG_STATES="healthy no-tuning refusing silent"
budget=$DATA/budget
: > "$budget"
log_budget() {  # LABEL BINARY: "LABEL STATE BYTES LINES" lines into $budget
    local state bytes
    for state in $LOG_STATES; do
        echo "== log budget: $1, $state"
        bash bench/scenario.sh 36 "$state" > "$DATA/log-$state.sh"
        DAEMON=$2 simrun "$DATA/log-$state.sh" "log-$1-$state" "$LOG_TO" QUELVAR_SIM_SILENCE_MS=1 \
            QUELVAR_SIM_CLOCK_STEP_S=5
        bytes=$(awk -v a=$LOG_FROM -v b=$LOG_TO '$1 == a {x = $8} $1 == b {y = $8} END {print y - x}' \
            "$WORK/log-$1-$state/state/bench.passes")
        # The lines of those passes, in the two generations read as one (a
        # single rotation loses nothing).
        lines=$(cat "$WORK/log-$1-$state/log/quelvar.log.old" "$WORK/log-$1-$state/log/quelvar.log" 2>/dev/null |
            awk -v from="$(awk -v a=$LOG_FROM '$1 == a {print $8}' "$WORK/log-$1-$state/state/bench.passes")" \
                -v bytes="$bytes" '{at += length($0) + 1} at > from && at <= from + bytes {n++} END {print n + 0}' ||
            true)
        echo "$1 $state $bytes $lines" >> "$budget"
    done
}
[ -z "${BENCH_BEFORE:-}" ] || log_budget before "$(realpath "$BENCH_BEFORE")"
log_budget after "$QUELVAR"

# --- report -----------------------------------------------------------------------
commit=$(git rev-parse --short HEAD)
[ -z "$(git status --porcelain -- src tests)" ] || commit="$commit (with uncommitted changes)"
{
    echo "# What a pass costs"
    echo
    echo "Measured by \`bash bench/run.sh\` on commit $commit, $(date -u +%Y-%m-%d), $(uname -m), $(nproc) CPUs"
    echo "(shared), release build. Steady pass: nothing changed since the last pass; figures per pass over passes"
    echo "$((STEADY_FROM + 1))-$STEADY_TO (system calls), $((STEADY_FROM + 1))-$CG_TO (instructions) and 101 to the end of the memory run (CPU)."
    echo "The simulator's own work is left out of every figure; see bench/FLOOR.md for the floor and the method."
    echo
    echo "| OSDs / devices | syscalls | floor | ratio | processes | instructions (buffer zeroing) | CPU µs | peak RSS KiB | RSS growth KiB (passes) | rebuild: pvs runs (limit) | rebuild wall ms |"
    echo "|---|---|---|---|---|---|---|---|---|---|---|"
    while read -r n calls floor procs ir zeroing cpu hwm growth pvs pvlimit wall passes; do
        ratio=$(awk -v a="$calls" -v b="$floor" 'BEGIN {printf "%.2f", a / b}')
        echo "| $n / $n | $calls | $floor | $ratio | $procs | $ir ($zeroing) | $cpu | $hwm | $growth ($passes) | $pvs ($pvlimit) | $wall |"
    done < "$table"
    echo
    echo "## Log budget"
    echo
    echo "Log bytes a day at 36 OSDs / 36 bcache devices: the growth of the log (both generations) over passes"
    echo "$((LOG_FROM + 1))-$LOG_TO (after the start-up: the first pass switches the caches off, the second ends what the"
    echo "switches said), two hours of five-second passes on the simulator's clock (so that each hourly reminder comes"
    echo "at its real rate), times 12 for the 17,280 passes of a day. The log rotates above 4,193,280 bytes and keeps"
    echo "one old generation: it holds at least a rotation's worth of history."
    [ -z "${BENCH_BEFORE:-}" ] || echo "Before: ${BENCH_BEFORE_NAME:-\`$BENCH_BEFORE\`}, measured the same way."
    echo
    echo "| host state | lines in 1440 passes | bytes a day | a rotation every |"
    echo "|---|---|---|---|"
    for state in $LOG_STATES; do
        awk -v s="$state" '$2 == s {
            day = $3 * 12
            every = day == 0 ? "never" : sprintf("%.1f days", 4193280 / day)
            if (day > 0 && 4193280 / day < 2) every = sprintf("%.1f hours", 24 * 4193280 / day)
            printf "| %s%s | %d | %d | %s |\n", s, ($1 == "before" ? ", before" : ""), $4, day, every
        }' "$budget"
    done
    for n in $SCALES; do
        echo
        echo "System calls of a steady pass at $n/$n, by call:"
        echo
        echo "| call | per pass | floor |"
        echo "|---|---|---|"
        grep -v '^@' "$DATA/calls$n" | sort -k2,2nr -k1,1 | while read -r call count; do
            echo "| $call | $count | $(floor_of "$n" "$call") |"
        done
    done
} > "$OUT/REPORT.md"

awk '{print 2 * $1, $5, $2, $3}' "$table" > "$DATA/plot.dat"
gnuplot <<PLOT
set terminal png size 900,540
set output "$OUT/pass-cost.png"
set title "quelvar: cost of a steady pass against scale"
set xlabel "OSDs + bcache devices"
set ylabel "instructions per pass"
set y2label "system calls per pass"
set ytics nomirror
set y2tics
set key left top
set grid
plot "$DATA/plot.dat" using 1:2 with linespoints title "instructions (callgrind)" axes x1y1, \
     "$DATA/plot.dat" using 1:3 with linespoints title "system calls (strace)" axes x1y2, \
     "$DATA/plot.dat" using 1:4 with lines dashtype 2 title "system-call floor" axes x1y2
PLOT
cat "$OUT/REPORT.md"
echo "plot: $OUT/pass-cost.png"
