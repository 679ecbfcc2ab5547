#!/usr/bin/env bash
# Builds the quelvar package for amd64 and, cross-built, for arm64, and checks
# what an operator would get: lintian without errors, the unit through
# systemd-analyze, the manual page through man's own warnings, the file list
# of both packages, and a short run of the packaged daemon in private mounts
# whose every log line must be explained in quelvar(8).
#
#   bash .ci/package.sh            as root; installs missing build tools
#
#   QUELVAR_PKG_OUT=dir     where the packages are left (default out/pkg)
#   QUELVAR_PKG_CHECK=1     also run the test suite inside the amd64 build
#   QUELVAR_PKG_KEEP=1      keep the scratch directory with the build logs
set -euo pipefail

started=$SECONDS
tree=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${QUELVAR_PKG_OUT:-$tree/out/pkg}
work=$(mktemp -d /tmp/quelvar-pkg.XXXXXX)
if [[ ${QUELVAR_PKG_KEEP:-0} == 1 ]]; then
    echo "scratch directory kept: $work"
else
    trap 'rm -rf "$work"' EXIT
fi

fail() {
    echo "package.sh: FAILED: $*" >&2
    exit 1
}

step() {
    echo "== $* ($((SECONDS - started)) s)"
}

[[ $(id -u) == 0 ]] || fail "run as root: tools are installed and the checks use private mounts"

# --- tools ----------------------------------------------------------------

apt_get() {
    DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -q "$@"
}

