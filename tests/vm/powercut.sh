# Power cuts on the x86-64 bed, sourced by run.sh. A scenario marked
# "# vm: power-cut" boots with its SATA, SCSI and NVMe disks served by
# nbdkit: the cache filter in write-back mode over the file plugin keeps
# every write that is neither flushed nor sent with FUA in memory, so killing
# nbdkit loses it as a power cut loses a disk's volatile cache. The guest's
# writer (guest/qvcut.c) acknowledges each completed write on QEMU's debug
# console, a host file written before the guest's port write returns. At a
# random moment nbdkit is killed, then QEMU; once nbdkit has exited the
# images are read: lost = acknowledged and not on the image.
#
# The scenario's header says what each cut does:
#   # cut stages: STAGE...   boots on the same disks, each cut (guest/cut.sh)
#   # cut disks: TAG...      sata, scsi, nvme, scsi2 (a second SCSI disk)
#   # cut count: CUTS ACKS   at least CUTS cuts and ACKS acknowledged writes a
#                            disk and stage (default 5 and 10000; at most
#                            three times CUTS cuts to reach ACKS)
# QUELVAR_VM_CUTS overrides CUTS. The host's own witness is checked beside
# the count: QMP's query-block shows each drive's write-back flag flip as the
# daemon switches it, and nbdkit's log filter shows every write after the
# flip sent with FUA.

NeedsPowerCut() {
    grep -q '^# vm: power-cut' "$GUEST/scenarios/$1.sh"
}

CutHeader() {
    sed -n "s/^# cut $2: //p" "$GUEST/scenarios/$1.sh"
}

# Each disk's block node, named as GuestDevices names its drive.
CutNode() {
    case "$1" in
    scsi2) echo scsi2 ;;
    *) echo "${1}0" ;;
    esac
}

# Polls QMP's query-block and writes a line whenever a node's write-back
# flag changes: the time (as nbdkit's log writes it), the node, the flag,
# and the size the acknowledgement file had then.
CutWatch() {
    python3 - "$@" <<'EOF'
import datetime, json, os, socket, sys, time
path, acks, out = sys.argv[1:4]
s = socket.socket(socket.AF_UNIX)
for _ in range(600):
    try:
        s.connect(path)
        break
    except OSError:
        time.sleep(0.05)
f = s.makefile("rw")
try:
    f.readline()
    f.write('{"execute": "qmp_capabilities"}\n')
    f.flush()
    f.readline()
    last = {}
    with open(out, "w", buffering=1) as o:
        while True:
            f.write('{"execute": "query-block"}\n')
            f.flush()
            r = {}
            while "return" not in r:
                line = f.readline()
                if not line:
                    sys.exit(0)
                r = json.loads(line)
            for b in r["return"]:
                i = b.get("inserted") or {}
                n, wb = i.get("node-name", ""), i.get("cache", {}).get("writeback")
                if n.startswith("#") or last.get(n) == wb:
                    continue
                last[n] = wb
                size = os.path.getsize(acks) if os.path.exists(acks) else 0
                o.write(f"{datetime.datetime.now():%Y-%m-%d %H:%M:%S.%f} {n} {str(wb).lower()} {size}\n")
            time.sleep(0.02)
except (OSError, ValueError):
    pass
EOF
}

