#!/bin/bash
# Runs the daemon on a real kernel in QEMU (tests/vm). Usage:
#   bash .ci/vm.sh PATH_TO_QUELVAR_BINARY
#   bash .ci/vm.sh --arm64 PATH_TO_CROSS_BUILT_QUELVAR [SCENARIO...]
# Installs the host packages the test bed needs when they are missing.
# Runs every scenario; QUELVAR_VM_FULL=0 keeps to those that need no daemon features.
# --arm64 boots Debian's arm64 kernel under software emulation and runs the
# SATA, SCSI and scsi_debug bluestore cases in one boot (bluestore-combined),
# or the scenarios named.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
arm64=0
if [ "${1:-}" = --arm64 ]; then
    arm64=1
    shift
fi
[ $# -eq 1 ] || { [ "$arm64" = 1 ] && [ $# -ge 1 ]; } ||
    { echo "usage: bash .ci/vm.sh [--arm64] PATH_TO_QUELVAR_BINARY (with --arm64: [SCENARIO...])" >&2; exit 64; }

need=""
for pair in qemu-system-x86_64:qemu-system-x86 busybox:busybox-static lvm:lvm2 make-bcache:bcache-tools \
    depmod:kmod dmsetup:dmsetup cpio:cpio sg_modes:sg3-utils sdparm:sdparm hdparm:hdparm cc:gcc debootstrap:debootstrap \
    nbdkit:nbdkit python3:python3; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need="$need ${pair#*:}"
done
# arm64 takes its tools from the arm64 builds of the packages above.
if [ "$arm64" = 1 ]; then
    for pair in qemu-system-aarch64:qemu-system-arm aarch64-linux-gnu-gcc:gcc-aarch64-linux-gnu make:make xz:xz-utils; do
        command -v "${pair%%:*}" >/dev/null 2>&1 || need="$need ${pair#*:}"
    done
fi
# Debian's plain busybox is dynamic; the guest needs the static one.
if command -v busybox >/dev/null 2>&1; then
    case "$(ldd "$(command -v busybox)" 2>&1 || true)" in
    *"not a dynamic"*) ;;
    *) need="$need busybox-static" ;;
    esac
fi
if [ -n "$need" ]; then
    echo "vm: installing$need"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $need >/dev/null
fi

if [ "$arm64" = 1 ]; then
    binary=$1
    shift
    [ $# -gt 0 ] || set -- bluestore-combined
    exec bash tests/vm/run.sh --arch arm64 "$binary" "$@"
fi
full=()
[ "${QUELVAR_VM_FULL:-1}" = 1 ] && full=(--full)
exec bash tests/vm/run.sh "${full[@]}" "$1"
