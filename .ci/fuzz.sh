#!/usr/bin/env bash
# Builds the libFuzzer harnesses of tests/fuzz with clang (ASan and UBSan)
# and runs each on its seed corpus for a bounded time, two at a time. A
# crash, a leak, a UBSan report, a timeout or running out of memory fails
# the run; the last line says which harness failed and how. Also usable by
# hand from the repository root:  bash .ci/fuzz.sh
#
# QUELVAR_FUZZ_BUILD_DIR  build directory (default build-fuzz)
# QUELVAR_FUZZ_SECONDS    seconds per harness (default 30)
# QUELVAR_FUZZ_ONLY       run only these harnesses (space-separated names)
set -uo pipefail

cd "$(dirname "$0")/.." || exit 1
build=${QUELVAR_FUZZ_BUILD_DIR:-build-fuzz}
seconds=${QUELVAR_FUZZ_SECONDS:-30}
read -r -a harnesses <<< "${QUELVAR_FUZZ_ONLY:-scsi_fuzz lvm_fuzz osdfile_fuzz logtext_fuzz policy_fuzz label_fuzz}"
work=$build/fuzz

# --- tools: clang, and libFuzzer, which Debian 12 ships with clang-14's runtime
packages=(cmake ninja-build clang libclang-rt-14-dev)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || missing+=("$package")
done
if [ "${#missing[@]}" -ne 0 ]; then
    apt-get -o DPkg::Lock::Timeout=600 update -qq
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
        "${missing[@]}" || { echo "fuzz: FAIL could not install ${missing[*]}"; exit 1; }
fi

# --- build -----------------------------------------------------------------------
if ! { cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DQUELVAR_FUZZ=ON \
        -DQUELVAR_BUILD_TESTS=OFF > /dev/null && ninja -C "$build" -j2 fuzzers; }; then
    echo "fuzz: FAIL the harnesses did not build"
    exit 1
fi

# --- run ---------------------------------------------------------------------------
# Each harness adds what it finds to a working corpus in the build directory,
# never to the seeds in the tree.
run() {  # run NAME: exits with the harness's status, its output in $work/NAME.log
    local name=$1
    mkdir -p "$work/corpus/$name" "$work/artifacts"
    "$build/tests/fuzz/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$work/artifacts/$name-" -print_final_stats=1 \
        "$work/corpus/$name" "tests/fuzz/corpus/$name" > "$work/$name.log" 2>&1
}

# What went wrong, from the harness's own report.
verdict() {  # verdict LOG
    local log=$1
    if grep -q 'ERROR: LeakSanitizer' "$log"; then echo "leak"
    elif grep -q 'runtime error:' "$log"; then echo "UBSan report"
    elif grep -q 'ERROR: libFuzzer: timeout' "$log"; then echo "timeout"
    elif grep -q 'out-of-memory' "$log"; then echo "out of memory"
    elif grep -q 'ERROR: AddressSanitizer' "$log"; then echo "AddressSanitizer report"
    elif grep -q 'broken promise' "$log"; then grep -m1 -o 'broken promise: .*' "$log"
    elif grep -q 'deadly signal' "$log"; then echo "crash"
    else echo "exit status $2"
    fi
}

rm -rf "$work/artifacts"
mkdir -p "$work"
failed=()
for ((i = 0; i < ${#harnesses[@]}; i += 2)); do
    pair=("${harnesses[@]:i:2}")
    pids=()
    for name in "${pair[@]}"; do
        run "$name" &
        pids+=($!)
    done
    for j in "${!pair[@]}"; do
        name=${pair[$j]}
        wait "${pids[$j]}"
        status=$?
        log=$work/$name.log
        runs=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | grep -o '[0-9]*$' || true)
        if [ "$status" -eq 0 ]; then
            echo "ok   - $name: ${runs:-?} runs in ${seconds} s"
        else
            why=$(verdict "$log" "$status")
            artifact=$(find "$work/artifacts" -name "$name-*" -print -quit 2>/dev/null)
            echo "FAIL - $name: $why${artifact:+, input $artifact}"
            tail -n 40 "$log"
            failed+=("$name: $why${artifact:+ ($artifact)}")
        fi
    done
done

if [ "${#failed[@]}" -ne 0 ]; then
    echo "fuzz: FAIL ${failed[*]}"
    exit 1
fi
echo "fuzz: PASS ${#harnesses[@]} harnesses, ${seconds} s each"