# One boot of STAGE on the disks in IMG, cut at a random moment; appends a
# line per disk to $CUT_DIR/cuts.txt.
CutBoot() {
    local name=$1 stage=$2 n=$3 img=$4 b="$CUT_DIR/$2-$3" t run pids=() qpid wpid a args=() id
    mkdir -p "$b/share"
    ln -sfn "$b/share" "$img/share"
    run=$(printf '%04x%04x' $RANDOM $RANDOM)
    for t in $CUT_DISKS; do
        rm -f "$img/$t.sock"
        local lie=()
        [ "$stage" = liar ] && lie=(--filter=fua fuamode=discard)
        # The log filter first sees what QEMU sends; the fua filter of the
        # lying disk drops FUA and flushes before the cache sees them.
        TMPDIR=$img nbdkit -f --exit-with-parent -U "$img/$t.sock" --filter=log "${lie[@]:0:1}" --filter=cache \
            file "$img/$t.img" logfile="$b/nbd-$t.log" cache=writeback cache-min-block-size=4096 \
            "${lie[@]:1}" 2>"$b/nbdkit-$t.err" &
        pids+=($!)
    done
    for t in $CUT_DISKS; do
        local i=0
        while [ ! -S "$img/$t.sock" ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i + 1)); done
    done
    GuestDevices "$img"
    for a in "${DEVICES[@]}"; do
        case "$a" in
        if=none,id=*)
            id=${a#if=none,id=}
            id=${id%%,*}
            t=${id%0}
            if [[ " $CUT_DISKS " == *" $t "* ]]; then
                args[${#args[@]} - 1]=-blockdev
                a="driver=nbd,node-name=$id,server.type=unix,server.path=$img/$t.sock"
            fi
            ;;
        nvme,drive=nvme0,*) a="$a,write-cache=on" ;;
        esac
        args+=("$a")
    done
    if [[ " $CUT_DISKS " == *" scsi2 "* ]]; then
        # shellcheck disable=SC2054
        args+=(-blockdev "driver=nbd,node-name=scsi2,server.type=unix,server.path=$img/scsi2.sock"
            -device scsi-hd,bus=vscsi.0,drive=scsi2,vendor=QEMU,product=QVSCSI2,serial=QVSCSI2,write-cache=on)
    fi
    local limit=${QUELVAR_VM_TIMEOUT:-300} start=$SECONDS
    # No time bound of its own: the cut below ends it in any case.
    qemu-system-x86_64 \
        -nodefaults -no-reboot -machine "pc,accel=$ACCEL" -m 768 -smp 1 \
        -display none -serial "file:$b/console.log" \
        -kernel "$KDIR/vmlinuz" -initrd "$WORK/initrd" \
        -append "console=ttyS0 panic=-1 loglevel=4 rdinit=/init quelvar.scenario=$name quelvar.timeout=$limit quelvar.cut=$stage quelvar.run=$run quelvar.disks=${CUT_DISKS// /,}" \
        -chardev "file,id=acks,path=$b/acks" -device isa-debugcon,iobase=0xe9,chardev=acks \
        -qmp "unix:$img/qmp.sock,server=on,wait=off" \
        "${args[@]}" >"$b/qemu.log" 2>&1 &
    qpid=$!
    CutWatch "$img/qmp.sock" "$b/acks" "$b/qmp.txt" &
    wpid=$!
    # The cut comes at a random moment of the writing: for write-back after
    # bcache has written everything back and marked it clean.
    local marker='^G ' lo=3000 span=5000 cut=""
    case "$stage" in
    wb-*) marker='^C$' lo=0 span=1000 ;;
    cold) lo=0 span=9000 ;;
    esac
    while [ $((SECONDS - start)) -lt $((limit + 60)) ] && kill -0 "$qpid" 2>/dev/null; do
        if grep -q "$marker" "$b/acks" 2>/dev/null; then
            cut=$((lo + (RANDOM * 32768 + RANDOM) % span))
            sleep "$(printf '%d.%03d' $((cut / 1000)) $((cut % 1000)))"
            break
        fi
        sleep 0.1
    done
    kill -KILL "${pids[@]}" 2>/dev/null
    wait "${pids[@]}" 2>/dev/null
    kill -KILL "$qpid" 2>/dev/null
    wait "$qpid" 2>/dev/null
    wait "$wpid" 2>/dev/null
    Say "$name: $stage, cut $n: ${cut:-no} ms after the writer's marker, $((SECONDS - start))s"
    [ -n "$cut" ] || echo "$stage: cut $n: the writer's marker never came (console: $b/console.log)" >>"$CUT_DIR/failures"
    if grep -q '^not ok' "$b/share/output.txt" 2>/dev/null; then
        grep '^not ok' "$b/share/output.txt" | sed "s/^/$stage: cut $n: guest: /" >>"$CUT_DIR/failures"
    fi
    local node sw flip nofua fua flushes
    for t in $CUT_DISKS; do
        node=$(CutNode "$t")
        # The first flip to write-through: when, and the acknowledgements
        # written by then.
        flip=$(awk -v n="$node" '$3 == n && $4 == "false" {print $1 " " $2; exit}' "$b/qmp.txt" 2>/dev/null)
        sw=$(awk -v n="$node" '$3 == n && $4 == "false" {print $5; exit}' "$b/qmp.txt" 2>/dev/null)
        # nbdkit's log: writes after the flip without FUA, FUA writes, flushes.
        read -r nofua fua flushes < <(awk -v t="${flip:-9999}" '
            $4 == "Write" { if (/ fua=1/) f++; else if ($1 " " $2 > t) n++ }
            $4 == "Flush" { fl++ }
            END { print n + 0, f + 0, fl + 0 }' "$b/nbd-$t.log")
        echo "$stage $t $n $("$WORK/qvcut" check "$img/$t.img" "$b/acks" "$run" "$t" ${sw:+"$sw"}) switched=${flip:+yes} nofua_after=$nofua fua=$fua flushes=$flushes cut_ms=$cut" \
            >>"$CUT_DIR/cuts.txt"
    done
}

# Sums the cuts of STAGE on disk T: "cuts acked lost synced lost_synced
# window lost_after nofua_after switched_cuts".
CutSum() {
    awk -v s="$1" -v t="$2" '$1 == s && $2 == t {
        c++
        for (i = 4; i <= NF; i++) { split($i, kv, "="); v[kv[1]] += kv[2] + 0; if (kv[1] == "switched" && kv[2] == "yes") sw++ }
    } END { print c + 0, v["acked"] + 0, v["lost"] + 0, v["synced"] + 0, v["lost_synced"] + 0, v["window"] + 0,
            v["lost_after"] + 0, v["nofua_after"] + 0, sw + 0 }' "$CUT_DIR/cuts.txt"
}

