# quelvar --status agrees with the disks and the kernel, before and after a
# pass: the SATA disk on AHCI under a bluestore OSD with its DB on another
# disk (guarded), the SCSI disk on virtio-scsi under a bluestore OSD whose
# DB is its block volume (not guarded). The report reads WCE as sdparm does
# and the mode as queue/write_cache shows it, changes no disk and logs
# nothing.
sata=$(DiskByModel QVSATA)
scsi=$(DiskByModel QVSCSI)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bc_sata=$(MakeBacking "$sata" "$cset")
bc_scsi=$(MakeBacking "$scsi" "$cset")
BluestoreOsdOnLvm 0 "$bc_sata" "/dev/$(DiskBySerial QVDB)"
BluestoreOsdOnLvm 1 "$bc_scsi" same

# The metrics form is the easiest for busybox to read; the text is shown.
Report() {
    /usr/sbin/quelvar --status --prometheus >/tmp/report.prom 2>/tmp/report.err
    REPORT_STATUS=$?
    /usr/sbin/quelvar --status >/tmp/report.txt 2>&1
    sed 's/^/  | /' /tmp/report.txt /tmp/report.err
}
# Metric NAME BCACHE [SOURCE]: the sample's value.
Metric() {
    grep "^$1{bcache=\"$2\"" /tmp/report.prom | grep -F "${3:+source=\"$3\"}" | awk '{print $NF}'
}
# The kernel's view as the metric encodes it.
KernelValue() {
    case "$(WriteCacheAttr "$1")" in
    "write back") echo 1 ;;
    "write through") echo 0 ;;
    *) echo -1 ;;
    esac
}
# Both disks, as the report and as sdparm and sysfs see them.
Agrees() {
    local bc=$1 disk=$2
    Check "$disk: the disk's answer is sdparm's WCE $(Wce "$disk")" [ "$(Metric quelvar_disk_write_cache "$bc" disk)" = "$(Wce "$disk")" ]
    Check "$disk: the kernel's view is queue/write_cache '$(WriteCacheAttr "$disk")'" \
        [ "$(Metric quelvar_disk_write_cache "$bc" kernel)" = "$(KernelValue "$disk")" ]
}

Say "before: $(State "$sata"); $(State "$scsi")"
Report
Check "before a pass: exit status 2" [ "$REPORT_STATUS" = 2 ]
Check "the guarded SATA disk is UNPROTECTED" [ "$(Metric quelvar_disk_verdict "$bc_sata")" = 2 ]
Check "the SCSI disk is not guarded" [ "$(Metric quelvar_disk_verdict "$bc_scsi")" = 1 ]
Agrees "$bc_sata" "$sata"
Agrees "$bc_scsi" "$scsi"
Check "the AHCI disk's transport is SATA" grep -qE "^$bc_sata +$sata +SATA " /tmp/report.txt
Check "the virtio-scsi disk's is SCSI/SAS" grep -qE "^$bc_scsi +$scsi +SCSI/SAS " /tmp/report.txt
Check "the report left both caches on" [ "$(Wce "$sata")$(Wce "$scsi")" = 11 ]
Check "the report made no log directory" [ ! -e /var/log/quelvar ]

StartDaemon
Check "the pass switches the SATA disk" WaitLog "[INFO][change config of $sata succeed]" 1 30
StopDaemon
lines=$(wc -l <"$LOG")

Say "after: $(State "$sata"); $(State "$scsi")"
Report
Check "after a pass: exit status 0" [ "$REPORT_STATUS" = 0 ]
Check "the SATA disk is protected" [ "$(Metric quelvar_disk_verdict "$bc_sata")" = 0 ]
Check "the SCSI disk is still not guarded" [ "$(Metric quelvar_disk_verdict "$bc_scsi")" = 1 ]
Agrees "$bc_sata" "$sata"
Agrees "$bc_scsi" "$scsi"
Check "the report added no log line" [ "$(wc -l <"$LOG")" = "$lines" ]
Check "nothing on standard error" [ ! -s /tmp/report.err ]
ShowLog
CheckOrderlyStop
