#!/bin/bash
# Builds quelvar and runs the whole test suite: unit tests, and the
# end-to-end tests of the real binary on a simulated host (as root).
# BUILD_DIR and CMAKE_ARGS select another build (for example a sanitizer build).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
build=${BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja ${CMAKE_ARGS:-} > /dev/null
ninja -C "$build"
bash scripts/ctest.sh "$build" --output-on-failure -j2