# The build tools may pull in newer versions of packages the host already
# has. A newer version from the host's own Debian release (a point release or
# a security update) is what the host receives anyway, so it is let through
# and shown. Anything else would change what the host runs on in a way nobody
# asked for: a removal, a downgrade, or a version from another release or
# archive (an essential package from elsewhere above all). That is refused
# and left to a person.
#   judge_changes < "apt-get -s install" output; 0 when nothing is refused
judge_changes() {
    local release line name old new origins origin o ours refused=0
    release=$(. /etc/os-release && echo "$VERSION_ID")
    while IFS= read -r line; do
        if [[ $line == "Remv "* ]]; then
            echo "refused, a removal: $line"
            refused=1
        elif [[ $line =~ ^Inst\ [^\ ]+\ \[ ]]; then
            # Inst NAME [OLD] (NEW ORIGIN[, ORIGIN...] [ARCH]) ...
            IFS='|' read -r name old new origins < <(sed -E \
                's/^Inst ([^ ]+) \[([^]]+)\] \(([^ ]+) ([^[]*)\[.*$/\1|\2|\3|\4/' <<<"$line")
            ours=0
            IFS=',' read -ra origin <<<"$origins"
            for o in "${origin[@]}"; do
                o=${o# }
                [[ $o =~ ^Debian(-Security)?:${release}(\.[0-9]+)?/ ]] && ours=1
            done
            if ! dpkg --compare-versions "$new" gt "$old" 2>/dev/null; then
                echo "refused, not an upgrade: $line"
                refused=1
            elif ((ours == 0)); then
                echo "refused, not from Debian $release's own archive: $line"
                refused=1
            else
                echo "upgrading $name $old -> $new (${origins% })"
            fi
        fi
    done
    return "$refused"
}

apt_updated=0
install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    ((${#missing[@]} == 0)) && return 0
    if ((apt_updated == 0)); then
        apt_get update >/dev/null
        apt_updated=1
    fi
    local plan
    plan=$(apt_get -s install --no-install-recommends "${missing[@]}") || fail "apt-get cannot plan installing ${missing[*]}"
    judge_changes <<<"$plan" || fail "installing ${missing[*]} would change installed packages (above); do it by hand"
    echo "installing ${missing[*]}"
    apt_get install -y --no-install-recommends "${missing[@]}" >/dev/null
}

step "build tools"
install_missing build-essential dpkg-dev debhelper cmake ninja-build g++ lintian systemd man-db groff-base \
    binutils crossbuild-essential-arm64
if [[ ${QUELVAR_PKG_CHECK:-0} == 1 ]]; then
    install_missing libgtest-dev libgmock-dev
fi
# dpkg-shlibdeps works out a cross-built binary's dependencies from the
# host architecture's own libc6 and libstdc++6 packages; the -cross copies
# that the compiler links against carry no usable shlibs for that.
if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    echo "adding the arm64 architecture to dpkg"
    dpkg --add-architecture arm64
    apt_updated=0
fi
install_missing libc6:arm64 libstdc++6:arm64

# --- build ----------------------------------------------------------------

version=$(dpkg-parsechangelog -l "$tree/debian/changelog" -S Version)
src=$work/quelvar-$version
mkdir -p "$src"
# Exactly what is (or would be) committed, without build directories.
(cd "$tree" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [[ -e $f ]] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -C "$src" -xf -

build() {
    local arch=$1 log=$work/build-$1.log
    shift
    step "dpkg-buildpackage $arch"
    if ! (cd "$src" && dpkg-buildpackage -us -uc -b "$@" >"$log" 2>&1); then
        tail -40 "$log" >&2
        fail "build for $arch (log: $log)"
    fi
}

if [[ ${QUELVAR_PKG_CHECK:-0} == 1 ]]; then
    DEB_BUILD_OPTIONS="parallel=2" build amd64
else
    DEB_BUILD_OPTIONS="nocheck parallel=2" build amd64 -Pnocheck
fi
# Cross builds never run the tests: they would need an arm64 GoogleTest and
# an arm64 machine.
DEB_BUILD_OPTIONS="nocheck parallel=2" build arm64 -a arm64 -Pcross,nocheck

# --- lintian --------------------------------------------------------------

for arch in amd64 arm64; do
    step "lintian $arch"
    lintian --fail-on error --display-level '>=info' "$work/quelvar_${version}_$arch.changes" 2>&1 |
        grep -v 'running with root privileges' || true
    lintian --fail-on error -q "$work/quelvar_${version}_$arch.changes" >/dev/null 2>&1 ||
        fail "lintian reports errors for $arch"
done

# --- contents -------------------------------------------------------------

expected_files="-rw-r--r-- root/root ./lib/systemd/system/ceph-@.service.d/quelvar.conf
-rw-r--r-- root/root ./lib/systemd/system/quelvar-metrics.service
-rw-r--r-- root/root ./lib/systemd/system/quelvar-metrics.timer
-rw-r--r-- root/root ./lib/systemd/system/quelvar.service
-rwxr-xr-x root/root ./usr/lib/quelvar/osd-wait
-rwxr-xr-x root/root ./usr/sbin/quelvar
-rw-r--r-- root/root ./usr/share/doc/quelvar/README.md
-rw-r--r-- root/root ./usr/share/doc/quelvar/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/quelvar/copyright
-rw-r--r-- root/root ./usr/share/man/man8/quelvar.8.gz"

check_package() {
    local arch=$1 machine=$2 deb=$work/quelvar_${version}_$1.deb root=$work/root-$1
    step "contents of the $arch package"
    # dh_compress decides by size whether the README is compressed.
    diff -u <(echo "$expected_files" | sort -k3) \
        <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $1, $2, $6}' | sed 's#README\.md\.gz$#README.md#' | sort -k3) ||
        fail "unexpected file list in $deb"
    dpkg-deb -f "$deb" Depends | grep -qw lvm2 || fail "$deb does not depend on lvm2"
    mkdir -p "$root" "$work/control-$arch"
    dpkg-deb -x "$deb" "$root"
    dpkg-deb -e "$deb" "$work/control-$arch"
    grep -q 'deb-systemd-helper.*enable.*quelvar.service' "$work/control-$arch/postinst" ||
        fail "postinst does not enable quelvar.service"
    # Shipped disabled: the timer is enabled again on upgrade only where an
    # operator enabled it, and never started by the package.
    grep -q "deb-systemd-helper debian-installed 'quelvar-metrics.timer'" "$work/control-$arch/postinst" ||
        fail "postinst enables the metrics timer, which ships disabled"
    ! grep -q 'deb-systemd-invoke.*quelvar-metrics' "$work/control-$arch/postinst" ||
        fail "postinst starts the metrics timer, which ships disabled"
    grep -q 'rm -rf /var/log/quelvar' "$work/control-$arch/postrm" || fail "postrm does not remove the logs on purge"
    grep -q 'rm -f /var/lib/prometheus/node-exporter/quelvar.prom ' "$work/control-$arch/postrm" ||
        fail "postrm does not remove the metrics file on purge"
    readelf -h "$root/usr/sbin/quelvar" | grep -q "Machine: *$machine" || fail "$arch binary is not for $machine"
}
check_package amd64 'Advanced Micro Devices X86-64'
check_package arm64 'AArch64'
root=$work/root-amd64

# --- unit -----------------------------------------------------------------

step "systemd-analyze verify"
# The units name /usr/sbin/quelvar and man:quelvar(8); both are taken from the
# package's root rather than the host. verify warns without failing, so any
# output at all is a failure.
verify_output=$(unshare -m --propagation private sh -c \
    'mount --bind "$1/usr/sbin" /usr/sbin && cd "$1/lib/systemd/system" &&
     MANPATH="$1/usr/share/man" systemd-analyze verify "$PWD/quelvar.service" "$PWD/quelvar-metrics.service" "$PWD/quelvar-metrics.timer"' \
    sh "$root" 2>&1) || fail "systemd-analyze verify: $verify_output"
[[ -z $verify_output ]] || fail "systemd-analyze verify: $verify_output"
systemd-analyze security --offline=true --no-pager "$root/lib/systemd/system/quelvar.service" 2>&1 | tail -1

# --- the OSD drop-in ---------------------------------------------------------

step "the OSD drop-in"
# systemd itself says which units the drop-in reaches: an OSD's, as Ceph and
# as cephadm name it, and no unit of another name. The helper's own cases run
# in the end-to-end suite (osd_wait_bounded).
dropins=$work/dropins
mkdir -p "$dropins"
cp -r "$root/lib/systemd/system/ceph-@.service.d" "$dropins/"
# Its helper named where nothing is, and no longer optional, so that verify
# names it for each unit the drop-in reaches.
sed -i 's#=-/usr/lib/quelvar/osd-wait#=/nonexistent/osd-wait#' "$dropins/ceph-@.service.d/quelvar.conf"
for template in ceph-osd@ ceph-6c3e1f0a-8d2b-4f7e-9a1c-2b3d4e5f6a7b@ ceph-crash; do
    printf '[Service]\nExecStart=/bin/true\n' >"$dropins/$template.service"
done
for unit in ceph-osd@3.service ceph-6c3e1f0a-8d2b-4f7e-9a1c-2b3d4e5f6a7b@osd.3.service ceph-crash.service; do
    reached=no
    said=$(cd "$dropins" && SYSTEMD_UNIT_PATH=$dropins: systemd-analyze verify "$unit" 2>&1) || true
    [[ $said != *"osd-wait is not executable"* ]] || reached=yes
    case "$unit:$reached" in
    ceph-crash.service:no | *@*:yes) ;;
    *) fail "the drop-in reaches $unit: $reached" ;;
    esac
done

# --- manual page ----------------------------------------------------------

step "man page"
page=$root/usr/share/man/man8/quelvar.8.gz
man_warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
[[ -z $man_warnings ]] || fail "man reports: $man_warnings"
MANWIDTH=80 man -l "$page" 2>/dev/null | grep -q '^MESSAGES' || fail "man -l does not render the MESSAGES section"

# --- a short run of the packaged daemon --------------------------------------

step "sample run"
# Empty /dev, /run, /var/lib and /var/log in a private mount namespace: no
# real disk, OSD, log or view is touched. SIGTERM after two seconds ends the first pause.
unshare -m --propagation private sh -c '
    mount -t tmpfs -o mode=0755 none /var/log &&
    mount -t tmpfs -o mode=0755 none /var/lib &&
    mount -t tmpfs -o mode=0755 none /dev &&
    mount -t tmpfs -o mode=0755 none /run || exit 99
    # The report first: on this empty host it cannot read the OSDs (3), and
    # it leaves no log directory behind.
    mkdir -p /var/lib/prometheus/node-exporter
    "$1/usr/sbin/quelvar" --status --prometheus=/var/lib/prometheus/node-exporter/quelvar.prom
    echo $? >"$2/report.status"
    cp /var/lib/prometheus/node-exporter/quelvar.prom "$2/report.prom"
    [ -e /var/log/quelvar ] && echo made >"$2/report.logdir"
    timeout --preserve-status -s TERM 2 "$1/usr/sbin/quelvar" >"$2/run.stdout" 2>&1
    echo $? >"$2/run.status"
    cp /var/log/quelvar/quelvar.log "$2/run.log"
' sh "$root" "$work" || fail "could not set up the private mounts for the sample run"
[[ $(cat "$work/report.status") == 3 ]] || fail "quelvar --status on an empty host exited with $(cat "$work/report.status")"
grep -qx 'quelvar_status 3' "$work/report.prom" || fail "the metrics file lacks quelvar_status 3"
[[ ! -e $work/report.logdir ]] || fail "quelvar --status made /var/log/quelvar"
usage_status=0
"$root/usr/sbin/quelvar" --bogus 2>/dev/null || usage_status=$?
[[ $usage_status == 64 ]] || fail "an unknown option gave exit status $usage_status, not 64"
"$root/usr/sbin/quelvar" --version | grep -qx "quelvar ${version%-*}" || fail "--version does not give ${version%-*}"
[[ $(cat "$work/run.status") == 0 ]] || fail "the daemon exited with $(cat "$work/run.status")"
[[ ! -s $work/run.stdout ]] || fail "the daemon printed: $(cat "$work/run.stdout")"
sed 's/^\[[^]]*\]\[process([0-9]*)\]//' "$work/run.log" >"$work/run.messages"
head -1 "$work/run.messages" | grep -qx '\[INFO\]\[quelvar start\]' || fail "the log does not begin with quelvar start"
tail -1 "$work/run.messages" | grep -qx '\[INFO\]\[quelvar stop\]' || fail "the log does not end with quelvar stop"
# Every entry "\fB[LEVEL][message]\fR" of the page becomes a pattern for the
# lines it explains.
zcat "$page" | sed -n 's/^\\fB\(\[[A-Za-z]*\]\[.*\]\)\\fR$/\1/p' |
    sed -e 's/\\-/-/g; s/\\(dq/"/g; s/\\&//g; s/\\e/\\/g' \
        -e 's/[][\.*^$+?(){}|]/\\&/g' \
        -e 's/%s/.*/g; s/%zu/[0-9]+/g; s/%llu/[0-9]+/g; s/%u/[0-9]+/g; s/%d/-?[0-9]+/g; s/%p/.*/g' >"$work/page.patterns"
grep_status=0
unexplained=$(grep -Evx -f "$work/page.patterns" "$work/run.messages") || grep_status=$?
case $grep_status in
1) ;;
0) fail "log lines not explained in quelvar(8):
$unexplained" ;;
*) fail "the patterns made from quelvar(8) do not work (grep status $grep_status)" ;;
esac
sed 's/^/    /' "$work/run.log"

# --- results --------------------------------------------------------------

mkdir -p "$out"
cp "$work"/*.deb "$out"/
step "done: $(cd "$out" && echo *.deb)"
echo "package.sh: packages in $out, took $((SECONDS - started)) s"
