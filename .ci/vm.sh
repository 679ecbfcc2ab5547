#!/bin/bash
# Runs the daemon on a real kernel in QEMU (tests/vm). Usage:
#   bash .ci/vm.sh PATH_TO_QUELVAR_BINARY
# Installs the host packages the test bed needs when they are missing.
# Runs every scenario; QUELVAR_VM_FULL=0 keeps to those that need no daemon features.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
[ $# -eq 1 ] || { echo "usage: bash .ci/vm.sh PATH_TO_QUELVAR_BINARY" >&2; exit 64; }

need=""
for pair in qemu-system-x86_64:qemu-system-x86 busybox:busybox-static lvm:lvm2 make-bcache:bcache-tools \
    depmod:kmod dmsetup:dmsetup cpio:cpio sg_modes:sg3-utils sdparm:sdparm hdparm:hdparm cc:gcc; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || need="$need ${pair#*:}"
done
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

full=()
[ "${QUELVAR_VM_FULL:-1}" = 1 ] && full=(--full)
exec bash tests/vm/run.sh "${full[@]}" "$1"
