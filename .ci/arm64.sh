#!/usr/bin/env bash
# Cross-builds the daemon, its library and its unit tests for aarch64 and runs
# the tests as arm64 binaries under qemu-user. Called by .ci/run; also usable
# by hand from the repository root:  bash .ci/arm64.sh
#
# Everything comes from Debian: the cross compiler, the emulator and the
# GoogleTest sources, which are built here for the target.
#
# QUELVAR_ARM64_BUILD_DIR  build directory (default build-arm64)
# QUELVAR_ARM64_JOBS       parallel build and test jobs (default 2)
set -euo pipefail

cd "$(dirname "$0")/.."
root=$PWD
build=${QUELVAR_ARM64_BUILD_DIR:-build-arm64}
jobs=${QUELVAR_ARM64_JOBS:-2}
toolchain=$root/cmake/toolchain-aarch64.cmake
gtest_src=/usr/src/googletest
gtest_build=$build/googletest-build
gtest_prefix=$root/$build/googletest

step() { printf '\n== arm64: %s\n' "$*"; }

# --- tools -------------------------------------------------------------------
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
command -v qemu-aarch64-static >/dev/null || missing+=(qemu-user-static)
[ -f "$gtest_src/CMakeLists.txt" ] || missing+=(googletest)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v readelf >/dev/null || missing+=(binutils)
if [ ${#missing[@]} -gt 0 ]; then
    step "installing ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# --- GoogleTest for the target -------------------------------------------------
if [ ! -f "$gtest_prefix/lib/cmake/GTest/GTestConfig.cmake" ]; then
    step "building GoogleTest from $gtest_src for aarch64"
    mkdir -p "$build"
    gtest_log=$build/googletest-build.log
    if ! { cmake -S "$gtest_src" -B "$gtest_build" -G Ninja \
               -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
               -DCMAKE_BUILD_TYPE=Release \
               -DCMAKE_INSTALL_PREFIX="$gtest_prefix" \
               -DCMAKE_INSTALL_LIBDIR=lib &&
           ninja -C "$gtest_build" -j"$jobs" install; } >"$gtest_log" 2>&1; then
        cat "$gtest_log" >&2
        exit 1
    fi
fi

# --- daemon, library, tests ---------------------------------------------------------
step "configuring $build"
cmake -S . -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_PREFIX_PATH="$gtest_prefix" >/dev/null

step "building"
ninja -C "$build" -j"$jobs"

# A native binary slipping into this tree would pass its tests without proving
# anything about the target.
machine=$(readelf -h "$build/src/quelvar" | sed -n 's/^ *Machine: *//p')
if [ "$machine" != "AArch64" ]; then
    echo "arm64: $build/src/quelvar is built for '$machine', not AArch64" >&2
    exit 1
fi

step "testing under $(qemu-aarch64-static --version | head -n1)"
bash scripts/ctest.sh "$build" --output-on-failure -j"$jobs"