# What each stage must show, over all its cuts, on disk T; a failure goes to
# $CUT_DIR/failures. Prints the table's row.
CutJudge() {
    local stage=$1 t=$2 cuts acked lost synced lostSynced window lostAfter nofua switched want
    read -r cuts acked lost synced lostSynced window lostAfter nofua switched < <(CutSum "$stage" "$t")
    local count=$acked
    case "$stage" in wb-*) count=$synced ;; esac
    Fail() { echo "$stage: $t: $*" >>"$CUT_DIR/failures"; }
    [ "$count" -ge "$CUT_MIN_ACKS" ] || Fail "$count acknowledged writes, fewer than $CUT_MIN_ACKS"
    case "$stage:$t" in
    self:scsi2 | nodaemon:* | fsync:* | wb-nodaemon:*) want=cache-on ;;
    *) want=switched ;;
    esac
    if [ "$want" = switched ]; then
        [ "$stage" = cold ] || [ "$switched" = "$cuts" ] || Fail "QMP saw the drive switched in $switched of $cuts cuts"
        [ "$nofua" = 0 ] || Fail "$nofua writes after the switch without FUA in nbdkit's log"
    else
        [ "$switched" = 0 ] || Fail "QMP saw the drive switched in $switched cuts, with no daemon to switch it"
    fi
    case "$stage:$t" in
    guarded:* | wb-daemon:* | self:scsi) [ "$lost" = 0 ] || Fail "$lost acknowledged writes lost" ;;
    cold:*) [ "$lostAfter" = 0 ] || Fail "$lostAfter writes acknowledged after the switch lost" ;;
    fsync:*) [ "$lostSynced" = 0 ] || Fail "$lostSynced writes lost before the last completed fsync" ;;
    *) [ "$lost" -gt 0 ] || Fail "nothing lost: the control must lose" ;;
    esac
    local note=""
    case "$stage" in
    cold) note="$window written before the switch" ;;
    fsync) note="$lostSynced of $synced synced lost" ;;
    esac
    echo "| $t | $stage | $cuts | $count | $lost | $note |"
}

RunPowerCutScenario() {
    local name=$1 start=$SECONDS img stage t n=0 cuts acks
    if ! command -v nbdkit >/dev/null || ! command -v python3 >/dev/null; then
        Say "FAIL $name: nbdkit and python3 are needed on the host (apt-get install nbdkit python3)"
        return 1
    fi
    CUT_DIR="$OUT/$name"
    rm -rf "$CUT_DIR"
    mkdir -p "$CUT_DIR"
    : >"$CUT_DIR/cuts.txt"
    cc -O2 -o "$WORK/qvcut" "$GUEST/qvcut.c"
    CUT_DISKS=$(CutHeader "$name" disks)
    read -r cuts acks <<<"$(CutHeader "$name" count)"
    cuts=${QUELVAR_VM_CUTS:-${cuts:-5}}
    CUT_MIN_ACKS=${acks:-10000}
    # The disks live in memory: nbdkit's FUA becomes an fdatasync, and the
    # host's own disk (shared, slow) is never asked for one.
    img=$(mktemp -d /dev/shm/quelvar-cut.XXXXXX)
    # shellcheck disable=SC2064
    trap "rm -rf '$WORK' '$img'" EXIT
    local enough=0
    while [ $n -lt "$cuts" ] || { [ "$enough" = 0 ] && [ $n -lt $((cuts * 3)) ]; }; do
        n=$((n + 1))
        for t in sata scsi nvme scsi2 cache; do
            rm -f "$img/$t.img"
            truncate -s 256M "$img/$t.img"
        done
        rm -f "$img/db.img"
        truncate -s 64M "$img/db.img"
        for stage in $(CutHeader "$name" stages); do
            CutBoot "$name" "$stage" "$n" "$img"
        done
        enough=1
        for stage in $(CutHeader "$name" stages); do
            for t in $CUT_DISKS; do
                local c
                c=$(CutSum "$stage" "$t" | awk '{print $2}')
                case "$stage" in wb-*) c=$(CutSum "$stage" "$t" | awk '{print $4}') ;; esac
                [ "$c" -ge "$CUT_MIN_ACKS" ] || enough=0
            done
        done
    done
    rm -rf "$img"
    # shellcheck disable=SC2064
    trap "rm -rf '$WORK'" EXIT
    {
        echo "| disk | run | cuts | acknowledged | lost | |"
        echo "|---|---|---|---|---|---|"
        for stage in $(CutHeader "$name" stages); do
            for t in $CUT_DISKS; do CutJudge "$stage" "$t"; done
        done
    } >"$CUT_DIR/table.md"
    sed 's/^/    /' "$CUT_DIR/table.md"
    if [ -s "$CUT_DIR/failures" ]; then
        sed 's/^/    not ok - /' "$CUT_DIR/failures"
        Say "FAIL $name: $(wc -l <"$CUT_DIR/failures") failed checks ($((SECONDS - start))s, results in $CUT_DIR)"
        return 1
    fi
    Say "PASS $name ($((SECONDS - start))s)"
}
