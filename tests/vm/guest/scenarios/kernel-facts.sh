# What the real kernel and real disks do with each request the daemon makes,
# asked directly (qvprobe, sdparm, hdparm) without the daemon. These are the
# facts the simulated disks and the simulated bcache driver must honour.
sata=$(DiskByModel QVSATA)
scsi=$(DiskByModel QVSCSI)
LoadScsiDebug >/dev/null
sdebug=$(DiskByModel scsi_debug)
cset=$(MakeCacheSet "$(DiskBySerial QVCACHE)")
bcsata=$(MakeBacking "$sata" "$cset")
bcscsi=$(MakeBacking "$scsi" "$cset")
bcdebug=$(MakeBacking "$sdebug" "$cset")
Say "disks: sata=$sata scsi=$scsi scsi_debug=$sdebug; bcache over them: $bcsata $bcscsi $bcdebug"
# Where each disk's controller sits in sysfs differs between machines.
Say "machine $(uname -m), kernel $(uname -r)"
for d in /sys/block/sd* /sys/block/vd* /sys/block/nvme*; do
    [ -e "$d" ] && Say "sysfs: $(basename "$d") -> $(readlink -f "$d")"
done

# Runs the probe, shows its answer and keeps it for Has.
Probe() { out=$(qvprobe "$@" 2>&1); echo "$out" | sed 's/^/  > /'; }
Has() { echo "$out" | grep -q -- "$1"; }
Rescan() { echo 1 >"/sys/block/$1/device/rescan"; }
# Back to WCE 1 with the kernel's view refreshed and no attention pending.
Restore() {
    sdparm -q --set=WCE "/dev/$1" >/dev/null 2>&1
    Rescan "$1"
    qvprobe cdb "/dev/$1" 00 00 00 00 00 00 >/dev/null
}
Tur() { Probe cdb "/dev/$1" 00 00 00 00 00 00; }
Ata16() { Probe cdb "/dev/$1" 85 06 20 00 82 00 00 00 00 00 00 00 00 40 ef 00; }
Ata12() { Probe cdb "/dev/$1" a1 06 20 82 00 00 00 00 40 ef 00 00; }

