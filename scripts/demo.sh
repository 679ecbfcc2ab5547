#!/bin/bash
# Builds quelvar and runs it on a sample simulated host (as root): a small
# storage node with bcache devices, OSDs and write-back disks. Shows the log.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build -G Ninja > /dev/null
ninja -C build quelvar
out=${DEMO_OUT:-/tmp/quelvar-demo}
SIM_PASSES=1 bash tests/support/simhost.sh tests/e2e/scenarios/sample.sh "$out" build/src/quelvar
echo "== quelvar exited with status $(cat "$out/status"); its log:"
cat "$out/log/quelvar.log"
