#!/bin/bash
# Builds quelvar and runs the unchanged binary for two passes on a sample
# simulated host (as root): a storage node with two bcache devices over
# write-back disks (one SATA, one SCSI), a bluestore OSD directly on bcache0,
# a bluestore OSD on LVM over bcache1, a filestore OSD. Shows the log, what
# each device received, and each disk's cache before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja > /dev/null
ninja -C build quelvar quelvar_kernelsim
out=${DEMO_OUT:-/tmp/quelvar-demo}
SIM_PASSES=2 SIM_PRELOAD="$PWD/build/tests/support/kernelsim/quelvar_kernelsim.so" \
    bash tests/support/simhost.sh tests/e2e/scenarios/sample.sh "$out" build/src/quelvar
echo
echo "== quelvar ran $(cat "$out/passes") passes and exited with status $(cat "$out/status"); its log:"
cat "$out/log/quelvar.log"
echo
echo "== what the devices received, pass by pass (SG_IO: the CDB's bytes):"
cat "$out/state/all.trace"
echo
echo "== each disk's volatile write cache, as the block layer reports it:"
for before in "$out"/state/*.write_cache.before; do
    disk=$(basename "$before" .write_cache.before)
    printf '  %-8s before: %-14s after: %s\n' "$disk" "$(cat "$before")" "$(cat "$out/state/$disk.write_cache")"
done