# Mainline bcache has no private requests: it hands unknown ones to the
# backing disk's driver, so the error is the backing disk's.
for pair in "$bcsata:25:SATA" "$bcscsi:22:virtio-scsi" "$bcdebug:22:scsi_debug"; do
    bc=${pair%%:*}; rest=${pair#*:}; errno=${rest%%:*}; kind=${rest#*:}
    Probe ioctl "/dev/$bc" 80204200 32
    Check "$bc over $kind: status request fails with errno $errno" Has "rc=-1 errno=$errno "
    Probe ioctl "/dev/$bc" 40184201 24
    Check "$bc over $kind: tuning request fails with errno $errno" Has "rc=-1 errno=$errno "
done

Say "== SATA disk on AHCI ($sata): $(State "$sata")"
Probe hdio-wcache "/dev/$sata" 0
Check "SATA: HDIO_SET_WCACHE fails with ENOTTY (libata has no such request)" Has "rc=-1 errno=25 "
Check "SATA: HDIO_SET_WCACHE changes nothing" [ "$(Wce "$sata")" = 1 ]
Ata16 "$sata"
Check "SATA: ATA PASS-THROUGH(16) with CK_COND ends in CHECK CONDITION with DRIVER_SENSE" Has "masked=1 host=0 driver=0x08"
Check "SATA: ... descriptor sense, RECOVERED ERROR, ATA PASS THROUGH INFORMATION AVAILABLE" Has "format=descriptor key=0x1 asc=0x00 ascq=0x1d"
Check "SATA: ... ATA status 0x50 in sense byte 21" Has "byte21=0x50"
Check "SATA: SET FEATURES 0x82 clears WCE" [ "$(Wce "$sata")" = 0 ]
Check "SATA: libata revalidates by itself: write through before any rescan" [ "$(WriteCacheAttr "$sata")" = "write through" ]
Restore "$sata"
Ata12 "$sata"
Check "SATA: ATA PASS-THROUGH(12) answers the same way" Has "byte21=0x50"
Check "SATA: ... and clears WCE" [ "$(Wce "$sata")" = 0 ]
Restore "$sata"
Probe mode-rmw "/dev/$sata" 10 0 keep-ps
Check "SATA: Caching page read with PS 0" Has "ps=0 wce=1"
Check "SATA: libata translates MODE SELECT(10) of WCE" Has "mode_select rc=0 errno=0 status=0x00"
Check "SATA: ... WCE 0" [ "$(Wce "$sata")" = 0 ]
Restore "$sata"
Say "hdparm -W0: $(hdparm -W0 "/dev/$sata" 2>&1 | tr '\n' ' ')"
Check "SATA: hdparm -W0 clears WCE" [ "$(Wce "$sata")" = 0 ]
Restore "$sata"
Probe cdb "/dev/$sata" 35 00 00 00 00 00 00 00 00 00
Check "SATA: SYNCHRONIZE CACHE(10) good" Has "status=0x00 masked=0 host=0 driver=0x00"

Say "== SCSI disk on virtio-scsi ($scsi): $(State "$scsi")"
Probe hdio-wcache "/dev/$scsi" 0
Check "SCSI: HDIO_SET_WCACHE fails with EINVAL" Has "rc=-1 errno=22 "
Ata16 "$scsi"
Check "SCSI: ATA PASS-THROUGH(16) rejected: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE" Has "key=0x5 asc=0x20 ascq=0x00"
Check "SCSI: ... in 18 bytes of fixed sense, so byte 21 is only what the buffer held" Has "sb_len=18 format=fixed"
Probe mode-rmw "/dev/$scsi" 10 0 keep-ps
Check "SCSI: MODE SELECT(10) of WCE accepted" Has "mode_select rc=0 errno=0 status=0x00"
Check "SCSI: ... WCE 0" [ "$(Wce "$scsi")" = 0 ]
Check "SCSI: the block layer still says write back until the disk is rescanned" [ "$(WriteCacheAttr "$scsi")" = "write back" ]
Rescan "$scsi"
Check "SCSI: after the rescan: write through" [ "$(WriteCacheAttr "$scsi")" = "write through" ]
Restore "$scsi"
Probe mode-rmw "/dev/$scsi" 6 0 keep-ps
Check "SCSI: MODE SELECT(6) of WCE accepted" Has "mode_select rc=0 errno=0 status=0x00"
Restore "$scsi"
Say "hdparm -W0: $(hdparm -W0 "/dev/$scsi" 2>&1 | tr '\n' ' ')"
Check "SCSI: hdparm -W0 changes nothing" [ "$(Wce "$scsi")" = 1 ]
Probe cdb "/dev/$scsi" 35 00 00 00 00 00 00 00 00 00
Check "SCSI: SYNCHRONIZE CACHE(10) good" Has "status=0x00 masked=0 host=0 driver=0x00"
Probe cdb "/dev/$scsi" 91 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00
Check "SCSI: SYNCHRONIZE CACHE(16) rejected by QEMU's disk" Has "key=0x5 asc=0x20"

Say "== scsi_debug ($sdebug): $(State "$sdebug")"
Probe hdio-wcache "/dev/$sdebug" 0
Check "scsi_debug: HDIO_SET_WCACHE fails with EINVAL" Has "rc=-1 errno=22 "
Ata16 "$sdebug"
Check "scsi_debug: ATA PASS-THROUGH(16) rejected, fixed sense" Has "sb_len=18 format=fixed key=0x5 asc=0x20"
Probe mode-rmw "/dev/$sdebug" 10 0 set-ps
Check "scsi_debug: DPOFUA set in the device-specific byte" Has "device_specific=0x10 dpofua=1"
Check "scsi_debug: MODE SENSE gives the Caching page with PS 0" Has "ps=0 wce=1"
Check "scsi_debug: a MODE SELECT page with PS set: INVALID FIELD IN PARAMETER LIST" Has "mode_select rc=0 errno=0 status=0x02 masked=1 host=0 driver=0x08 sb_len=18 format=fixed key=0x5 asc=0x26 ascq=0x00"
Check "scsi_debug: ... and WCE stays 1" [ "$(Wce "$sdebug")" = 1 ]
Probe mode-rmw "/dev/$sdebug" 10 0 keep-ps
Check "scsi_debug: MODE SELECT(10) with DPOFUA sent back as read is accepted" Has "mode_select rc=0 errno=0 status=0x00"
Tur "$sdebug"
Check "scsi_debug: next command gets UNIT ATTENTION, MODE PARAMETERS CHANGED" Has "key=0x6 asc=0x2a ascq=0x01"
Tur "$sdebug"
Check "scsi_debug: the attention is reported once" Has "status=0x00 masked=0"
Check "scsi_debug: WCE 0" [ "$(Wce "$sdebug")" = 0 ]
Check "scsi_debug: the block layer still says write back until the disk is rescanned" [ "$(WriteCacheAttr "$sdebug")" = "write back" ]
Rescan "$sdebug"
Check "scsi_debug: after the rescan: write through" [ "$(WriteCacheAttr "$sdebug")" = "write through" ]
Restore "$sdebug"
Probe mode-rmw "/dev/$sdebug" 6 0 keep-ps
Check "scsi_debug: MODE SELECT(6) accepted too" Has "mode_select rc=0 errno=0 status=0x00"
Restore "$sdebug"
Probe cdb "/dev/$sdebug" 35 00 00 00 00 00 00 00 00 00
Check "scsi_debug: SYNCHRONIZE CACHE(10) good" Has "status=0x00 masked=0 host=0 driver=0x00"
Restore "$sdebug"
Probe mode-rmw "/dev/$sdebug" 10 0 keep-ps
Rescan "$sdebug"
Probe cdb "/dev/$sdebug" 35 00 00 00 00 00 00 00 00 00
Check "scsi_debug: a rescan takes the attention: SYNCHRONIZE CACHE(10) after MODE SELECT and rescan is good" Has "status=0x00 masked=0 host=0 driver=0x00"
